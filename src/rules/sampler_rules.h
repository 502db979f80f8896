// The rejection rules of the three samplers, as plain loops. Polynomial.cpp runs them as the
// scalar rejection steps; the vector steps (rej_*_avx2.cpp) finish each buffer with them, so a
// call ends exactly where the scalar one does. Internal linkage: each file keeps its own copy,
// compiled with its own instruction set.
#pragma once
#include <cstdint>

#include "Reduce.h"
#include "ct.h"
#include "byteorder.h"
#include "params.h"

namespace tavik {
namespace {

// Masking sampler: 20-bit candidates up to 4 * (GAMMA1 - 1) are accepted and folded onto
// [0, 2 * (GAMMA1 - 1)]; the coefficient is Q + (GAMMA1 - 1) - t.
constexpr uint32_t GAMMA1M1_BOUND = 4 * (GAMMA1 - 1);  // 1047804
constexpr uint32_t GAMMA1M1_FOLD = 2 * (GAMMA1 - 1);   // 523902
constexpr uint32_t GAMMA1M1_TOP = Q + GAMMA1 - 1;      // 4453184
static_assert(GAMMA1M1_BOUND == 0xFFCFC && GAMMA1M1_FOLD == 0x7FE7E && GAMMA1M1_TOP == 0x43F340);

// t in [0, GAMMA1M1_BOUND] -> t, or t - (GAMMA1M1_FOLD + 1) when t is above GAMMA1M1_FOLD. The
// candidate is secret once accepted, so the choice is a mask, not a branch.
inline uint32_t fold_gamma1m1(uint32_t t) {
  return t - ((GAMMA1M1_FOLD + 1) & ct::mask_lt(GAMMA1M1_FOLD, t));
}

// Matrix step: 3-byte little-endian candidates, those up to 4Q - 1 kept as f mod Q. Variable
// time: it branches on the candidates, which expand the public seed rho.
inline uint32_t rej_uniform_loop_vartime(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  uint32_t ctr = 0;
  for (uint32_t pos = 0; ctr < needed && pos + 3 <= len; pos += 3) {
    const uint32_t f = uint32_t(load_le<3>(buf + pos));
    if (f <= 4 * Q - 1) out[ctr++] = freeze32(f);
  }
  return ctr;
}

// Where a candidate goes: out (kept) or dropped (refused), chosen by mask arithmetic on the two
// addresses rather than a branch on the decision (which about three candidates in eight refuse,
// at random); the decision is public.
inline uint32_t *keep_or_drop(bool keep, uint32_t *out, uint32_t *dropped) {
  const uintptr_t m = uintptr_t(0) - uintptr_t(keep);
  return reinterpret_cast<uint32_t *>((reinterpret_cast<uintptr_t>(out) & m) |
                                      (reinterpret_cast<uintptr_t>(dropped) & ~m));
}

// Secret step: bits 0-2, then bits 5-7 of each byte; t up to 2 * eta gives Q + eta - t. Each
// candidate is stored at out[ctr] and counted when kept, else in a local that is dropped, so
// out[ctr ..) stays as it was and no branch waits on the decision.
inline uint32_t rej_eta_loop(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  uint32_t ctr = 0, dropped;
  for (uint32_t pos = 0; ctr < needed && pos < len; ++pos) {
    const uint32_t lo = buf[pos] & 7;
    const uint32_t hi = buf[pos] >> 5;
    // Public: the accept decisions; a refusal reveals only a discarded candidate.
    const bool keep_lo = ct::declassify(lo <= 2 * eta);
    *keep_or_drop(keep_lo, out + ctr, &dropped) = Q + eta - lo;
    ctr += uint32_t(keep_lo);
    if (ctr == needed) break;
    const bool keep_hi = ct::declassify(hi <= 2 * eta);
    *keep_or_drop(keep_hi, out + ctr, &dropped) = Q + eta - hi;
    ctr += uint32_t(keep_hi);
  }
  return ctr;
}

// Masking step: two 20-bit little-endian candidates per 5-byte group.
inline uint32_t rej_gamma1m1_loop(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  uint32_t ctr = 0;
  for (uint32_t pos = 0; ctr < needed && pos + 5 <= len; pos += 5) {
    const uint64_t g = load_le<5>(buf + pos);  // two 20-bit candidates
    const uint32_t t0 = uint32_t(g) & 0xFFFFF;
    const uint32_t t1 = uint32_t(g >> 20);
    // Public: the accept decisions; a refusal reveals only a discarded candidate.
    if (ct::declassify(t0 <= GAMMA1M1_BOUND)) out[ctr++] = GAMMA1M1_TOP - fold_gamma1m1(t0);
    if (ct::declassify(t1 <= GAMMA1M1_BOUND) && ctr < needed) out[ctr++] = GAMMA1M1_TOP - fold_gamma1m1(t1);
  }
  return ctr;
}

}  // namespace
}  // namespace tavik
