// The challenge shuffle with 128-bit integer vectors, for the vector paths. Contract: the
// challenge_shuffle field of kernels.h.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

#include "ct.h"
#include "params.h"
#include "rules/challenge_rules.h"
#include "wipe.h"

namespace tavik {
namespace {

static_assert(N == 256 && N - TAU >= 128, "the shuffle writes position i only in the upper half");

// The challenge during its shuffle as two 256-bit sets, its nonzero and its negative
// coefficients, each in two 128-bit registers. place() reads and writes the position b only
// through lane masks and shifts, never through an index.
class ChallengeSets {
 public:
  // c[i] = c[b], then c[b] = -1 when negative is all ones, +1 when it is 0. b <= i, i >= 128.
  void place(uint32_t b, uint32_t i, uint32_t negative) {
    const __m128i lane_lo = _mm_setr_epi32(0, 1, 2, 3), lane_hi = _mm_setr_epi32(4, 5, 6, 7);
    const __m128i lane_b = _mm_set1_epi32(int32_t(b >> 5)), bit_b = _mm_set1_epi32(int32_t(1u << (b & 31)));
    const __m128i at_lo = _mm_and_si128(_mm_cmpeq_epi32(lane_lo, lane_b), bit_b);
    const __m128i at_hi = _mm_and_si128(_mm_cmpeq_epi32(lane_hi, lane_b), bit_b);
    // The bits at b, gathered into every lane (only one lane holds them).
    __m128i nz = _mm_or_si128(_mm_and_si128(nz_lo_, at_lo), _mm_and_si128(nz_hi_, at_hi));
    __m128i ng = _mm_or_si128(_mm_and_si128(neg_lo_, at_lo), _mm_and_si128(neg_hi_, at_hi));
    nz = _mm_or_si128(nz, _mm_shuffle_epi32(nz, 0x4E));
    ng = _mm_or_si128(ng, _mm_shuffle_epi32(ng, 0x4E));
    nz = _mm_or_si128(nz, _mm_shuffle_epi32(nz, 0xB1));
    ng = _mm_or_si128(ng, _mm_shuffle_epi32(ng, 0xB1));
    const uint32_t moved_nz = (uint32_t(_mm_cvtsi128_si32(nz)) >> (b & 31)) & 1;
    const uint32_t moved_neg = (uint32_t(_mm_cvtsi128_si32(ng)) >> (b & 31)) & 1;
    const __m128i at_i = _mm_cmpeq_epi32(lane_hi, _mm_set1_epi32(int32_t(i >> 5)));
    nz_hi_ = _mm_or_si128(nz_hi_, _mm_and_si128(at_i, _mm_set1_epi32(int32_t(moved_nz << (i & 31)))));
    neg_hi_ = _mm_or_si128(neg_hi_, _mm_and_si128(at_i, _mm_set1_epi32(int32_t(moved_neg << (i & 31)))));
    const __m128i sign = _mm_set1_epi32(int32_t(negative));
    nz_lo_ = _mm_or_si128(nz_lo_, at_lo);
    nz_hi_ = _mm_or_si128(nz_hi_, at_hi);
    neg_lo_ = _mm_xor_si128(neg_lo_, _mm_and_si128(at_lo, _mm_xor_si128(neg_lo_, sign)));
    neg_hi_ = _mm_xor_si128(neg_hi_, _mm_and_si128(at_hi, _mm_xor_si128(neg_hi_, sign)));
  }
  // c[j] = 0, 1 or Q - 1 as bit j of the sets says, four coefficients at a time: each lane tests
  // its own bit of the same 32-bit piece.
  void expand(uint32_t *c) const {
    alignas(16) uint64_t nonzero[4], negative[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(nonzero), nz_lo_);
    _mm_store_si128(reinterpret_cast<__m128i *>(nonzero + 2), nz_hi_);
    _mm_store_si128(reinterpret_cast<__m128i *>(negative), neg_lo_);
    _mm_store_si128(reinterpret_cast<__m128i *>(negative + 2), neg_hi_);
    const __m128i one = _mm_set1_epi32(1), q_minus_2 = _mm_set1_epi32(int32_t(Q - 2));
    for (uint32_t piece = 0; piece < N / 32; ++piece) {
      const __m128i nz = _mm_set1_epi32(int32_t(uint32_t(nonzero[piece / 2] >> (32 * (piece % 2)))));
      const __m128i neg = _mm_set1_epi32(int32_t(uint32_t(negative[piece / 2] >> (32 * (piece % 2)))));
      __m128i bits = _mm_setr_epi32(1, 2, 4, 8);
      for (uint32_t k = 0; k < 32; k += 4) {
        const __m128i is_nz = _mm_cmpeq_epi32(_mm_and_si128(nz, bits), bits);
        const __m128i is_neg = _mm_cmpeq_epi32(_mm_and_si128(neg, bits), bits);
        const __m128i v = _mm_and_si128(is_nz, _mm_add_epi32(one, _mm_and_si128(is_neg, q_minus_2)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(c + 32 * piece + k), v);
        bits = _mm_slli_epi32(bits, 4);
      }
    }
    secure_wipe(nonzero, sizeof nonzero);
    secure_wipe(negative, sizeof negative);
  }
  void wipe() { secure_wipe(this, sizeof *this); }

 private:
  __m128i nz_lo_ = _mm_setzero_si128(), nz_hi_ = _mm_setzero_si128();
  __m128i neg_lo_ = _mm_setzero_si128(), neg_hi_ = _mm_setzero_si128();
};

}  // namespace

void challenge_shuffle_avx2(uint32_t *c, const uint8_t *positions, uint64_t signs) {
  shuffle_challenge<ChallengeSets>(c, positions, signs);
}

}  // namespace tavik
