// AVX2 rejection steps. Each round forms eight candidates in the eight 32-bit lanes, computes
// their coefficients and the accept mask, moves the accepted lanes to the front with one lane
// permutation looked up by the mask, and stores all eight lanes at the current count; the next
// store starts at the new count and overwrites the lanes that were not accepted. A round runs
// only while eight more coefficients are wanted and its bytes lie inside the buffer; the scalar
// rule of sampler_rules.h finishes from the first unread byte, so a call ends exactly where the scalar one does.
//
// The only data-dependent choices are the accept decisions themselves (the table index and the
// count), which depend on discarded candidates, never on the values of accepted ones.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "ct.h"
#include "params.h"
#include "rules/sampler_rules.h"

namespace tavik {
namespace {

// For every 8-bit accept mask: the lanes whose bit is set, in increasing order, one index per
// byte, then zeros.
struct CompactTable {
  uint64_t idx[256];
};

// The table above, built at compile time.
constexpr CompactTable make_compact_table() {
  CompactTable t{};
  for (uint32_t m = 0; m < 256; ++m) {
    uint32_t k = 0;
    for (uint32_t lane = 0; lane < 8; ++lane) {
      if ((m >> lane) & 1) t.idx[m] |= uint64_t(lane) << (8 * k++);
    }
  }
  return t;
}

alignas(64) constexpr CompactTable COMPACT = make_compact_table();
static_assert(COMPACT.idx[0xFF] == 0x0706050403020100ull && COMPACT.idx[0xA0] == 0x0705ull);

// Stores the lanes of v selected by the 8-bit mask at out[0 ..) in lane order, writing all eight
// lanes; returns how many were selected.
inline uint32_t store_accepted(uint32_t *out, __m256i v, uint32_t mask) {
  const __m256i perm = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(int64_t(COMPACT.idx[mask])));
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_permutevar8x32_epi32(v, perm));
  return uint32_t(_mm_popcnt_u32(mask));
}

// 32-bit lanes of a 0 / all-ones comparison result as an 8-bit mask.
inline uint32_t lane_mask(__m256i cmp) { return uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(cmp))); }

// Two 16-byte loads, at p (low half) and p + hi_offset (high half).
inline __m256i load_two(const uint8_t *p, uint32_t hi_offset) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + hi_offset));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

constexpr int8_t Z = -128;  // shuffle index that yields a zero byte

}  // namespace

uint32_t rej_uniform_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Candidates 0-3 at bytes 0, 3, 6, 9 of the low half; 4-7 at bytes 12, 15, 18, 21, which are
  // bytes 4, 7, 10, 13 of the high half loaded from byte 8.
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z,  //
                                          4, 5, 6, Z, 7, 8, 9, Z, 10, 11, 12, Z, 13, 14, 15, Z);
  const __m256i bound = _mm256_set1_epi32(int32_t(4 * Q));
  const __m256i q = _mm256_set1_epi32(int32_t(Q));
  const __m256i one = _mm256_set1_epi32(1);
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 24) {
    const __m256i f = _mm256_shuffle_epi8(load_two(buf + pos, 8), spread);
    const uint32_t mask = lane_mask(_mm256_cmpgt_epi32(bound, f));  // f < 2^24, signed is exact
    // f mod Q as in the freeze rule: d = f - ((f >> 22) + 1) * Q, plus Q where d < 0.
    __m256i d = _mm256_sub_epi32(f, _mm256_mullo_epi32(_mm256_add_epi32(_mm256_srli_epi32(f, 22), one), q));
    d = _mm256_add_epi32(d, _mm256_and_si256(q, _mm256_srai_epi32(d, 31)));
    ctr += store_accepted(out + ctr, d, mask);
    pos += 24;
  }
  return ctr + rej_uniform_loop_vartime(out + ctr, needed - ctr, buf + pos, len - pos);
}

uint32_t rej_eta_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  // Lane k of a 4-byte word holds the candidate at these bit offsets: low then high bits of
  // byte 0, of byte 1, and so on.
  const __m256i shifts = _mm256_setr_epi32(0, 5, 8, 13, 16, 21, 24, 29);
  const __m256i seven = _mm256_set1_epi32(7);
  // Candidates are 0..7, so "t <= 2 * eta" (in 32-bit unsigned arithmetic) is "t < limit".
  const uint32_t top = 2 * eta < 7 ? 2 * eta : 7;
  const __m256i limit = _mm256_set1_epi32(int32_t(top + 1));
  const __m256i base = _mm256_set1_epi32(int32_t(Q + eta));
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 4) {
    uint32_t word;
    std::memcpy(&word, buf + pos, 4);
    const __m256i t = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int32_t(word)), shifts), seven);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const uint32_t mask = ct::declassify(lane_mask(_mm256_cmpgt_epi32(limit, t)));
    ctr += store_accepted(out + ctr, _mm256_sub_epi32(base, t), mask);
    pos += 4;
  }
  return ctr + rej_eta_loop(out + ctr, needed - ctr, buf + pos, len - pos, eta);
}

uint32_t rej_gamma1m1_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  // Four 5-byte groups give eight candidates: the first of a group is the 32-bit word at the
  // group's byte 0, the second the word at its byte 2 shifted right by 4, both masked to 20 bits.
  // Words at bytes 0, 2, 5, 7 come from the low half, at bytes 10, 12, 15, 17 from the high
  // half loaded from byte 5 (there at 5, 7, 10, 12), so a round reads bytes 0 to 20.
  const __m256i gather = _mm256_setr_epi8(0, 1, 2, 3, 2, 3, 4, 5, 5, 6, 7, 8, 7, 8, 9, 10,  //
                                          5, 6, 7, 8, 7, 8, 9, 10, 10, 11, 12, 13, 12, 13, 14, 15);
  const __m256i shifts = _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4);
  const __m256i low20 = _mm256_set1_epi32(0xFFFFF);
  const __m256i bound = _mm256_set1_epi32(int32_t(GAMMA1M1_BOUND + 1));  // accept t <= bound
  const __m256i fold_at = _mm256_set1_epi32(int32_t(GAMMA1M1_FOLD));
  const __m256i fold_by = _mm256_set1_epi32(int32_t(GAMMA1M1_FOLD + 1));
  const __m256i top = _mm256_set1_epi32(int32_t(GAMMA1M1_TOP));
  uint32_t ctr = 0, pos = 0;
  while (needed - ctr >= 8 && len - pos >= 21) {
    const __m256i words = _mm256_shuffle_epi8(load_two(buf + pos, 5), gather);
    __m256i t = _mm256_and_si256(_mm256_srlv_epi32(words, shifts), low20);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const uint32_t mask = ct::declassify(lane_mask(_mm256_cmpgt_epi32(bound, t)));
    t = _mm256_sub_epi32(t, _mm256_and_si256(fold_by, _mm256_cmpgt_epi32(t, fold_at)));
    ctr += store_accepted(out + ctr, _mm256_sub_epi32(top, t), mask);
    pos += 20;
  }
  return ctr + rej_gamma1m1_loop(out + ctr, needed - ctr, buf + pos, len - pos);
}

}  // namespace tavik

