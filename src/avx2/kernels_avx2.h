// The AVX2 kernels (files *_avx2.cpp, built for x86-64 only). Each has the contract of its field
// in kernels.h; reach them through kernels_of(Backend::avx2), which exists only where the
// processor runs them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

// ntt_avx2.cpp. forward_ntt_avx2 leaves every coefficient in [0, 12Q), for any 32-bit input.
void forward_ntt_avx2(uint32_t *p);
void inverse_ntt_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b);
void poly_inner_product_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                   const uint32_t *c, const uint32_t *d);

// polyvec_ops_avx2.cpp
void polyvec_add_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_sub_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_freeze_avx2(uint32_t *v, uint32_t count);
void polyvec_split_pair_avx2(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t polyvec_check_norm_avx2(const uint32_t *v, uint32_t count, uint32_t bound);

// rounding_avx2.cpp
void polyvec_power2round_avx2(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
void polyvec_decompose_avx2(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void polyvec_highbits_avx2(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t polyvec_make_hint_avx2(uint32_t *h, const uint32_t *a, const uint32_t *b);
void polyvec_use_hint_avx2(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
uint32_t poly_candidate_check_avx2(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                   uint32_t e_bound);

// challenge_avx2.cpp (128-bit vectors)
void challenge_shuffle_avx2(uint32_t *c, const uint8_t *positions, uint64_t signs);

// io_avx2.cpp
void pack_planes_avx2(uint8_t *out, const uint32_t *in, uint32_t cls);
void unpack_planes_avx2(uint32_t *out, const uint8_t *in, uint32_t cls);

// rej_avx2.cpp
uint32_t rej_uniform_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
uint32_t rej_eta_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
uint32_t rej_gamma1m1_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// fips202_avx2.cpp: the single-stream permutation with BMI1 and BMI2 (andn, rorx), which every
// processor of the vector paths has.
void keccak_permute_bmi(uint64_t s[25]);

// fips202x4_avx2.cpp
void keccak_permute4x_avx2(uint64_t s[100]);
// The four states on vector registers and the one beside them on general ones, rounds interleaved.
void keccak_permute4x1_avx2(uint64_t s[100], uint64_t t[25]);
void keccak_absorb4x_avx2(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                          const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccak_squeeze4x_avx2(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                           uint64_t nblocks, uint64_t s[100], size_t r);
void keccak_extract4x_avx2(uint8_t *const out[4], const uint64_t s[100]);
// Eight interleaved states on pairs of 256-bit registers, and the first 168 bytes of each.
void keccak_permute8x_avx2(uint64_t s[200]);
// The eight states, then a ninth beside them in turn: with two registers a lane, the eight leave
// no room to interleave a ninth.
void keccak_permute8x1_avx2(uint64_t s[200], uint64_t t[25]);
void keccak_extract8x_avx2(uint8_t *const out[8], const uint64_t s[200]);

}  // namespace tavik
