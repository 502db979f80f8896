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

#include <cstddef>
#include <cstdint>
#include <cstring>

#define TAVIK_AVX512_ABI emulated

// Intrinsics that the portable implementation has under its own name only, or not at all, or
// computes with signed lanes that may overflow; those are written here from their definitions,
// lane by lane.
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

// Lane arrays of a 512-bit value, for the definitions below.
template <typename T, typename V>
inline void lanes_of(T (&out)[64 / sizeof(T)], V v) {
  std::memcpy(out, &v, 64);
}
template <typename V, typename T>
inline V from_lanes(const T (&in)[64 / sizeof(T)]) {
  V v;
  std::memcpy(&v, in, 64);
  return v;
}

// Shifts of each lane by imm (below the lane width) where k is set, zero elsewhere: logical
// right on 64- and 32-bit lanes, arithmetic right on 32-bit lanes.
template <typename T, typename K>
inline simde__m512i maskz_shift_right(K k, simde__m512i a, unsigned imm) {
  T x[64 / sizeof(T)];
  lanes_of(x, a);
  for (size_t i = 0; i < 64 / sizeof(T); ++i) x[i] = ((k >> i) & 1) ? T(x[i] >> imm) : T(0);
  return from_lanes<simde__m512i>(x);
}
inline simde__m512i maskz_srli_epi64(simde__mmask8 k, simde__m512i a, unsigned imm) {
  return maskz_shift_right<uint64_t>(k, a, imm);
}
inline simde__m512i maskz_srli_epi32(simde__mmask16 k, simde__m512i a, unsigned imm) {
  return maskz_shift_right<uint32_t>(k, a, imm);
}
inline simde__m512i maskz_srai_epi32(simde__mmask16 k, simde__m512i a, unsigned imm) {
  return maskz_shift_right<int32_t>(k, a, imm);
}

// Lane-wise arithmetic that wraps as the instructions do: the portable forms compute on signed
// lanes, whose overflow is undefined and which the sanitizers rightly report.
template <typename T, typename Op>
inline simde__m512i wrapping(simde__m512i a, simde__m512i b, Op op) {
  T x[64 / sizeof(T)], y[64 / sizeof(T)];
  lanes_of(x, a);
  lanes_of(y, b);
  for (size_t i = 0; i < 64 / sizeof(T); ++i) x[i] = T(op(x[i], y[i]));
  return from_lanes<simde__m512i>(x);
}
inline simde__m512i add_epi32(simde__m512i a, simde__m512i b) {
  return wrapping<uint32_t>(a, b, [](uint32_t x, uint32_t y) { return x + y; });
}
inline simde__m512i sub_epi32(simde__m512i a, simde__m512i b) {
  return wrapping<uint32_t>(a, b, [](uint32_t x, uint32_t y) { return x - y; });
}
inline simde__m512i mullo_epi32(simde__m512i a, simde__m512i b) {  // low halves of the products
  return wrapping<uint32_t>(a, b, [](uint32_t x, uint32_t y) { return x * y; });
}
inline simde__m512i add_epi64(simde__m512i a, simde__m512i b) {
  return wrapping<uint64_t>(a, b, [](uint64_t x, uint64_t y) { return x + y; });
}
inline simde__m512i sub_epi64(simde__m512i a, simde__m512i b) {
  return wrapping<uint64_t>(a, b, [](uint64_t x, uint64_t y) { return x - y; });
}

// Lane i: src's where bit i of k is clear, else lane 2i (moveldup) or 2i + 1 (movehdup) of the
// pair i belongs to in a.
inline simde__m512 mask_moveldup_ps(simde__m512 src, simde__mmask16 k, simde__m512 a) {
  uint32_t s[16], x[16];  // bit patterns: no float operation touches them
  lanes_of(s, src);
  lanes_of(x, a);
  for (int i = 0; i < 16; ++i)
    if ((k >> i) & 1) s[i] = x[i & ~1];
  return from_lanes<simde__m512>(s);
}
inline simde__m512 mask_movehdup_ps(simde__m512 src, simde__mmask16 k, simde__m512 a) {
  uint32_t s[16], x[16];  // bit patterns: no float operation touches them
  lanes_of(s, src);
  lanes_of(x, a);
  for (int i = 0; i < 16; ++i)
    if ((k >> i) & 1) s[i] = x[i | 1];
  return from_lanes<simde__m512>(s);
}

// Lane i (64-bit): src's where bit i of k is clear, else lane (imm >> 2 * (i % 4)) % 4 of the
// 256-bit half of a that i belongs to.
inline simde__m512i mask_permutex_epi64(simde__m512i src, simde__mmask8 k, simde__m512i a, unsigned imm) {
  uint64_t s[8], x[8];
  lanes_of(s, src);
  lanes_of(x, a);
  for (int i = 0; i < 8; ++i)
    if ((k >> i) & 1) s[i] = x[(i & 4) | ((imm >> (2 * (i & 3))) & 3)];
  return from_lanes<simde__m512i>(s);
}

// The codec subtracts under a mask computed from secret coefficients: the instruction takes the
// mask as data, and so does this form (a select through a lane mask of all ones or zeros), where
// the portable masked move may be compiled to a branch per lane.
inline simde__m512i mask_sub_epi32(simde__m512i src, simde__mmask16 k, simde__m512i a, simde__m512i b) {
  uint32_t s[16], d[16];
  lanes_of(s, src);
  lanes_of(d, sub_epi32(a, b));
  for (uint32_t i = 0; i < 16; ++i) {
    const uint32_t m = 0u - ((uint32_t(k) >> i) & 1u);
    s[i] ^= m & (s[i] ^ d[i]);
  }
  return from_lanes<simde__m512i>(s);
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
#undef _mm512_mullo_epi32
#undef _mm512_add_epi64
#undef _mm512_sub_epi64
#undef _mm512_maskz_srli_epi64
#undef _mm512_maskz_srli_epi32
#undef _mm512_maskz_srai_epi32
#undef _mm512_mask_moveldup_ps
#undef _mm512_mask_movehdup_ps
#undef _mm512_mask_permutex_epi64
#define _mm512_add_epi32 tavik::emulated_intrinsics::add_epi32
#define _mm512_sub_epi32 tavik::emulated_intrinsics::sub_epi32
#define _mm512_mullo_epi32 tavik::emulated_intrinsics::mullo_epi32
#define _mm512_add_epi64 tavik::emulated_intrinsics::add_epi64
#define _mm512_sub_epi64 tavik::emulated_intrinsics::sub_epi64
#define _mm512_maskz_srli_epi64 tavik::emulated_intrinsics::maskz_srli_epi64
#define _mm512_maskz_srli_epi32 tavik::emulated_intrinsics::maskz_srli_epi32
#define _mm512_maskz_srai_epi32 tavik::emulated_intrinsics::maskz_srai_epi32
#define _mm512_mask_moveldup_ps tavik::emulated_intrinsics::mask_moveldup_ps
#define _mm512_mask_movehdup_ps tavik::emulated_intrinsics::mask_movehdup_ps
#define _mm512_mask_permutex_epi64 tavik::emulated_intrinsics::mask_permutex_epi64
#define _mm512_mask_storeu_epi32 tavik::emulated_intrinsics::mask_storeu_epi32
#define _mm512_maskz_loadu_epi32 tavik::emulated_intrinsics::maskz_loadu_epi32
#define _mm256_mask_storeu_epi8 tavik::emulated_intrinsics::mask_storeu_epi8_256
#define _mm256_maskz_loadu_epi8 tavik::emulated_intrinsics::maskz_loadu_epi8_256
#define _mm512_mask_sub_epi32 tavik::emulated_intrinsics::mask_sub_epi32
#else
// GCC 12 reports the self-initialised placeholder vector of its own 512-bit intrinsic headers as
// (maybe) uninitialized once they are inlined into a kernel; the placeholder is never read. The
// warnings stay off for the rest of every file that includes this one.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define TAVIK_AVX512_ABI native
#endif
