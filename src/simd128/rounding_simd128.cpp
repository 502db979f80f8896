// The element-wise and rounding loops, four coefficients a step: the per-coefficient rules of
// rounding_rules.h and Reduce.h in loops that the compiler is told to vectorise (the module's
// automatic vectorisation may be off, as it is where it made portable code slower; a loop marked
// here is vectorised all the same). No loop has a data-dependent branch or exit. Contracts: the
// fields of kernels.h.
#include <cstddef>

#include "Reduce.h"
#include "params.h"
#include "rules/polyvec_ops_impl.h"
#include "rules/rounding_rules.h"
#include "simd128/kernels_simd128.h"

// Asked of the WebAssembly build only. The native build over SIMDe (the tests) leaves the loops to
// the compiler: under AddressSanitizer clang cannot vectorise them, and a loop it was told to
// vectorise and could not is a warning (an error with -Werror).
#if defined(__clang__) && defined(__wasm_simd128__)
#define TAVIK_SIMD128_VECTORISE _Pragma("clang loop vectorize(enable) interleave(disable)")
#else
#define TAVIK_SIMD128_VECTORISE
#endif

namespace tavik {

void polyvec_add_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) out[i] = a[i] + b[i];
}

void polyvec_sub_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) out[i] = a[i] - b[i] + Q2;
}

void polyvec_freeze_simd128(uint32_t *v, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) v[i] = freeze32(v[i]);
}

// The rule of split_pair_loop one coefficient at a time, in the loop marked here.
void polyvec_split_pair_simd128(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) split_pair_loop(lo + i, hi + i, x + i, shift, 1);
}

int32_t polyvec_check_norm_simd128(const uint32_t *v, uint32_t count, uint32_t bound) {
  uint32_t hit = 0;
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) hit |= uint32_t(centred_abs(v[i]) >= bound);
  return int32_t(hit);
}

void polyvec_power2round_simd128(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) rounding_power2round(&t1[i], &t0[i], freeze32(t[i]));
}

void polyvec_decompose_simd128(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) a1[i] = rounding_decompose(&a0[i], a[i]);
}

void polyvec_highbits_simd128(uint32_t *a1, const uint32_t *a, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) {
    uint32_t low;
    a1[i] = rounding_decompose(&low, a[i]);
  }
}

uint32_t polyvec_make_hint_simd128(uint32_t *h, const uint32_t *a, const uint32_t *b) {
  uint32_t ones = 0;
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(K) * N; ++i) {
    const uint32_t bit = rounding_make_hint(a[i], b[i]);
    h[i] = bit;
    ones += bit;
  }
  return ones;
}

void polyvec_use_hint_simd128(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count) {
  TAVIK_SIMD128_VECTORISE
  for (size_t i = 0; i < size_t(count) * N; ++i) out[i] = rounding_use_hint(hint[i], a[i]);
}

uint32_t poly_candidate_check_simd128(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                      uint32_t e_bound) {
  uint32_t bad = 0;
  TAVIK_SIMD128_VECTORISE
  for (uint32_t i = 0; i < N; ++i) {
    uint32_t low;
    const uint32_t high = rounding_decompose(&low, v[i]);
    bad |= (high ^ w1[i]) | uint32_t(centred_abs(low) >= r0_bound) | uint32_t(centred_abs(e[i]) >= e_bound);
  }
  return bad;
}

}  // namespace tavik
