// AVX2 kernels of the transform and of the products of PolyVec_mult. They read and write the
// NTT form in exactly the positions of forward_ntt / inverse_ntt (position i holds the value at
// r^(2*br(i)+1)), so an operand transformed by either path, or sampled directly in NTT form, is
// read the same way by both. Only the representatives differ: every result below is congruent
// modulo Q to the scalar one and lies in the range stated, which is what the callers rely on.
// Call these only when backend_available(Backend::avx2) is true.
#pragma once
#include <cstdint>

namespace tavik {

// In place, ordinary form -> NTT form, same positions as forward_ntt.
// Input: any 32-bit values. Output: congruent to forward_ntt's, every coefficient in [0, 12Q).
void forward_ntt_avx2(uint32_t *p);

// out = a * b (negacyclic), like inverse_ntt: a and b in NTT form, every coefficient below 18Q;
// out in ordinary form, congruent to inverse_ntt's result, every coefficient in [0, 2Q).
// out may be the same array as a or b; no other overlap.
void inverse_ntt_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b);

// out = sum over i < count of a[i] * b[i] (negacyclic), a and b vectors of count polynomials in
// NTT form, every coefficient below 18Q. The products are summed in the NTT domain and
// transformed back once. out: ordinary form, congruent to the inner product of PolyVec_mult,
// every coefficient in [0, 2Q) (count 0 gives the zero polynomial). out may be the same array
// as one polynomial of a or b; no other overlap.
void poly_inner_product_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);

// As poly_inner_product_avx2, minus the product c * d (c, d single polynomials in NTT form below
// 18Q), still with one inverse transform: out congruent to the inner product minus c * d, every
// coefficient in [0, 2Q). out may be the same array as one input polynomial; no other overlap.
void poly_inner_product_minus_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                   const uint32_t *c, const uint32_t *d);

}  // namespace tavik
