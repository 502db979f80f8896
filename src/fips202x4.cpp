#include "fips202x4.h"

#include "fips202.h"
#include "kernels.h"
#include "kernels_scalar.h"
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

void keccakx4_extract_portable(uint8_t *const out[4], const uint64_t s[100]) {
  for (size_t j = 0; j < 4; ++j)
    for (size_t i = 0; i < 21; ++i)
      for (size_t k = 0; k < 8; ++k) out[j][8 * i + k] = uint8_t(s[4 * i + j] >> (8 * k));
}

void KeccakF1600_StatePermute4x(uint64_t s[100]) { kernels().permute4x(s); }

// Four states on every path. The eight-state permutation on 512-bit registers costs 1,014 ticks
// against 572 for four states when timed alone, but about 2.15 times the four-state one inside
// the expansions, so eight lanes did not pay on the processor measured (README, Performance).
KeccakLanes keccak_lanes() { return {4, kernels().permute4x, kernels().extract4x}; }

void shake128x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE128_RATE, in0, in1, in2, in3, inlen);
}

void shake128x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE128_RATE);
}

void shake256x4_absorb(keccakx4_state *st, const uint8_t *in0, const uint8_t *in1,
                       const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  kernels().absorb4x(st->s, SHAKE256_RATE, in0, in1, in2, in3, inlen);
}

void shake256x4_squeezeblocks(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                              uint64_t nblocks, keccakx4_state *st) {
  kernels().squeeze4x(out0, out1, out2, out3, nblocks, st->s, SHAKE256_RATE);
}

}  // namespace tavik
