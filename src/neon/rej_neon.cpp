// NEON rejection steps. Each round forms eight candidates in two registers of four 32-bit lanes,
// computes their coefficients and accept masks, and stores each register with its accepted lanes
// moved to the front (one table lookup by the 4-bit mask) at the current count; the next store
// starts at the new count and overwrites the lanes that were not accepted. A round runs only
// while eight more coefficients are wanted and its bytes lie inside the buffer; the scalar rule of
// sampler_rules.h finishes from the first unread byte, so a call ends exactly where the scalar one
// does.
//
// The only data-dependent choices are the accept decisions themselves (the table index and the
// count), which depend on discarded candidates, never on the values of accepted ones.
#include <arm_neon.h>

#include <cstdint>

#include "ct.h"
#include "neon/kernels_neon.h"
#include "params.h"
#include "rules/lanes128.h"
#include "rules/sampler_rules.h"

namespace tavik {
namespace {

using lanes128::COMPACT;

// The accept mask (lanes all ones or zero) as four bits, lane i at bit i.
inline uint32_t lane_mask(uint32x4_t accept) {
  const uint32x4_t bits = {1, 2, 4, 8};
  return vaddvq_u32(vandq_u32(accept, bits));
}

// Stores the lanes of v selected by mask at out[0 ..) in lane order, writing all four lanes;
// returns how many were selected.
inline uint32_t store_accepted(uint32_t *out, uint32x4_t v, uint32_t mask) {
  const uint8x16_t moved = vqtbl1q_u8(vreinterpretq_u8_u32(v), vld1q_u8(COMPACT.idx[mask]));
  vst1q_u32(out, vreinterpretq_u32_u8(moved));
  return COMPACT.count[mask];
}

// f mod Q for any f below 2^31, as the freeze rule: d = f - ((f >> 22) + 1) * Q, plus Q where d < 0.
inline uint32x4_t freeze(uint32x4_t f) {
  const uint32x4_t d = vmlsq_n_u32(f, vaddq_u32(vshrq_n_u32(f, 22), vdupq_n_u32(1)), Q);
  const uint32x4_t neg = vreinterpretq_u32_s32(vshrq_n_s32(vreinterpretq_s32_u32(d), 31));
  return vaddq_u32(d, vandq_u32(neg, vdupq_n_u32(Q)));
}

constexpr uint8_t Z = 0xFF;  // table index that yields a zero byte

}  // namespace

uint32_t rej_uniform_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Candidates 0-3 at bytes 0, 3, 6, 9 of the first load; 4-7 at bytes 12, 15, 18, 21, which are
  // bytes 4, 7, 10, 13 of the second load, from byte 8.
  const uint8x16_t spread0 = {0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z};
  const uint8x16_t spread1 = {4, 5, 6, Z, 7, 8, 9, Z, 10, 11, 12, Z, 13, 14, 15, Z};
  const uint32x4_t bound = vdupq_n_u32(4 * Q);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 24) {
    const uint32x4_t f0 = vreinterpretq_u32_u8(vqtbl1q_u8(vld1q_u8(buf + pos), spread0));
    const uint32x4_t f1 = vreinterpretq_u32_u8(vqtbl1q_u8(vld1q_u8(buf + pos + 8), spread1));
    const uint32_t m0 = lane_mask(vcltq_u32(f0, bound)), m1 = lane_mask(vcltq_u32(f1, bound));
    ctr += store_accepted(out + ctr, freeze(f0), m0);
    ctr += store_accepted(out + ctr, freeze(f1), m1);
    pos += 24;
  }
  return ctr + rej_uniform_loop_vartime(out + ctr, needed - ctr, buf + pos, len - pos);
}

uint32_t rej_eta_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  // Lane k of a 4-byte word holds the candidate at these bit offsets (as right shifts): low then
  // high bits of byte 0, of byte 1, then of bytes 2 and 3.
  const int32x4_t shifts0 = {0, -5, -8, -13}, shifts1 = {-16, -21, -24, -29};
  const uint32x4_t seven = vdupq_n_u32(7);
  // Candidates are 0..7, so "t <= 2 * eta" (in 32-bit unsigned arithmetic) is "t < limit".
  const uint32_t top = 2 * eta < 7 ? 2 * eta : 7;
  const uint32x4_t limit = vdupq_n_u32(top + 1);
  const uint32x4_t base = vdupq_n_u32(Q + eta);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 4) {
    const uint32x4_t word = vdupq_n_u32(uint32_t(buf[pos]) | uint32_t(buf[pos + 1]) << 8 |
                                        uint32_t(buf[pos + 2]) << 16 | uint32_t(buf[pos + 3]) << 24);
    const uint32x4_t t0 = vandq_u32(vshlq_u32(word, shifts0), seven);
    const uint32x4_t t1 = vandq_u32(vshlq_u32(word, shifts1), seven);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const uint32_t m0 = ct::declassify(lane_mask(vcltq_u32(t0, limit)));
    const uint32_t m1 = ct::declassify(lane_mask(vcltq_u32(t1, limit)));
    ctr += store_accepted(out + ctr, vsubq_u32(base, t0), m0);
    ctr += store_accepted(out + ctr, vsubq_u32(base, t1), m1);
    pos += 4;
  }
  return ctr + rej_eta_loop(out + ctr, needed - ctr, buf + pos, len - pos, eta);
}

uint32_t rej_gamma1m1_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Four 5-byte groups give eight candidates: the first of a group is the 32-bit word at the
  // group's byte 0, the second the word at its byte 2 shifted right by 4, both masked to 20 bits.
  // Words at bytes 0, 2, 5, 7 come from the first load, at bytes 10, 12, 15, 17 from the second,
  // loaded from byte 5 (there at 5, 7, 10, 12), so a round reads bytes 0 to 20.
  const uint8x16_t gather0 = {0, 1, 2, 3, 2, 3, 4, 5, 5, 6, 7, 8, 7, 8, 9, 10};
  const uint8x16_t gather1 = {5, 6, 7, 8, 7, 8, 9, 10, 10, 11, 12, 13, 12, 13, 14, 15};
  const int32x4_t shifts = {0, -4, 0, -4};
  const uint32x4_t low20 = vdupq_n_u32(0xFFFFF);
  const uint32x4_t bound = vdupq_n_u32(GAMMA1M1_BOUND + 1);  // accept t <= GAMMA1M1_BOUND
  const uint32x4_t fold_at = vdupq_n_u32(GAMMA1M1_FOLD);
  const uint32x4_t fold_by = vdupq_n_u32(GAMMA1M1_FOLD + 1);
  const uint32x4_t top = vdupq_n_u32(GAMMA1M1_TOP);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 21) {
    uint32x4_t t[2] = {vreinterpretq_u32_u8(vqtbl1q_u8(vld1q_u8(buf + pos), gather0)),
                       vreinterpretq_u32_u8(vqtbl1q_u8(vld1q_u8(buf + pos + 5), gather1))};
    for (uint32x4_t &x : t) {
      x = vandq_u32(vshlq_u32(x, shifts), low20);
      // Public: the accept decisions; a refusal reveals only discarded candidates.
      const uint32_t m = ct::declassify(lane_mask(vcltq_u32(x, bound)));
      x = vsubq_u32(x, vandq_u32(fold_by, vcgtq_u32(x, fold_at)));
      ctr += store_accepted(out + ctr, vsubq_u32(top, x), m);
    }
    pos += 20;
  }
  return ctr + rej_gamma1m1_loop(out + ctr, needed - ctr, buf + pos, len - pos);
}

}  // namespace tavik
