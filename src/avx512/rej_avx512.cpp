// AVX-512 rejection steps. Each round forms sixteen candidates in the sixteen 32-bit lanes of a
// 512-bit register, computes their coefficients and the accept mask, and packs the accepted lanes
// to the front with one compress into a register (the form that stores to memory is much slower
// on some processors). While sixteen or more coefficients are still wanted, all sixteen lanes
// are stored at the current count and the next store overwrites those that were not accepted;
// nearer the end, a masked store writes only the accepted lanes still wanted, so nothing at or
// beyond out[needed] is written. A round's bytes are read with a masked load of exactly those
// bytes. The scalar rule of sampler_rules.h finishes from the first unread byte, so a call ends
// exactly where the scalar one does.
//
// The only data-dependent choices are the accept decisions themselves (the mask and the count),
// which depend on discarded candidates, never on the values of accepted ones.
#include "avx512/kernels_avx512.h"

#include <bit>
#include <cstring>

#include "ct.h"
#include "params.h"
#include "rules/sampler_rules.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {
namespace {

constexpr int8_t Z = -128;  // shuffle index that yields a zero byte

// The 32-bit lanes of a register and the bytes of a 128-bit-lane shuffle, as constants.
struct alignas(64) Dwords {
  int32_t v[16];
};
struct alignas(64) Bytes {
  int8_t v[64];
};
inline __m512i load(const Dwords &d) { return _mm512_load_si512(d.v); }
inline __m512i load(const Bytes &b) { return _mm512_load_si512(b.v); }

// Stores the lanes of v selected by `accept`, in lane order, at out[0 ..), writing nothing at or
// beyond out[room]; returns how many were stored (at most room).
inline uint32_t store_accepted(uint32_t *out, uint32_t room, __m512i v, __mmask16 accept) {
  const __m512i packed = _mm512_maskz_compress_epi32(accept, v);
  const uint32_t n = uint32_t(std::popcount(uint32_t(accept)));
  if (room >= 16) {
    _mm512_storeu_si512(out, packed);
    return n;
  }
  const uint32_t k = n < room ? n : room;
  _mm512_mask_storeu_epi32(out, __mmask16((1u << k) - 1), packed);
  return k;
}

// Uniform: 48 bytes are 16 three-byte candidates, four per 128-bit lane. Lane j takes dwords
// 3j .. 3j + 2 (bytes 12j .. 12j + 11), then each candidate's three bytes are spread to a dword.
constexpr Dwords UNIFORM_DWORDS = {{0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11}};
constexpr Bytes UNIFORM_SPREAD = {{0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z,  //
                                   0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z,  //
                                   0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z,  //
                                   0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z}};
constexpr uint32_t UNIFORM_BYTES = 48;

// Eta: 8 bytes are 16 three-bit candidates. The 64-bit word, shifted right in 64-bit lane j by
// the offset of candidate j, holds candidate j in its low dword and candidate j + 8 (32 bits
// further on) in its high dword; one dword permutation puts them in order.
constexpr Dwords ETA_ORDER = {{0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15}};
constexpr uint32_t ETA_BYTES = 8;

// Gamma1m1: 40 bytes are 8 five-byte groups, 16 twenty-bit candidates, two groups (10 bytes) per
// 128-bit lane. Lane j takes the four dwords from the one holding byte 10j, which sits at byte 0
// of even lanes and byte 2 of odd ones. In a lane the candidates are the bytes at 0-2, 2-4 (then
// shifted right by 4), 5-7 and 7-9 (shifted), from that start, masked to 20 bits.
constexpr Dwords GAMMA1M1_DWORDS = {{0, 1, 2, 3, 2, 3, 4, 5, 5, 6, 7, 8, 7, 8, 9, 9}};
constexpr Bytes GAMMA1M1_SPREAD = {{0, 1, 2, Z, 2, 3, 4,  Z, 5, 6, 7, Z, 7, 8, 9,  Z,  //
                                    2, 3, 4, Z, 4, 5, 6,  Z, 7, 8, 9, Z, 9, 10, 11, Z,  //
                                    0, 1, 2, Z, 2, 3, 4,  Z, 5, 6, 7, Z, 7, 8, 9,  Z,  //
                                    2, 3, 4, Z, 4, 5, 6,  Z, 7, 8, 9, Z, 9, 10, 11, Z}};
constexpr uint32_t GAMMA1M1_BYTES = 40;

// The first `bytes` bytes at p (a multiple of 4, at most 64), zero beyond; nothing else is read.
inline __m512i load_bytes(const uint8_t *p, uint32_t bytes) {
  return _mm512_maskz_loadu_epi32(__mmask16((1u << (bytes / 4)) - 1), p);
}

}  // namespace

uint32_t rej_uniform_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  const __m512i dwords = load(UNIFORM_DWORDS);
  const __m512i spread = load(UNIFORM_SPREAD);
  const __m512i top = _mm512_set1_epi32(int32_t(4 * Q - 1));
  const __m512i q = _mm512_set1_epi32(int32_t(Q));
  const __m512i two_q = _mm512_set1_epi32(int32_t(2 * Q));
  uint32_t ctr = 0, pos = 0;
  while (ctr < needed && len - pos >= UNIFORM_BYTES) {
    const __m512i raw = _mm512_permutexvar_epi32(dwords, load_bytes(buf + pos, UNIFORM_BYTES));
    __m512i f = _mm512_shuffle_epi8(raw, spread);
    const __mmask16 accept = _mm512_cmple_epu32_mask(f, top);
    // f mod Q for f < 4Q: take off 2Q, then Q, wherever that does not wrap below zero (a
    // wrapped difference is the larger one as unsigned). Rejected lanes are never stored.
    f = _mm512_min_epu32(f, _mm512_sub_epi32(f, two_q));
    f = _mm512_min_epu32(f, _mm512_sub_epi32(f, q));
    ctr += store_accepted(out + ctr, needed - ctr, f, accept);
    pos += UNIFORM_BYTES;
  }
  return ctr + rej_uniform_loop_vartime(out + ctr, needed - ctr, buf + pos, len - pos);
}

uint32_t rej_eta_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta) {
  // Offsets of candidates 0-7: low then high bits of bytes 0 to 3.
  const __m512i shifts = _mm512_setr_epi64(0, 5, 8, 13, 16, 21, 24, 29);
  const __m512i order = load(ETA_ORDER);
  const __m512i seven = _mm512_set1_epi32(7);
  // Candidates are 0..7, so "t <= 2 * eta" (in 32-bit unsigned arithmetic) is "t <= min(2 * eta, 7)".
  const __m512i top = _mm512_set1_epi32(int32_t(2 * eta < 7 ? 2 * eta : 7));
  const __m512i base = _mm512_set1_epi32(int32_t(Q + eta));
  uint32_t ctr = 0, pos = 0;
  while (ctr < needed && len - pos >= ETA_BYTES) {
    uint64_t word;
    std::memcpy(&word, buf + pos, 8);
    const __m512i both = _mm512_srlv_epi64(_mm512_set1_epi64(int64_t(word)), shifts);
    const __m512i t = _mm512_and_si512(_mm512_permutexvar_epi32(order, both), seven);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const __mmask16 accept = ct::declassify(_mm512_cmple_epu32_mask(t, top));
    ctr += store_accepted(out + ctr, needed - ctr, _mm512_sub_epi32(base, t), accept);
    pos += ETA_BYTES;
  }
  return ctr + rej_eta_loop(out + ctr, needed - ctr, buf + pos, len - pos, eta);
}

uint32_t rej_gamma1m1_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len) {
  const __m512i dwords = load(GAMMA1M1_DWORDS);
  const __m512i spread = load(GAMMA1M1_SPREAD);
  const __m512i shifts = _mm512_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0, 4);
  const __m512i low20 = _mm512_set1_epi32(0xFFFFF);
  const __m512i bound = _mm512_set1_epi32(int32_t(GAMMA1M1_BOUND));
  const __m512i fold_by = _mm512_set1_epi32(int32_t(GAMMA1M1_FOLD + 1));
  const __m512i top = _mm512_set1_epi32(int32_t(GAMMA1M1_TOP));
  uint32_t ctr = 0, pos = 0;
  while (ctr < needed && len - pos >= GAMMA1M1_BYTES) {
    const __m512i raw = _mm512_permutexvar_epi32(dwords, load_bytes(buf + pos, GAMMA1M1_BYTES));
    __m512i t = _mm512_and_si512(_mm512_srlv_epi32(_mm512_shuffle_epi8(raw, spread), shifts), low20);
    // Public: the accept decisions; a refusal reveals only discarded candidates.
    const __mmask16 accept = ct::declassify(_mm512_cmple_epu32_mask(t, bound));
    // Fold: t - (FOLD + 1) where that does not wrap, that is where t is above FOLD; the smaller
    // of the two as unsigned, with no branch or mask on the secret candidate.
    t = _mm512_min_epu32(t, _mm512_sub_epi32(t, fold_by));
    ctr += store_accepted(out + ctr, needed - ctr, _mm512_sub_epi32(top, t), accept);
    pos += GAMMA1M1_BYTES;
  }
  return ctr + rej_gamma1m1_loop(out + ctr, needed - ctr, buf + pos, len - pos);
}

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
