// The vector rounding loops of rounding_rules.h, compiled with WebAssembly SIMD: four
// coefficients a step. Contracts: the fields of kernels.h.
#include "rules/rounding_rules.h"
#include "simd128/kernels_simd128.h"

namespace tavik {

void polyvec_power2round_simd128(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count) {
  power2round_loop(t1, t0, t, count);
}

void polyvec_decompose_simd128(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
  decompose_loop(a1, a0, a, count);
}

void polyvec_highbits_simd128(uint32_t *a1, const uint32_t *a, uint32_t count) { highbits_loop(a1, a, count); }

uint32_t polyvec_make_hint_simd128(uint32_t *h, const uint32_t *a, const uint32_t *b) {
  return make_hint_loop(h, a, b);
}

void polyvec_use_hint_simd128(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count) {
  use_hint_loop(out, hint, a, count);
}

uint32_t poly_candidate_check_simd128(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                      uint32_t e_bound) {
  return candidate_check_loop(v, e, w1, r0_bound, e_bound);
}

}  // namespace tavik
