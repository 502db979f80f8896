// The vector rounding loops compiled for AVX2: the same results as the scalar path for every
// input. Call these only when backend_available(Backend::avx2).
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_ROUNDING_AVX2 1
#endif

namespace tavik {

#if TAVIK_ROUNDING_AVX2
// As PolyVec_Power2Round: t (K polys, any 32-bit values) -> t1 in [0, 511], t0 = Q + r.
void PolyVec_Power2Round_avx2(uint32_t *t1, uint32_t *t0, const uint32_t *t);
// As PolyVec_decompose: count polys below 64Q -> a1 in [0, 15], a0 = Q + r0; no aliasing with a.
void PolyVec_decompose_avx2(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
// As PolyVec_highbits: count polys below 64Q -> a1 in [0, 15]; a1 may alias a.
void PolyVec_highbits_avx2(uint32_t *a1, const uint32_t *a, uint32_t count);
// As PolyVec_make_hint: K polys below 64Q -> h in {0, 1}; returns the number of ones.
uint32_t PolyVec_make_hint_avx2(uint32_t *h, const uint32_t *a, const uint32_t *b);
// As PolyVec_use_hint: K polys -> out in [0, 15]; out may alias either input.
void PolyVec_use_hint_avx2(uint32_t *out, const uint32_t *hint, const uint32_t *a);
// As Poly_candidate_check: nonzero when the candidate (v, e) of one polynomial fails.
uint32_t Poly_candidate_check_avx2(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                   uint32_t e_bound);
#endif

}  // namespace tavik
