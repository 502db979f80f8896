// The portable kernels, for every processor; the definition the vector paths are checked
// against. Each has the contract of its field in kernels.h. Some carry the names the scheme gives
// them (the transforms, the rejection steps, the twiddle tables); Polynomial.h includes this
// header for those.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

// ntt_scalar.cpp
// Twiddles: zetas[k] = MONT * r^br(k) mod Q for k in 1..255 (r = 2225); zetas[0] = 0 unused.
extern const uint32_t zetas[256];
// zetas_inv[k] = Q - zetas[255 - k] for k in 0..254; zetas_inv[255] = 0 unused.
extern const uint32_t zetas_inv[256];
// In place, ordinary form -> NTT form; inputs below B leave outputs below B + 16Q (no reduction).
void forward_ntt(uint32_t *p);
// out = a * b (negacyclic), a and b NTT form below 18Q; out ordinary form in [0, 2Q). out may be
// a or b; no other overlap.
void inverse_ntt(uint32_t *out, const uint32_t *a, const uint32_t *b);
void poly_inner_product_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                     const uint32_t *c, const uint32_t *d);

// polyvec_scalar.cpp
void polyvec_add_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_sub_scalar(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_freeze_scalar(uint32_t *v, uint32_t count);
void polyvec_split_pair_scalar(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t polyvec_check_norm_scalar(const uint32_t *v, uint32_t count, uint32_t bound);
void challenge_shuffle_scalar(uint32_t *c, const uint8_t *positions, uint64_t signs);

// rounding_scalar.cpp
void polyvec_power2round_scalar(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
void polyvec_decompose_scalar(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void polyvec_highbits_scalar(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t polyvec_make_hint_scalar(uint32_t *h, const uint32_t *a, const uint32_t *b);
void polyvec_use_hint_scalar(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
uint32_t poly_candidate_check_scalar(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                     uint32_t e_bound);

// planes_scalar.cpp
void pack_planes_scalar(uint8_t *out, const uint32_t *in, uint32_t cls);
void unpack_planes_scalar(uint32_t *out, const uint8_t *in, uint32_t cls);

// rej_scalar.cpp
// Matrix candidates: 3-byte little-endian values of buf[0..len); values up to 4Q - 1 give f mod Q.
// Writes at most `needed` coefficients to out, returns how many.
uint32_t rej_uniform(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
// Secret candidates: bits 0-2, then bits 5-7 of each byte of buf[0..len); a value t <= 2 * eta gives
// Q + eta - t. Writes at most `needed` coefficients to out, returns how many. Feeding a stream in
// consecutive pieces fills the same coefficients as feeding it whole.
uint32_t rej_eta(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
// Rejection step of the masking sampler: reads 5-byte groups of buf[0..len), writes at most
// `needed` (>= 1) coefficients to out, returns how many.
uint32_t rej_gamma1m1(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// keccak_scalar.cpp: the single-state permutation and the four-state kernels.
void keccak_permute_scalar(uint64_t s[25]);
void keccak_permute4x_scalar(uint64_t s[100]);
void keccak_permute4x1_scalar(uint64_t s[100], uint64_t t[25]);
void keccak_absorb4x_scalar(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccak_squeeze4x_scalar(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                             uint64_t nblocks, uint64_t s[100], size_t r);
void keccak_extract4x_scalar(uint8_t *const out[4], const uint64_t s[100]);
// Eight interleaved states, each in place at stride 8, and the first 168 bytes of each.
void keccak_permute8x_scalar(uint64_t s[200]);
void keccak_permute8x1_scalar(uint64_t s[200], uint64_t t[25]);
void keccak_extract8x_scalar(uint8_t *const out[8], const uint64_t s[200]);

}  // namespace tavik
