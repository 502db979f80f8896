// AVX2 bit-plane codec, one group of 8 coefficients per register.
//
// A group's W planes are up to three 64-bit words (planes 0-7, 8-15, 16-18), held in the 64-bit
// lanes of one register. Encoding takes byte k of the 8 stored values into lane k with one byte
// shuffle and one dword permutation, then transposes each lane as an 8x8 bit matrix; decoding
// runs the same steps backwards. Only the bytes of the group are loaded and stored.
#include "avx2/kernels_avx2.h"


#include <immintrin.h>

#include "io.h"
#include "rules/io_planes.h"
#include "params.h"

namespace tavik {
namespace {

using V = __m256i;

// Each 64-bit lane as an 8x8 bit matrix, transposed: bit j of byte i <- bit i of byte j.
inline V transpose8x8(V x) {
  const V m1 = _mm256_set1_epi64x(0x00AA00AA00AA00AALL);
  const V m2 = _mm256_set1_epi64x(0x0000CCCC0000CCCCLL);
  const V m3 = _mm256_set1_epi64x(0x00000000F0F0F0F0LL);
  V t = _mm256_and_si256(_mm256_xor_si256(x, _mm256_srli_epi64(x, 7)), m1);
  x = _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 7)));
  t = _mm256_and_si256(_mm256_xor_si256(x, _mm256_srli_epi64(x, 14)), m2);
  x = _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 14)));
  t = _mm256_and_si256(_mm256_xor_si256(x, _mm256_srli_epi64(x, 28)), m3);
  return _mm256_xor_si256(x, _mm256_xor_si256(t, _mm256_slli_epi64(t, 28)));
}

// In each 128-bit half, the 4x4 byte matrix of four dwords transposed: byte 4a + b <- byte 4b + a.
inline V transpose_bytes4x4(V x) {
  const V m = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,
                               0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  return _mm256_shuffle_epi8(x, m);
}

// Class CLS: 256 coefficients -> 32 * W bytes.
template <uint32_t CLS>
void pack_planes_class(uint8_t *out, const uint32_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr int32_t OFF = IO_var_table[CLS].offset;
  const V off = _mm256_set1_epi32(OFF);
  const V q = _mm256_set1_epi32(int32_t(Q));
  const V words = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (uint32_t g = 0; g < N / 8; ++g, in += 8, out += W) {
    V v = _mm256_loadu_si256(reinterpret_cast<const V *>(in));
    if constexpr (io_is_offset_class(CLS)) {
      // off + x, less Q where x (signed) is above off.
      const V above = _mm256_cmpgt_epi32(v, off);
      v = _mm256_sub_epi32(_mm256_add_epi32(v, off), _mm256_and_si256(above, q));
    }
    // Dword k of each half: byte k of its four values; then lane k: byte k of all eight.
    v = _mm256_permutevar8x32_epi32(transpose_bytes4x4(v), words);
    v = transpose8x8(v);
    for_each_word<plane_words<W>>([&](auto k) {
      constexpr int word = decltype(k)::value;
      store_le<planes_in_word<W>(word)>(out + 8 * word, uint64_t(_mm256_extract_epi64(v, word)));
    });
  }
}

// Class CLS: 32 * W bytes -> 256 coefficients.
template <uint32_t CLS>
void unpack_planes_class(uint32_t *out, const uint8_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr uint32_t SHIFT = CLS == IO_T1 ? D : 0;
  constexpr uint32_t ADD = io_is_offset_class(CLS) ? Q - uint32_t(IO_var_table[CLS].offset) : 0;
  const V add = _mm256_set1_epi32(int32_t(ADD));
  const V halves = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (uint32_t g = 0; g < N / 8; ++g, in += W, out += 8) {
    uint64_t word[3] = {};
    for_each_word<plane_words<W>>([&](auto k) { word[k] = load_le<planes_in_word<W>(k)>(in + 8 * k); });
    V v = _mm256_setr_epi64x(int64_t(word[0]), int64_t(word[1]), int64_t(word[2]), 0);
    // Lane k: byte k of the eight values; then dword j of each half: value j of that half.
    v = transpose8x8(v);
    v = transpose_bytes4x4(_mm256_permutevar8x32_epi32(v, halves));
    v = _mm256_add_epi32(_mm256_slli_epi32(v, SHIFT), add);
    _mm256_storeu_si256(reinterpret_cast<V *>(out), v);
  }
}

}  // namespace

// 256 coefficients -> 32 * W bytes of class cls, as pack_planes_scalar. out must not overlap in.
void pack_planes_avx2(uint8_t *out, const uint32_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { pack_planes_class<decltype(c)::value>(out, in); });
}

// 32 * W bytes of class cls -> 256 coefficients, as unpack_planes_scalar. out must not overlap in.
void unpack_planes_avx2(uint32_t *out, const uint8_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { unpack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace tavik

