// AVX-512 bit-plane codec, two groups of 8 coefficients per 512-bit register.
//
// A group's W planes are up to three 64-bit words (planes 0-7, 8-15, 16-18); the first group's
// words are the 64-bit lanes 0-3 of the register, the second's lanes 4-7. Encoding takes byte k
// of the 16 stored values into lane k (first group) and 4 + k (second) with one byte shuffle and
// one dword permutation, then transposes each lane as an 8x8 bit matrix; decoding runs the same
// steps backwards. Each group's W bytes are loaded and stored with one byte-masked access on its
// half of the register, so only the bytes of the two groups are read or written.
#include "avx512/kernels_avx512.h"

#include "io.h"
#include "params.h"
#include "rules/io_planes.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {
namespace {

using V = __m512i;

// Truth tables of the ternary-logic instruction, bit (a << 2 | b << 1 | c) of the immediate.
constexpr int XOR_AND = 0x28;  // (a ^ b) & c
constexpr int XOR3 = 0x96;     // a ^ b ^ c

// One step of the transpose: swaps the bits selected by m with those `shift` places above them.
template <int shift>
inline V swap_bits(V x, V m) {
  const V t = _mm512_ternarylogic_epi64(x, _mm512_srli_epi64(x, shift), m, XOR_AND);
  return _mm512_ternarylogic_epi64(x, t, _mm512_slli_epi64(t, shift), XOR3);
}

// Each 64-bit lane as an 8x8 bit matrix, transposed: bit j of byte i <- bit i of byte j.
inline V transpose8x8(V x) {
  x = swap_bits<7>(x, _mm512_set1_epi64(0x00AA00AA00AA00AALL));
  x = swap_bits<14>(x, _mm512_set1_epi64(0x0000CCCC0000CCCCLL));
  return swap_bits<28>(x, _mm512_set1_epi64(0x00000000F0F0F0F0LL));
}

struct alignas(64) Dwords {
  int32_t v[16];
};
struct alignas(64) Bytes {
  int8_t v[64];
};

// In each 128-bit lane, the 4x4 byte matrix of four dwords transposed: byte 4a + b <- byte 4b + a.
constexpr Bytes BYTES4X4 = {{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                             0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                             0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                             0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}};
// After BYTES4X4, dword k of 128-bit lane j holds byte k of values 4j .. 4j + 3; these gather
// byte k of values 0-7 into 64-bit lane k, of values 8-15 into lane 4 + k, and back.
constexpr Dwords TO_WORDS = {{0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15}};
constexpr Dwords FROM_WORDS = {{0, 2, 4, 6, 1, 3, 5, 7, 8, 10, 12, 14, 9, 11, 13, 15}};

// Class CLS: 256 coefficients -> 32 * W bytes.
template <uint32_t CLS>
void pack_planes_class(uint8_t *out, const uint32_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr int32_t OFF = IO_var_table[CLS].offset;
  constexpr __mmask32 GROUP = __mmask32((1u << W) - 1);
  const V off = _mm512_set1_epi32(OFF);
  const V q = _mm512_set1_epi32(int32_t(Q));
  const V bytes4x4 = _mm512_load_si512(BYTES4X4.v);
  const V to_words = _mm512_load_si512(TO_WORDS.v);
  for (uint32_t g = 0; g < N / 16; ++g, in += 16, out += 2 * W) {
    V v = _mm512_loadu_si512(in);
    if constexpr (io_is_offset_class(CLS)) {
      // off + x, less Q where x (signed) is above off.
      const __mmask16 above = _mm512_cmpgt_epi32_mask(v, off);
      v = _mm512_add_epi32(v, off);
      v = _mm512_mask_sub_epi32(v, above, v, q);
    }
    v = transpose8x8(_mm512_permutexvar_epi32(to_words, _mm512_shuffle_epi8(v, bytes4x4)));
    _mm256_mask_storeu_epi8(out, GROUP, _mm512_castsi512_si256(v));
    _mm256_mask_storeu_epi8(out + W, GROUP, _mm512_extracti64x4_epi64(v, 1));
  }
}

// Class CLS: 32 * W bytes -> 256 coefficients.
template <uint32_t CLS>
void unpack_planes_class(uint32_t *out, const uint8_t *in) {
  constexpr uint32_t W = uint32_t(IO_var_table[CLS].width);
  constexpr uint32_t SHIFT = CLS == IO_T1 ? D : 0;
  constexpr uint32_t ADD = io_is_offset_class(CLS) ? Q - uint32_t(IO_var_table[CLS].offset) : 0;
  constexpr __mmask32 GROUP = __mmask32((1u << W) - 1);
  const V add = _mm512_set1_epi32(int32_t(ADD));
  const V bytes4x4 = _mm512_load_si512(BYTES4X4.v);
  const V from_words = _mm512_load_si512(FROM_WORDS.v);
  for (uint32_t g = 0; g < N / 16; ++g, in += 2 * W, out += 16) {
    const __m256i first = _mm256_maskz_loadu_epi8(GROUP, in);
    const __m256i second = _mm256_maskz_loadu_epi8(GROUP, in + W);
    V v = transpose8x8(_mm512_inserti64x4(_mm512_castsi256_si512(first), second, 1));
    v = _mm512_shuffle_epi8(_mm512_permutexvar_epi32(from_words, v), bytes4x4);
    if constexpr (SHIFT != 0) v = _mm512_slli_epi32(v, SHIFT);
    if constexpr (ADD != 0) v = _mm512_add_epi32(v, add);
    _mm512_storeu_si512(out, v);
  }
}

}  // namespace

void pack_planes_avx512(uint8_t *out, const uint32_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { pack_planes_class<decltype(c)::value>(out, in); });
}

void unpack_planes_avx512(uint32_t *out, const uint8_t *in, uint32_t cls) {
  with_class(cls, [&](auto c) { unpack_planes_class<decltype(c)::value>(out, in); });
}

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
