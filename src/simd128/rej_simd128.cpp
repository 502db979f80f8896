// WebAssembly SIMD rejection steps. Each round forms eight candidates in two registers of four
// 32-bit lanes, computes their coefficients and accept masks, and stores each register with its
// accepted lanes moved to the front (one byte swizzle by the 4-bit mask) at the current count;
// the next store starts at the new count and overwrites the lanes that were not accepted. A
// round runs only while eight more coefficients are wanted and its bytes lie inside the buffer;
// the scalar rule of sampler_rules.h finishes from the first unread byte, so a call ends exactly
// where the scalar one does.
//
// The only data-dependent choices are the accept decisions themselves (the table index and the
// count), which depend on discarded candidates, never on the values of accepted ones.
#include <cstdint>

#include "ct.h"
#include "params.h"
#include "rules/lanes128.h"
#include "rules/sampler_rules.h"
#include "simd128/kernels_simd128.h"
#include "simd128/v128.h"

namespace tavik {
namespace {

using V = v128_t;

using lanes128::COMPACT;

inline V splat(uint32_t x) { return wasm_i32x4_splat(int32_t(x)); }

// The accept mask (lanes all ones or zero) as four bits, lane i at bit i.
inline uint32_t lane_mask(V accept) { return uint32_t(wasm_i32x4_bitmask(accept)); }

// Stores the lanes of v selected by mask at out[0 ..) in lane order, writing all four lanes;
// returns how many were selected.
inline uint32_t store_accepted(uint32_t *out, V v, uint32_t mask) {
  wasm_v128_store(out, wasm_i8x16_swizzle(v, wasm_v128_load(COMPACT.idx[mask])));
  return COMPACT.count[mask];
}

// f mod Q for any f below 2^31, as the freeze rule: d = f - ((f >> 22) + 1) * Q, plus Q where d < 0.
inline V freeze(V f) {
  const V d = wasm_i32x4_sub(f, wasm_i32x4_mul(wasm_i32x4_add(wasm_u32x4_shr(f, 22), splat(1)), splat(Q)));
  return wasm_i32x4_add(d, wasm_v128_and(wasm_i32x4_shr(d, 31), splat(Q)));
}

}  // namespace

uint32_t rej_uniform_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Candidates 0-3 at bytes 0, 3, 6, 9 of the first load; 4-7 at bytes 12, 15, 18, 21, which are
  // bytes 4, 7, 10, 13 of the second load, from byte 8. Lanes with index 0xFF read zero.
  const V spread0 = wasm_i8x16_make(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const V spread1 = wasm_i8x16_make(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const V bound = splat(4 * Q);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 24) {
    const V f0 = wasm_i8x16_swizzle(wasm_v128_load(buf + pos), spread0);
    const V f1 = wasm_i8x16_swizzle(wasm_v128_load(buf + pos + 8), spread1);
    const uint32_t m0 = lane_mask(wasm_u32x4_lt(f0, bound)), m1 = lane_mask(wasm_u32x4_lt(f1, bound));
    ctr += store_accepted(out + ctr, freeze(f0), m0);
    ctr += store_accepted(out + ctr, freeze(f1), m1);
    pos += 24;
  }
  return ctr + rej_uniform_loop_vartime(out + ctr, needed - ctr, buf + pos, len - pos);
}

uint32_t rej_eta_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  // The four bytes of a round, one a lane; their low candidates (bits 0-2) and high ones (bits
  // 5-7) interleaved into candidate order: bytes 0 and 1 in the first register, 2 and 3 in the
  // second.
  const V spread = wasm_i8x16_make(0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3, -1, -1, -1);
  const V seven = splat(7);
  // Candidates are 0..7, so "t <= 2 * eta" (in 32-bit unsigned arithmetic) is "t < limit".
  const uint32_t top = 2 * eta < 7 ? 2 * eta : 7;
  const V limit = splat(top + 1);
  const V base = splat(Q + eta);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 4) {
    const V bytes = wasm_i8x16_swizzle(wasm_v128_load32_zero(buf + pos), spread);
    const V lo = wasm_v128_and(bytes, seven), hi = wasm_u32x4_shr(bytes, 5);
    const V t0 = wasm_i32x4_shuffle(lo, hi, 0, 4, 1, 5), t1 = wasm_i32x4_shuffle(lo, hi, 2, 6, 3, 7);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const uint32_t m0 = ct::declassify(lane_mask(wasm_u32x4_lt(t0, limit)));
    const uint32_t m1 = ct::declassify(lane_mask(wasm_u32x4_lt(t1, limit)));
    ctr += store_accepted(out + ctr, wasm_i32x4_sub(base, t0), m0);
    ctr += store_accepted(out + ctr, wasm_i32x4_sub(base, t1), m1);
    pos += 4;
  }
  return ctr + rej_eta_loop(out + ctr, needed - ctr, buf + pos, len - pos, eta);
}

uint32_t rej_gamma1m1_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Four 5-byte groups give eight candidates: the first of a group is the 32-bit word at the
  // group's byte 0, the second the word at its byte 2 shifted right by 4, both masked to 20 bits.
  // Words at bytes 0, 2, 5, 7 come from the first load, at bytes 10, 12, 15, 17 from the second,
  // loaded from byte 5 (there at 5, 7, 10, 12), so a round reads bytes 0 to 20.
  const V gather0 = wasm_i8x16_make(0, 1, 2, 3, 2, 3, 4, 5, 5, 6, 7, 8, 7, 8, 9, 10);
  const V gather1 = wasm_i8x16_make(5, 6, 7, 8, 7, 8, 9, 10, 10, 11, 12, 13, 12, 13, 14, 15);
  const V low20 = splat(0xFFFFF);
  const V bound = splat(GAMMA1M1_BOUND + 1);  // accept t <= GAMMA1M1_BOUND
  const V fold_at = splat(GAMMA1M1_FOLD);
  const V fold_by = splat(GAMMA1M1_FOLD + 1);
  const V top = splat(GAMMA1M1_TOP);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 21) {
    V t[2] = {wasm_i8x16_swizzle(wasm_v128_load(buf + pos), gather0),
              wasm_i8x16_swizzle(wasm_v128_load(buf + pos + 5), gather1)};
    for (V &x : t) {
      // Lanes 1 and 3 (the second candidate of a group) shifted right by 4.
      x = wasm_v128_and(wasm_i32x4_shuffle(x, wasm_u32x4_shr(x, 4), 0, 5, 2, 7), low20);
      // Public: the accept decisions; a refusal reveals only discarded candidates.
      const uint32_t m = ct::declassify(lane_mask(wasm_u32x4_lt(x, bound)));
      x = wasm_i32x4_sub(x, wasm_v128_and(fold_by, wasm_u32x4_gt(x, fold_at)));
      ctr += store_accepted(out + ctr, wasm_i32x4_sub(top, x), m);
    }
    pos += 20;
  }
  return ctr + rej_gamma1m1_loop(out + ctr, needed - ctr, buf + pos, len - pos);
}

}  // namespace tavik
