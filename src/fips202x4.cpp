#include "fips202x4.h"

#include "cpu.h"
#include "fips202.h"
#include "fips202x4_internal.h"
#include "shake_lanes.h"
#include "wipe.h"

namespace tavik {
namespace {

// t = the 25 lanes of stream j of the interleaved state s.
void lanes_out(uint64_t t[25], const uint64_t s[100], size_t j) {
  for (size_t i = 0; i < 25; ++i) t[i] = s[4 * i + j];
}

// Stream j of the interleaved state s = the 25 lanes t.
void lanes_in(uint64_t s[100], const uint64_t t[25], size_t j) {
  for (size_t i = 0; i < 25; ++i) s[4 * i + j] = t[i];
}

// True when the AVX2 kernels are to run.
bool use_avx2() {
#if TAVIK_FIPS202X4_AVX2
  return active_backend() == Backend::avx2;
#else
  return false;
#endif
}

// True when the AVX-512 kernels are to run.
bool use_avx512() {
#if TAVIK_FIPS202X4_AVX512
  return active_backend() == Backend::avx512;
#else
  return false;
#endif
}

}  // namespace

// The portable path runs the single-stream code on each stream in turn.
void KeccakF1600_StatePermute4x_portable(uint64_t s[100]) {
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    lanes_out(t, s, j);
    KeccakF1600_StatePermute(t);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_absorb_portable(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                              const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  const uint8_t *in[4] = {in0, in1, in2, in3};
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    if (r == SHAKE128_RATE) shake128_absorb(t, in[j], inlen);
    else shake256_absorb(t, in[j], inlen);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_squeezeblocks_portable(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, uint64_t s[100], size_t r) {
  uint8_t *out[4] = {out0, out1, out2, out3};
  uint64_t t[25];
  for (size_t j = 0; j < 4; ++j) {
    lanes_out(t, s, j);
    if (r == SHAKE128_RATE) shake128_squeezeblocks(out[j], nblocks, t);
    else shake256_squeezeblocks(out[j], nblocks, t);
    lanes_in(s, t, j);
  }
  secure_wipe(t, sizeof t);
}

void keccakx4_extract_portable(uint8_t *out, const uint64_t s[100]) {
  for (size_t j = 0; j < 4; ++j)
    for (size_t i = 0; i < 21; ++i)
      for (size_t k = 0; k < 8; ++k) out[168 * j + 8 * i + k] = uint8_t(s[4 * i + j] >> (8 * k));
}

void KeccakF1600_StatePermute4x(uint64_t s[100]) {
#if TAVIK_FIPS202X4_AVX512
  if (use_avx512()) {
    KeccakF1600_StatePermute4x_avx512(s);
    return;
  }
#endif
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
#if TAVIK_FIPS202X4_AVX512
  if (use_avx512()) {
    keccakx4_absorb_avx512(st->s, r, in0, in1, in2, in3, inlen);
    return;
  }
#endif
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
#if TAVIK_FIPS202X4_AVX512
  if (use_avx512()) {
    keccakx4_squeezeblocks_avx512(out0, out1, out2, out3, nblocks, st->s, r);
    return;
  }
#endif
#if TAVIK_FIPS202X4_AVX2
  if (use_avx2()) {
    keccakx4_squeezeblocks_avx2(out0, out1, out2, out3, nblocks, st->s, r);
    return;
  }
#endif
  keccakx4_squeezeblocks_portable(out0, out1, out2, out3, nblocks, st->s, r);
}

}  // namespace

// Four states on every path. The eight-state permutation on 512-bit registers costs 1,014 ticks
// against 572 for four states when timed alone, but about 2.15 times the four-state one inside
// the expansions, so eight lanes did not pay on the processor measured (README, Performance).
KeccakLanes keccak_lanes() {
#if TAVIK_FIPS202X4_AVX512
  if (use_avx512()) return {4, KeccakF1600_StatePermute4x_avx512, keccakx4_extract_avx512};
#endif
#if TAVIK_FIPS202X4_AVX2
  if (use_avx2()) return {4, KeccakF1600_StatePermute4x_avx2, keccakx4_extract_avx2};
#endif
  return {4, KeccakF1600_StatePermute4x_portable, keccakx4_extract_portable};
}

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
