// Four interleaved Keccak states in 256-bit registers, shared by the AVX2 and AVX-512 files: the
// lane operations of the round text that both instruction sets have, and the lane set of the
// sponge (keccak_sponge.h), whose blocks enter and leave the lanes through 4x4 transposes. Each
// file passes its own four-state permutation. Internal linkage: every including file compiles
// its own copy for its instruction set.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byteorder.h"

namespace tavik {
namespace {

// The lane operations of keccak_rounds.h that are the same on AVX2 and AVX-512VL: four states,
// one 256-bit register per lane index. Each file adds xor5, chi and rol for its instruction set.
struct Ymm4LaneOps {
  using V = __m256i;
  static constexpr int W = 4;
  static V load(const uint64_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
  static void store(uint64_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
  static V bcast(uint64_t x) { return _mm256_set1_epi64x((long long)x); }
  static V xor2(V a, V b) { return _mm256_xor_si256(a, b); }
};

// Transposes a 4x4 matrix of 64-bit words held as four rows.
inline void keccak_transpose4(__m256i &r0, __m256i &r1, __m256i &r2, __m256i &r3) {
  const __m256i t0 = _mm256_unpacklo_epi64(r0, r1);  // r0[0] r1[0] r0[2] r1[2]
  const __m256i t1 = _mm256_unpackhi_epi64(r0, r1);  // r0[1] r1[1] r0[3] r1[3]
  const __m256i t2 = _mm256_unpacklo_epi64(r2, r3);
  const __m256i t3 = _mm256_unpackhi_epi64(r2, r3);
  r0 = _mm256_permute2x128_si256(t0, t2, 0x20);
  r1 = _mm256_permute2x128_si256(t1, t3, 0x20);
  r2 = _mm256_permute2x128_si256(t0, t2, 0x31);
  r3 = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// The sponge's lane set of four states with the permutation Permute: four lanes of the four
// inputs at a time through a transpose, the remaining lanes one word per state.
template <void (*Permute)(uint64_t *)>
struct Ymm4Lanes {
  static constexpr size_t W = 4;
  static void permute(uint64_t *s) { Permute(s); }

  static void xor_words(uint64_t *s, const uint8_t *const *in, uint64_t pos, size_t words) {
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
      __m256i r[4];
      for (size_t j = 0; j < 4; ++j) r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in[j] + pos + 8 * i));
      keccak_transpose4(r[0], r[1], r[2], r[3]);
      for (size_t k = 0; k < 4; ++k)
        Ymm4LaneOps::store(s + 4 * (i + k), _mm256_xor_si256(Ymm4LaneOps::load(s + 4 * (i + k)), r[k]));
    }
    for (; i < words; ++i) {
      const __m256i v = _mm256_setr_epi64x((long long)load_le<8>(in[0] + pos + 8 * i), (long long)load_le<8>(in[1] + pos + 8 * i),
                                           (long long)load_le<8>(in[2] + pos + 8 * i), (long long)load_le<8>(in[3] + pos + 8 * i));
      Ymm4LaneOps::store(s + 4 * i, _mm256_xor_si256(Ymm4LaneOps::load(s + 4 * i), v));
    }
  }

  static void store_words(uint8_t *const *out, uint64_t pos, const uint64_t *s, size_t words) {
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
      __m256i r[4];
      for (size_t k = 0; k < 4; ++k) r[k] = Ymm4LaneOps::load(s + 4 * (i + k));
      keccak_transpose4(r[0], r[1], r[2], r[3]);
      for (size_t j = 0; j < 4; ++j) _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[j] + pos + 8 * i), r[j]);
    }
    for (; i < words; ++i)
      for (size_t j = 0; j < 4; ++j) std::memcpy(out[j] + pos + 8 * i, s + 4 * i + j, 8);
  }
};

}  // namespace
}  // namespace tavik
