// The instruction set of the AVX-512 kernels. A normal build compiles them for the processor's
// own instructions. The suites also compile the same files with TAVIK_AVX512_EMULATED set, over
// a portable implementation of the intrinsics (SIMDe, a test-only dependency), so that every
// 512-bit kernel is checked against the scalar ones on machines without AVX-512; those copies
// live in the inline namespace `emulated` and never mix with the real ones.
#pragma once

#ifndef TAVIK_AVX512_EMULATED
#define TAVIK_AVX512_EMULATED 0
#endif

#if TAVIK_AVX512_EMULATED
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cstdint>
#include <cstring>

#define TAVIK_AVX512_ABI emulated

// Intrinsics that the portable implementation has under its own name only, or not at all; the
// missing ones are written here from their definitions, lane by lane.
#undef _mm512_shuffle_i64x2
#undef _mm512_maskz_shuffle_i64x2
#define _mm512_shuffle_i64x2(a, b, imm) simde_mm512_shuffle_i64x2(a, b, imm)
#define _mm512_maskz_shuffle_i64x2(k, a, b, imm) simde_mm512_maskz_shuffle_i64x2(k, a, b, imm)

namespace tavik::emulated_intrinsics {

inline void mask_storeu_epi64(void *p, simde__mmask8 k, simde__m512i v) {
  uint64_t w[8];
  simde_mm512_storeu_si512(w, v);
  for (int i = 0; i < 8; ++i)
    if ((k >> i) & 1) std::memcpy(static_cast<char *>(p) + 8 * i, &w[i], 8);
}

inline void mask_storeu_epi32(void *p, simde__mmask16 k, simde__m512i v) {
  uint32_t w[16];
  simde_mm512_storeu_si512(w, v);
  for (int i = 0; i < 16; ++i)
    if ((k >> i) & 1) std::memcpy(static_cast<char *>(p) + 4 * i, &w[i], 4);
}

// Reads only the selected dwords, as the instruction does: a masked load may end at a buffer's end.
inline simde__m512i maskz_loadu_epi32(simde__mmask16 k, const void *p) {
  uint32_t w[16] = {};
  for (int i = 0; i < 16; ++i)
    if ((k >> i) & 1) std::memcpy(&w[i], static_cast<const char *>(p) + 4 * i, 4);
  return simde_mm512_loadu_si512(w);
}

inline void mask_storeu_epi8_256(void *p, simde__mmask32 k, simde__m256i v) {
  uint8_t b[32];
  simde_mm256_storeu_si256(b, v);
  for (int i = 0; i < 32; ++i)
    if ((k >> i) & 1) static_cast<uint8_t *>(p)[i] = b[i];
}

inline simde__m256i maskz_loadu_epi8_256(simde__mmask32 k, const void *p) {
  uint8_t b[32] = {};
  for (int i = 0; i < 32; ++i)
    if ((k >> i) & 1) b[i] = static_cast<const uint8_t *>(p)[i];
  return simde_mm256_loadu_si256(b);
}

// 32-bit lane sums and differences wrap, as the instructions do; the portable forms compute them
// on signed lanes, where overflow is undefined.
inline simde__m512i add_epi32(simde__m512i a, simde__m512i b) {
  uint32_t x[16], y[16];
  simde_mm512_storeu_si512(x, a);
  simde_mm512_storeu_si512(y, b);
  for (int i = 0; i < 16; ++i) x[i] += y[i];
  return simde_mm512_loadu_si512(x);
}

inline simde__m512i sub_epi32(simde__m512i a, simde__m512i b) {
  uint32_t x[16], y[16];
  simde_mm512_storeu_si512(x, a);
  simde_mm512_storeu_si512(y, b);
  for (int i = 0; i < 16; ++i) x[i] -= y[i];
  return simde_mm512_loadu_si512(x);
}

inline simde__m512i mask_sub_epi32(simde__m512i src, simde__mmask16 k, simde__m512i a, simde__m512i b) {
  return simde_mm512_mask_mov_epi32(src, k, sub_epi32(a, b));
}

}  // namespace tavik::emulated_intrinsics

#undef _mm512_mask_storeu_epi64
#undef _mm512_mask_storeu_epi32
#undef _mm512_maskz_loadu_epi32
#undef _mm256_mask_storeu_epi8
#undef _mm256_maskz_loadu_epi8
#undef _mm512_add_epi32
#undef _mm512_sub_epi32
#undef _mm512_mask_sub_epi32
#define _mm512_mask_storeu_epi64 tavik::emulated_intrinsics::mask_storeu_epi64
#define _mm512_mask_storeu_epi32 tavik::emulated_intrinsics::mask_storeu_epi32
#define _mm512_maskz_loadu_epi32 tavik::emulated_intrinsics::maskz_loadu_epi32
#define _mm256_mask_storeu_epi8 tavik::emulated_intrinsics::mask_storeu_epi8_256
#define _mm256_maskz_loadu_epi8 tavik::emulated_intrinsics::maskz_loadu_epi8_256
#define _mm512_add_epi32 tavik::emulated_intrinsics::add_epi32
#define _mm512_sub_epi32 tavik::emulated_intrinsics::sub_epi32
#define _mm512_mask_sub_epi32 tavik::emulated_intrinsics::mask_sub_epi32
#else
#include <immintrin.h>
#define TAVIK_AVX512_ABI native
#endif
