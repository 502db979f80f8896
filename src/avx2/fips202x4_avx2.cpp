// Keccak-f[1600] and the sponge on four interleaved states at once with AVX2, one 256-bit
// register per lane index.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

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

}  // namespace

void keccak_permute4x_avx2(uint64_t s[100]) { keccak_permute_lanes<Avx2LaneOps>(s); }

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

}  // namespace tavik
