// The vector rounding loops of rounding_rules.h, compiled with AVX2: eight coefficients a step.
#include "kernels_avx2.h"


#include "rounding_rules.h"

namespace tavik {

// t: K polys of any 32-bit values -> t1 in [0, 511], t0 = Q + r. No aliasing.
void PolyVec_Power2Round_avx2(uint32_t *t1, uint32_t *t0, const uint32_t *t) { power2round_loop(t1, t0, t); }

// a: count polys below 64Q -> a1 in [0, 15], a0 = Q + r0; a1 and a0 must not alias a.
void PolyVec_decompose_avx2(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
  decompose_loop(a1, a0, a, count);
}

// a: count polys below 64Q -> a1 in [0, 15]; a1 may alias a.
void PolyVec_highbits_avx2(uint32_t *a1, const uint32_t *a, uint32_t count) { highbits_loop(a1, a, count); }

// a, b: K polys below 64Q -> h in {0, 1}; returns the number of ones. h may alias a or b.
uint32_t PolyVec_make_hint_avx2(uint32_t *h, const uint32_t *a, const uint32_t *b) { return make_hint_loop(h, a, b); }

// hint: K polys, a: K polys below 64Q -> out in [0, 15]. out may alias either input.
void PolyVec_use_hint_avx2(uint32_t *out, const uint32_t *hint, const uint32_t *a) { use_hint_loop(out, hint, a); }

}  // namespace tavik

