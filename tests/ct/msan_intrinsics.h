// Included ahead of every AVX-512 source in the MemorySanitizer build of the constant-time check
// (TAVIK_CT_MSAN). MemorySanitizer (clang 14) follows the secrecy of bytes through nearly every
// vector instruction, but not through two the avx512 path uses, vpternlogq and vpcompressd: it
// treats their operands as if the instruction branched on them, and would report every Keccak
// round on a secret state. Here each still runs as the processor's own instruction, on the same
// values, and the secrecy of its result is set to what it depends on:
//   ternary logic: each result bit is a function of the same bit of the three operands, so a bit
//     is secret where any of the three is (the secrecy of a ^ b ^ c);
//   compress: the mask must be public (it is reported otherwise, as a branch would be); each
//     packed lane is as secret as the lane it came from, the zeroed lanes are public.
#pragma once
#include <immintrin.h>
#include <sanitizer/msan_interface.h>

#include <cstdint>

namespace tavik::ct_msan {

template <class V>
inline V public_copy(V v) {
  __msan_unpoison(&v, sizeof v);
  return v;
}

// r with the secrecy of a ^ b ^ c.
template <class V>
inline V secret_as_xor(V r, V a, V b, V c) {
  V secrecy = a ^ b ^ c;
  __msan_copy_shadow(&r, &secrecy, sizeof r);
  return r;
}

template <int imm>
inline __m128i ternarylogic(__m128i a, __m128i b, __m128i c) {
  const __m128i r = (__m128i)__builtin_ia32_pternlogq128_mask(
      (__v2di)public_copy(a), (__v2di)public_copy(b), (__v2di)public_copy(c), imm, (__mmask8)-1);
  return secret_as_xor(r, a, b, c);
}
template <int imm>
inline __m256i ternarylogic(__m256i a, __m256i b, __m256i c) {
  const __m256i r = (__m256i)__builtin_ia32_pternlogq256_mask(
      (__v4di)public_copy(a), (__v4di)public_copy(b), (__v4di)public_copy(c), imm, (__mmask8)-1);
  return secret_as_xor(r, a, b, c);
}
template <int imm>
inline __m512i ternarylogic(__m512i a, __m512i b, __m512i c) {
  const __m512i r = (__m512i)__builtin_ia32_pternlogq512_mask(
      (__v8di)public_copy(a), (__v8di)public_copy(b), (__v8di)public_copy(c), imm, (__mmask8)-1);
  return secret_as_xor(r, a, b, c);
}

inline __m512i maskz_compress_epi32(__mmask16 k, __m512i a) {
  __msan_check_mem_is_initialized(&k, sizeof k);
  alignas(64) uint32_t in[16], out[16];
  _mm512_store_si512(in, a);
  _mm512_store_si512(out, (__m512i)__builtin_ia32_compresssi512_mask((__v16si)public_copy(a),
                                                                     (__v16si)_mm512_setzero_si512(), k));
  for (uint32_t i = 0, j = 0; i < 16; ++i) {
    if ((k >> i) & 1) __msan_copy_shadow(&out[j++], &in[i], sizeof out[0]);
  }
  return _mm512_load_si512(out);
}

}  // namespace tavik::ct_msan

#undef _mm_ternarylogic_epi64
#undef _mm256_ternarylogic_epi64
#undef _mm512_ternarylogic_epi64
#define _mm_ternarylogic_epi64(a, b, c, imm) ::tavik::ct_msan::ternarylogic<(imm)>(__m128i(a), __m128i(b), __m128i(c))
#define _mm256_ternarylogic_epi64(a, b, c, imm) ::tavik::ct_msan::ternarylogic<(imm)>(__m256i(a), __m256i(b), __m256i(c))
#define _mm512_ternarylogic_epi64(a, b, c, imm) ::tavik::ct_msan::ternarylogic<(imm)>(__m512i(a), __m512i(b), __m512i(c))
#define _mm512_maskz_compress_epi32(k, a) ::tavik::ct_msan::maskz_compress_epi32((k), (a))
