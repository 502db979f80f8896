// The portable kernels, for every processor. Each has the contract of its field in kernels.h.
// forward_ntt, inverse_ntt and the rej_ steps, named by the scheme, are declared in
// Polynomial.h; pack_planes_scalar and unpack_planes_scalar in io.h.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

// Polynomial.cpp
void poly_inner_product_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                     const uint32_t *c, const uint32_t *d);
void PolyVec_add_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void PolyVec_sub_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void PolyVec_freeze_scalar(uint32_t *v, uint32_t count);
void PolyVec_split_pair_scalar(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t PolyVec_check_norm_scalar(const uint32_t *v, uint32_t count, uint32_t bound);
void challenge_shuffle_scalar(uint32_t *c, const uint8_t *positions, uint64_t signs);

// Rounding.cpp
void PolyVec_Power2Round_scalar(uint32_t *t1, uint32_t *t0, const uint32_t *t);
void PolyVec_decompose_scalar(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void PolyVec_highbits_scalar(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t PolyVec_make_hint_scalar(uint32_t *h, const uint32_t *a, const uint32_t *b);
void PolyVec_use_hint_scalar(uint32_t *out, const uint32_t *hint, const uint32_t *a);
uint32_t Poly_candidate_check_scalar(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                     uint32_t e_bound);

// fips202.cpp
void KeccakF1600_StatePermute_portable(uint64_t state[25]);

// fips202x4.cpp: each stream in turn through the single-stream Keccak of fips202.h.
void KeccakF1600_StatePermute4x_portable(uint64_t s[100]);
void keccakx4_absorb_portable(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                              const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccakx4_squeezeblocks_portable(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, uint64_t s[100], size_t r);
void keccakx4_extract_portable(uint8_t *const out[4], const uint64_t s[100]);

}  // namespace tavik
