// Power2Round, the 16-times-scaled Decompose, and hints; scalar rules and their vector forms.
#pragma once
#include <cstdint>

#include "params.h"

namespace tavik {

// a in [0, Q) -> a1 in [0, 511], a0 = Q + r with r in [-4095, 4096], a = a1 * 2^13 + r mod Q.
void Power2Round(uint32_t *a1, uint32_t *a0, uint32_t a);
// a below 64Q -> returns a1 in [0, 15]; *a0 = Q + r0 with r0 in [-2095616, 2095616], 16a = a1*Q + r0 mod 16Q.
uint32_t Decompose(uint32_t *a0, uint32_t a);
// The a1 of Decompose(a), nothing stored.
uint32_t HighBits(uint32_t a);
// 1 when HighBits(a) != HighBits(b), else 0.
uint32_t Make_hint(uint32_t a, uint32_t b);
// hint 0 -> HighBits(a); nonzero -> a1 + 1 when r0 > 0, else a1 - 1, both mod 16.
uint32_t Use_hint(uint32_t hint, uint32_t a);

// t (K polys, any 32-bit values) -> t1 in [0, 511], t0 = Q + r, r in [-4095, 4096]; no overlap
// between t1, t0 and t.
void PolyVec_Power2Round(uint32_t *t1, uint32_t *t0, const uint32_t *t);
// As PolyVec_Power2Round over count polynomials (a row of t at a time, say).
void polyvec_power2round(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
// Decompose of every coefficient of count polynomials, each below 64Q; a1 and a0 must not alias a.
void PolyVec_decompose(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
// The a1 of PolyVec_decompose alone, for callers that never read the low parts; a1 may alias a.
void polyvec_highbits(uint32_t *a1, const uint32_t *a, uint32_t count);
// h = Make_hint(a, b) over K polys below 64Q; returns the number of ones. h may be a or b.
uint32_t PolyVec_make_hint(uint32_t *h, const uint32_t *a, const uint32_t *b);
// out = Use_hint(hint, a) over K polys (a below 64Q); out may be hint or a.
void PolyVec_use_hint(uint32_t *out, const uint32_t *hint, const uint32_t *a);
// As PolyVec_use_hint over count polynomials (a row of w at a time, say).
void polyvec_use_hint(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
// One polynomial of a signing candidate, in one pass that reads every coefficient: nonzero when
// some coefficient of v (below 64Q) has a centred low part of at least r0_bound or a high part
// other than w1's, or some centred |e mod Q| reaches e_bound; 0 otherwise.
uint32_t poly_candidate_check(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                              uint32_t e_bound);

}  // namespace tavik
