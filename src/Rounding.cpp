// Power2Round, the 16-times-scaled Decompose and the hints, scalar and over whole vectors. The
// rules themselves are in rounding_rules.h; the vector forms run its loops compiled for AVX2
// (rounding_avx2.cpp) on the vector paths (avx2 and avx512 share it) and the copy compiled here
// on the scalar path.
#include "Rounding.h"

#include "cpu.h"
#include "rounding_avx2.h"
#include "rounding_rules.h"

namespace tavik {

// a in [0, Q) -> a1 in [0, 511], a0 = Q + r with r in [-4095, 4096], a = a1 * 2^13 + r mod Q.
void Power2Round(uint32_t *a1, uint32_t *a0, uint32_t a) { power2round(a1, a0, a); }

// a below 64Q -> a1 in [0, 15], *a0 = Q + r0 with r0 in [-2095616, 2095616].
uint32_t Decompose(uint32_t *a0, uint32_t a) { return decompose(a0, a); }

// a below 64Q -> the a1 of Decompose(a).
uint32_t HighBits(uint32_t a) {
  uint32_t low;
  return decompose(&low, a);
}

// a, b below 64Q -> 1 when their high parts differ, else 0.
uint32_t Make_hint(uint32_t a, uint32_t b) { return make_hint(a, b); }

// a below 64Q, any hint (nonzero counts as 1) -> corrected high part in [0, 15].
uint32_t Use_hint(uint32_t hint, uint32_t a) { return use_hint(hint, a); }

// t: K polys of any 32-bit values -> t1 in [0, 511], t0 = Q + r, r in [-4095, 4096]. No aliasing.
void PolyVec_Power2Round(uint32_t *t1, uint32_t *t0, const uint32_t *t) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) {
    PolyVec_Power2Round_avx2(t1, t0, t);
    return;
  }
#endif
  power2round_loop(t1, t0, t);
}

// a: count polys below 64Q -> a1 in [0, 15], a0 = Q + r0; a1 and a0 must not alias a.
void PolyVec_decompose(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) {
    PolyVec_decompose_avx2(a1, a0, a, count);
    return;
  }
#endif
  decompose_loop(a1, a0, a, count);
}

// a: count polys below 64Q -> a1 in [0, 15]; a1 may alias a.
void PolyVec_highbits(uint32_t *a1, const uint32_t *a, uint32_t count) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) {
    PolyVec_highbits_avx2(a1, a, count);
    return;
  }
#endif
  highbits_loop(a1, a, count);
}

// a, b: K polys below 64Q -> h in {0, 1}; returns the number of ones. h may alias a or b.
uint32_t PolyVec_make_hint(uint32_t *h, const uint32_t *a, const uint32_t *b) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) return PolyVec_make_hint_avx2(h, a, b);
#endif
  return make_hint_loop(h, a, b);
}

// hint: K polys (nonzero = 1), a: K polys below 64Q -> out in [0, 15]. out may alias either input.
void PolyVec_use_hint(uint32_t *out, const uint32_t *hint, const uint32_t *a) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) {
    PolyVec_use_hint_avx2(out, hint, a);
    return;
  }
#endif
  use_hint_loop(out, hint, a);
}

// One polynomial of a signing candidate: nonzero when it fails.
uint32_t Poly_candidate_check(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                              uint32_t e_bound) {
#if TAVIK_ROUNDING_AVX2
  if (active_backend() != Backend::scalar) return Poly_candidate_check_avx2(v, e, w1, r0_bound, e_bound);
#endif
  return candidate_check_loop(v, e, w1, r0_bound, e_bound);
}

}  // namespace tavik
