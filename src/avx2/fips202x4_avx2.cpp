// Keccak-f[1600] and the sponge on four interleaved states at once with AVX2, one 256-bit
// register per lane index, also with a fifth state beside them on general registers; and the
// permutation and extraction of eight states, a pair of registers per lane index.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "rules/keccak_rounds.h"
#include "rules/keccak_sponge.h"
#include "rules/keccak_ymm4_lanes.h"

namespace tavik {
namespace {

// The lane operations of keccak_rounds.h on four states, one 256-bit register per lane index.
// Rotations by whole bytes take one byte shuffle; the left shift by 1 is an add, which more
// execution ports accept than shifts.
struct Avx2LaneOps : Ymm4LaneOps {
  static V xor5(V a, V b, V c, V d, V e) {
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d)), e);
  }
  static V chi(V a, V b, V c) { return _mm256_xor_si256(a, _mm256_andnot_si256(b, c)); }
  template <int n>
  static V rol(V a) {
    static_assert(n > 0 && n < 64);
    if constexpr (n == 1) {
      return _mm256_or_si256(_mm256_add_epi64(a, a), _mm256_srli_epi64(a, 63));
    } else if constexpr (n == 8) {
      const V m = _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14,
                                   7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14);
      return _mm256_shuffle_epi8(a, m);
    } else if constexpr (n == 56) {
      const V m = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,
                                   1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
      return _mm256_shuffle_epi8(a, m);
    } else {
      return _mm256_or_si256(_mm256_slli_epi64(a, n), _mm256_srli_epi64(a, 64 - n));
    }
  }
};

// Eight states, lane i of states 0-3 in the low register of a pair and of states 4-7 in the high
// one: every operation twice over, which gives the processor two independent chains to overlap.
struct Avx2PairLaneOps {
  struct V {
    __m256i lo, hi;
  };
  static constexpr int W = 8;
  static V load(const uint64_t *p) { return {Avx2LaneOps::load(p), Avx2LaneOps::load(p + 4)}; }
  static void store(uint64_t *p, V v) {
    Avx2LaneOps::store(p, v.lo);
    Avx2LaneOps::store(p + 4, v.hi);
  }
  static V bcast(uint64_t x) {
    const __m256i b = Avx2LaneOps::bcast(x);
    return {b, b};
  }
  static V xor2(V a, V b) { return {_mm256_xor_si256(a.lo, b.lo), _mm256_xor_si256(a.hi, b.hi)}; }
  static V xor5(V a, V b, V c, V d, V e) {
    return {Avx2LaneOps::xor5(a.lo, b.lo, c.lo, d.lo, e.lo), Avx2LaneOps::xor5(a.hi, b.hi, c.hi, d.hi, e.hi)};
  }
  static V chi(V a, V b, V c) { return {Avx2LaneOps::chi(a.lo, b.lo, c.lo), Avx2LaneOps::chi(a.hi, b.hi, c.hi)}; }
  template <int n>
  static V rol(V a) {
    return {Avx2LaneOps::rol<n>(a.lo), Avx2LaneOps::rol<n>(a.hi)};
  }
};

}  // namespace

void keccak_permute4x_avx2(uint64_t s[100]) { keccak_permute_lanes<Avx2LaneOps>(s); }

void keccak_permute4x1_avx2(uint64_t s[100], uint64_t t[25]) {
  keccak_permute_lanes_beside<Avx2LaneOps, ScalarLaneOps<>>(s, t);
}

namespace {
constexpr Ymm4Lanes<keccak_permute4x_avx2> LANES4;
}  // namespace

void keccak_absorb4x_avx2(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                          const uint8_t *in2, const uint8_t *in3, uint64_t inlen) {
  sponge_absorb4x(LANES4, s, r, in0, in1, in2, in3, inlen);
}

void keccak_squeeze4x_avx2(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                           uint64_t nblocks, uint64_t s[100], size_t r) {
  sponge_squeezeblocks4x(LANES4, out0, out1, out2, out3, nblocks, s, r);
}

void keccak_extract4x_avx2(uint8_t *const out[4], const uint64_t s[100]) { sponge_extract(LANES4, out, s); }

void keccak_permute8x_avx2(uint64_t s[200]) { keccak_permute_lanes<Avx2PairLaneOps>(s); }

void keccak_permute8x1_avx2(uint64_t s[200], uint64_t t[25]) {
  keccak_permute8x_avx2(s);
  keccak_permute_bmi(t);
}

// Each half of the eight states as four: lanes leave four at a time through a 4x4 transpose of
// the half's rows (row i at s + 8i + 4h), the 21st one word per state.
void keccak_extract8x_avx2(uint8_t *const out[8], const uint64_t s[200]) {
  constexpr size_t WORDS = 21;
  for (size_t h = 0; h < 2; ++h) {
    size_t i = 0;
    for (; i + 4 <= WORDS; i += 4) {
      __m256i r[4];
      for (size_t k = 0; k < 4; ++k) r[k] = Avx2LaneOps::load(s + 8 * (i + k) + 4 * h);
      keccak_transpose4(r[0], r[1], r[2], r[3]);
      for (size_t j = 0; j < 4; ++j) _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[4 * h + j] + 8 * i), r[j]);
    }
    for (; i < WORDS; ++i)
      for (size_t j = 0; j < 4; ++j) std::memcpy(out[4 * h + j] + 8 * i, s + 8 * i + 4 * h + j, 8);
  }
}

}  // namespace tavik
