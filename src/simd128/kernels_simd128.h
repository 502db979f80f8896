// The WebAssembly SIMD kernels (files *_simd128.cpp, built only for wasm32 with -msimd128). Each
// has the contract of its field in kernels.h; reach them through kernels_of(Backend::simd128),
// which exists only in such a build. The table is made by simd128_table below, so that the suites
// can check the same kernels compiled over portable intrinsics (v128.h) on any processor.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.h"

namespace tavik {

// ntt_simd128.cpp: the transforms and products, four coefficients a register. Their results are
// those of the scalar kernels modulo Q, within the same bounds (multiplications by a twiddle use
// Shoup's method rather than the Montgomery reduction, so the values themselves may differ).
void forward_ntt_simd128(uint32_t *p);
void inverse_ntt_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b);
void poly_inner_product_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                      const uint32_t *c, const uint32_t *d);

// rounding_simd128.cpp: the element-wise and rounding loops, vectorised by the compiler on request.
void polyvec_add_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_sub_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_freeze_simd128(uint32_t *v, uint32_t count);
void polyvec_split_pair_simd128(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t polyvec_check_norm_simd128(const uint32_t *v, uint32_t count, uint32_t bound);
void polyvec_power2round_simd128(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
void polyvec_decompose_simd128(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void polyvec_highbits_simd128(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t polyvec_make_hint_simd128(uint32_t *h, const uint32_t *a, const uint32_t *b);
void polyvec_use_hint_simd128(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
uint32_t poly_candidate_check_simd128(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                      uint32_t e_bound);

// rej_simd128.cpp: the rejection steps, eight candidates a round.
uint32_t rej_uniform_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
uint32_t rej_eta_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
uint32_t rej_gamma1m1_simd128(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// planes_simd128.cpp: the bit-plane packer, two groups of eight coefficients a step.
void pack_planes_simd128(uint8_t *out, const uint32_t *in, uint32_t cls);

// keccak_simd128.cpp: two states in the two 64-bit halves of each register; four and eight
// interleaved states as two and four such pairs (lanes i of states 2m and 2m + 1 are adjacent
// words). The single state stays on 64-bit integers, which rotate in one instruction.
void keccak_permute4x_simd128(uint64_t s[100]);
void keccak_permute4x1_simd128(uint64_t s[100], uint64_t t[25]);
void keccak_absorb4x_simd128(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                             const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccak_squeeze4x_simd128(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3, uint64_t nblocks,
                              uint64_t s[100], size_t r);
void keccak_extract4x_simd128(uint8_t *const out[4], const uint64_t *s);
void keccak_permute8x_simd128(uint64_t s[200]);
void keccak_permute8x1_simd128(uint64_t s[200], uint64_t t[25]);
void keccak_extract8x_simd128(uint8_t *const out[8], const uint64_t *s);

// The simd128 path's table over `base` (the scalar table; Table is the struct Kernels of
// kernels.h, left a parameter so that this header need not include the dispatch point that
// includes it): the kernels of this folder where they pay, the scalar ones elsewhere (the
// single-state permutation, which rotates in one 64-bit instruction; the challenge's shuffle and
// the unpacker, small parts of the work).
template <class Table>
constexpr Table simd128_table(Table base) {
  Table k = base;
  k.forward_ntt = forward_ntt_simd128;
  k.inverse_ntt = inverse_ntt_simd128;
  k.inner_product = poly_inner_product_simd128;
  k.inner_product_minus = poly_inner_product_minus_simd128;
  k.add = polyvec_add_simd128;
  k.sub = polyvec_sub_simd128;
  k.freeze = polyvec_freeze_simd128;
  k.split_pair = polyvec_split_pair_simd128;
  k.check_norm = polyvec_check_norm_simd128;
  k.power2round = polyvec_power2round_simd128;
  k.decompose = polyvec_decompose_simd128;
  k.highbits = polyvec_highbits_simd128;
  k.make_hint = polyvec_make_hint_simd128;
  k.use_hint = polyvec_use_hint_simd128;
  k.candidate_check = poly_candidate_check_simd128;
  k.pack_planes = pack_planes_simd128;
  k.rej_uniform = rej_uniform_simd128;
  k.rej_eta = rej_eta_simd128;
  k.rej_gamma1m1 = rej_gamma1m1_simd128;
  k.permute4x = keccak_permute4x_simd128;
  k.permute4x1 = keccak_permute4x1_simd128;
  k.absorb4x = keccak_absorb4x_simd128;
  k.squeeze4x = keccak_squeeze4x_simd128;
  k.extract4x = keccak_extract4x_simd128;
  k.permute8x = keccak_permute8x_simd128;
  k.permute8x1 = keccak_permute8x1_simd128;
  k.extract8x = keccak_extract8x_simd128;
  k.four_streams = true;
  k.side_hashes_in_lanes = false;
  k.path = Backend::simd128;
  return k;
}

}  // namespace tavik
