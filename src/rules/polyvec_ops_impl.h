// Bodies of the element-wise vector operations, written as plain loops that vectorise. This
// header is compiled twice: by Polynomial.cpp with the base instruction set and by
// polyvec_ops_avx2.cpp with AVX2; the kernel tables of kernels.cpp hold one copy each.
// Everything here has internal linkage so that the two copies never merge at link time.
//
// No loop has a data-dependent branch or exit: the two tests read every coefficient, because
// signing applies them to secret values.
#pragma once
#include <cstddef>
#include <cstdint>

#include "Reduce.h"
#include "params.h"

// add and sub work in blocks of eight coefficients, each block read in full before it is
// written, so out equal to an input is safe without a run-time overlap check (which would send
// that case down a one-at-a-time path) and each block compiles to whole-register operations.
// clang would otherwise vectorise the outer loop instead, with exactly that check.
#if defined(__clang__)
#define TAVIK_VECTORISE_BLOCKS_ONLY _Pragma("clang loop vectorize(disable)")
#else
#define TAVIK_VECTORISE_BLOCKS_ONLY
#endif

namespace tavik {
namespace {

constexpr size_t LANES = 8;         // coefficients per block of add and sub
static_assert(N % LANES == 0);

// out = a + b over n coefficients (a multiple of 8), 32-bit wrap; out may be a or b.
inline void add_loop(uint32_t *out, const uint32_t *a, const uint32_t *b, size_t n) {
  TAVIK_VECTORISE_BLOCKS_ONLY
  for (size_t i = 0; i < n; i += LANES) {
    uint32_t t[LANES];
    for (size_t j = 0; j < LANES; ++j) t[j] = a[i + j] + b[i + j];
    for (size_t j = 0; j < LANES; ++j) out[i + j] = t[j];
  }
}

// out = a - b + 2Q over n coefficients (a multiple of 8), 32-bit wrap; out may be a or b.
inline void sub_loop(uint32_t *out, const uint32_t *a, const uint32_t *b, size_t n) {
  TAVIK_VECTORISE_BLOCKS_ONLY
  for (size_t i = 0; i < n; i += LANES) {
    uint32_t t[LANES];
    for (size_t j = 0; j < LANES; ++j) t[j] = a[i + j] - b[i + j] + Q2;
    for (size_t j = 0; j < LANES; ++j) out[i + j] = t[j];
  }
}

// v = v mod Q in [0, Q) over n coefficients, any 32-bit input.
inline void freeze_loop(uint32_t *v, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = freeze32(v[i]);
}

// Products by the challenge of a packed pair a + (b << shift): each x congruent to
// v = a + (b << shift) modulo Q, with |a| < 512, b << shift a multiple of 1024 and |v| <= HALF_Q,
// so that v is x's centred residue and a v's centred residue modulo 1024. lo = Q + a, hi = Q + b.
inline void split_pair_loop(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int32_t s = int32_t(freeze32(x[i]));
    s -= int32_t(Q) & ((int32_t(HALF_Q) - s) >> 31);  // centred
    const int32_t a = ((s + 512) & 1023) - 512;
    lo[i] = Q + uint32_t(a);
    hi[i] = Q + uint32_t((s - a) >> shift);  // s - a is b << shift exactly
  }
}

// 1 if a and b differ in a stored value among n coefficients (n a multiple of 16), else 0.
inline int32_t compare_loop(const uint32_t *a, const uint32_t *b, size_t n) {
  uint32_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= a[i] ^ b[i];
  return int32_t((diff | (0u - diff)) >> 31);
}

// 1 if some centred |v mod Q| among n coefficients (n a multiple of 16) is >= bound, else 0.
inline int32_t check_norm_loop(const uint32_t *v, size_t n, uint32_t bound) {
  uint32_t hit = 0;
  for (size_t i = 0; i < n; ++i) hit |= uint32_t(centred_abs(v[i]) >= bound);
  return int32_t(hit);
}

}  // namespace
}  // namespace tavik
