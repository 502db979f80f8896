// The challenge shuffle for the vector paths: the sets on general registers, their expansion
// with 256-bit vectors. Contract: the challenge_shuffle field of kernels.h.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

#include "ct.h"
#include "params.h"
#include "rules/challenge_rules.h"
#include "wipe.h"

namespace tavik {
namespace {

static_assert(N == 256 && N - TAU >= 192, "the shuffle writes position i only in the last 64-bit word");

// The challenge during its shuffle as two 256-bit sets, its nonzero and its negative
// coefficients, each in four 64-bit words that stay in registers across the 60 steps (a step is a
// short chain through the last word, which holds every position i). place() reads and writes the
// position b only through masks over every word and shifts, never through an index.
class ChallengeSets {
 public:
  // c[i] = c[b], then c[b] = -1 when negative is all ones, +1 when it is 0. b <= i, i >= 192.
  void place(uint32_t b, uint32_t i, uint32_t negative) {
    const uint64_t bit = uint64_t(1) << (b & 63);
    const uint32_t word = b >> 6;
    const uint64_t at0 = ct::widen(ct::mask_eq(0, word)) & bit, at1 = ct::widen(ct::mask_eq(1, word)) & bit;
    const uint64_t at2 = ct::widen(ct::mask_eq(2, word)) & bit, at3 = ct::widen(ct::mask_eq(3, word)) & bit;
    // The bits at b, in place within their word (only one word holds them).
    const uint64_t moved_nz = ((nz_[0] & at0) | (nz_[1] & at1)) | ((nz_[2] & at2) | (nz_[3] & at3));
    const uint64_t moved_neg = ((neg_[0] & at0) | (neg_[1] & at1)) | ((neg_[2] & at2) | (neg_[3] & at3));
    nz_[3] |= ((moved_nz >> (b & 63)) & 1) << (i & 63);
    neg_[3] |= ((moved_neg >> (b & 63)) & 1) << (i & 63);
    const uint64_t sign = ct::widen(negative);
    nz_[0] |= at0;
    nz_[1] |= at1;
    nz_[2] |= at2;
    nz_[3] |= at3;
    neg_[0] = ct::select(at0, sign, neg_[0]);
    neg_[1] = ct::select(at1, sign, neg_[1]);
    neg_[2] = ct::select(at2, sign, neg_[2]);
    neg_[3] = ct::select(at3, sign, neg_[3]);
  }
  // c[j] = 0, 1 or Q - 1 as bit j of the sets says, eight coefficients at a time: each lane tests
  // its own bit of the same byte.
  void expand(uint32_t *c) const {
    alignas(32) uint8_t nonzero[N / 8], negative[N / 8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(nonzero),
                       _mm256_setr_epi64x(int64_t(nz_[0]), int64_t(nz_[1]), int64_t(nz_[2]), int64_t(nz_[3])));
    _mm256_store_si256(reinterpret_cast<__m256i *>(negative),
                       _mm256_setr_epi64x(int64_t(neg_[0]), int64_t(neg_[1]), int64_t(neg_[2]), int64_t(neg_[3])));
    const __m256i one = _mm256_set1_epi32(1), q_minus_2 = _mm256_set1_epi32(int32_t(Q - 2));
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    for (uint32_t piece = 0; piece < N / 8; ++piece) {
      const __m256i nz = _mm256_set1_epi32(nonzero[piece]), neg = _mm256_set1_epi32(negative[piece]);
      const __m256i is_nz = _mm256_cmpeq_epi32(_mm256_and_si256(nz, bits), bits);
      const __m256i is_neg = _mm256_cmpeq_epi32(_mm256_and_si256(neg, bits), bits);
      const __m256i v = _mm256_and_si256(is_nz, _mm256_add_epi32(one, _mm256_and_si256(is_neg, q_minus_2)));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(c + 8 * piece), v);
    }
    secure_wipe(nonzero, sizeof nonzero);
    secure_wipe(negative, sizeof negative);
  }
  // The words live in registers (any spill lies in the stack that signing scrubs): taking their
  // address to wipe them would keep them in memory across every step.
  void wipe() {}

 private:
  uint64_t nz_[4] = {0, 0, 0, 0}, neg_[4] = {0, 0, 0, 0};
};

}  // namespace

void challenge_shuffle_avx2(uint32_t *c, const uint8_t *positions, uint64_t signs) {
  shuffle_challenge<ChallengeSets>(c, positions, signs);
}

}  // namespace tavik
