// Power2Round, the 16-times-scaled Decompose and the hints, scalar and over whole vectors. The
// rules themselves are in rounding_rules.h; the loops compiled here are the scalar kernels, and
// the vector operations run the kernels of the path in use.
#include "Rounding.h"

#include "kernels.h"
#include "range_check.h"
#include "rules/rounding_rules.h"

namespace tavik {

void Power2Round(uint32_t *a1, uint32_t *a0, uint32_t a) {
  TAVIK_ASSERT_RANGE(a < Q);
  rounding_power2round(a1, a0, a);
}

uint32_t Decompose(uint32_t *a0, uint32_t a) {
  TAVIK_ASSERT_RANGE(a < 64 * Q);
  return rounding_decompose(a0, a);
}

uint32_t HighBits(uint32_t a) {
  TAVIK_ASSERT_RANGE(a < 64 * Q);
  uint32_t low;
  return rounding_decompose(&low, a);
}

uint32_t Make_hint(uint32_t a, uint32_t b) {
  TAVIK_ASSERT_RANGE(a < 64 * Q && b < 64 * Q);
  return rounding_make_hint(a, b);
}

uint32_t Use_hint(uint32_t hint, uint32_t a) {
  TAVIK_ASSERT_RANGE(a < 64 * Q);
  return rounding_use_hint(hint, a);
}

void PolyVec_Power2Round(uint32_t *t1, uint32_t *t0, const uint32_t *t) { polyvec_power2round(t1, t0, t, K); }

void polyvec_power2round(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count) {
  kernels().power2round(t1, t0, t, count);
}

void PolyVec_decompose(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
  TAVIK_ASSERT_ALL(a, size_t(count) * N, x < 64 * Q);
  kernels().decompose(a1, a0, a, count);
}

void polyvec_highbits(uint32_t *a1, const uint32_t *a, uint32_t count) {
  TAVIK_ASSERT_ALL(a, size_t(count) * N, x < 64 * Q);
  kernels().highbits(a1, a, count);
}

uint32_t PolyVec_make_hint(uint32_t *h, const uint32_t *a, const uint32_t *b) {
  TAVIK_ASSERT_ALL(a, K * N, x < 64 * Q);
  TAVIK_ASSERT_ALL(b, K * N, x < 64 * Q);
  return kernels().make_hint(h, a, b);
}

void PolyVec_use_hint(uint32_t *out, const uint32_t *hint, const uint32_t *a) { polyvec_use_hint(out, hint, a, K); }

void polyvec_use_hint(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count) {
  TAVIK_ASSERT_ALL(a, count * N, x < 64 * Q);
  kernels().use_hint(out, hint, a, count);
}

uint32_t poly_candidate_check(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                              uint32_t e_bound) {
  TAVIK_ASSERT_ALL(v, N, x < 64 * Q);
  TAVIK_ASSERT_ALL(w1, N, x < 16);
  return kernels().candidate_check(v, e, w1, r0_bound, e_bound);
}

}  // namespace tavik
