#include "fips202x4.h"

#include <cstring>

#include "cpu.h"
#include "fips202.h"
#include "fips202x4_internal.h"
#include "wipe.h"

namespace tavik {
namespace {

// The 8 bytes at x as a little-endian word.
uint64_t load64(const uint8_t *x) {
  uint64_t r = 0;
  for (unsigned i = 0; i < 8; ++i) r |= uint64_t(x[i]) << (8 * i);
  return r;
}

// Writes u to x[0..7], least significant byte first.
void store64(uint8_t *x, uint64_t u) {
  for (unsigned i = 0; i < 8; ++i) x[i] = uint8_t(u >> (8 * i));
}

// True when the AVX2 kernels are to run (avx2 and avx512 paths share them).
bool use_avx2() {
#if TAVIK_FIPS202X4_AVX2
  return active_backend() != Backend::scalar;
#else
  return false;
#endif
}

}  // namespace

void KeccakF1600_StatePermute4x_portable(uint64_t s[100]) {
  uint64_t t[4][25];
  for (size_t i = 0; i < 25; ++i)
    for (size_t j = 0; j < 4; ++j) t[j][i] = s[4 * i + j];
  for (size_t j = 0; j < 4; ++j) KeccakF1600_StatePermute(t[j]);
  for (size_t i = 0; i < 25; ++i)
    for (size_t j = 0; j < 4; ++j) s[4 * i + j] = t[j][i];
  secure_wipe(t, sizeof t);
}

void keccakx4_absorb_portable(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                              const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  const uint8_t *in[4] = {in0, in1, in2, in3};
  for (size_t i = 0; i < 100; ++i) s[i] = 0;
  uint64_t pos = 0;
  while (inlen - pos >= r) {
    for (size_t i = 0; i < r / 8; ++i)
      for (size_t j = 0; j < 4; ++j) s[4 * i + j] ^= load64(in[j] + pos + 8 * i);
    KeccakF1600_StatePermute4x_portable(s);
    pos += r;
  }
  const size_t rest = size_t(inlen - pos);
  uint8_t block[SHAKE128_RATE];
  for (size_t j = 0; j < 4; ++j) {
    std::memset(block, 0, sizeof block);
    if (rest != 0) std::memcpy(block, in[j] + pos, rest);
    block[rest] = 0x1F;
    block[r - 1] |= 0x80;
    for (size_t i = 0; i < r / 8; ++i) s[4 * i + j] ^= load64(block + 8 * i);
  }
  secure_wipe(block, sizeof block);
}

void keccakx4_squeezeblocks_portable(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, uint64_t s[100], size_t r) {
  uint8_t *out[4] = {out0, out1, out2, out3};
  for (uint64_t b = 0; b < nblocks; ++b) {
    KeccakF1600_StatePermute4x_portable(s);
    for (size_t j = 0; j < 4; ++j) {
      for (size_t i = 0; i < r / 8; ++i) store64(out[j] + 8 * i, s[4 * i + j]);
      out[j] += r;
    }
  }
}

void KeccakF1600_StatePermute4x(uint64_t s[100]) {
#if TAVIK_FIPS202X4_AVX2
  if (use_avx2()) {
    KeccakF1600_StatePermute4x_avx2(s);
    return;
  }
#endif
  KeccakF1600_StatePermute4x_portable(s);
}

namespace {

// Four-stream absorb at rate r on the path in use.
void absorb4(keccakx4_state *st, size_t r, const uint8_t *in0, const uint8_t *in1, const uint8_t *in2,
             const uint8_t *in3, uint64_t inlen) {
#if TAVIK_FIPS202X4_AVX2
  if (use_avx2()) {
    keccakx4_absorb_avx2(st->s, r, in0, in1, in2, in3, inlen);
    return;
  }
#endif
  keccakx4_absorb_portable(st->s, r, in0, in1, in2, in3, inlen);
}

// Four-stream squeeze of nblocks blocks at rate r on the path in use.
void squeeze4(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint64_t nblocks,
              keccakx4_state *st, size_t r) {
#if TAVIK_FIPS202X4_AVX2
  if (use_avx2()) {
    keccakx4_squeezeblocks_avx2(out0, out1, out2, out3, nblocks, st->s, r);
    return;
  }
#endif
  keccakx4_squeezeblocks_portable(out0, out1, out2, out3, nblocks, st->s, r);
}

}  // namespace

void shake128x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  absorb4(st, SHAKE128_RATE, in0, in1, in2, in3, inlen);
}

void shake128x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  squeeze4(out0, out1, out2, out3, nblocks, st, SHAKE128_RATE);
}

void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  absorb4(st, SHAKE256_RATE, in0, in1, in2, in3, inlen);
}

void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  squeeze4(out0, out1, out2, out3, nblocks, st, SHAKE256_RATE);
}

}  // namespace tavik
