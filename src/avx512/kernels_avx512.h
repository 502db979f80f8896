// The AVX-512 kernels (files *_avx512.cpp, built for x86-64 only). Each has the contract of its
// field in kernels.h; reach them through kernels_of(Backend::avx512), which exists only where the
// processor runs them. The avx512 path has two tables, both made by avx512_table below: its
// Keccak kernels with the AVX2 arithmetic, for processors that run 512-bit operations as two
// halves, and its Keccak kernels with its 512-bit arithmetic; the path's choice measures both.
#pragma once
#include <cstddef>
#include <cstdint>

#include "avx512/zmm.h"
#include "cpu.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {

// polyvec_ops_avx512.cpp and rounding_avx512.cpp: the element-wise and rounding loops that the
// AVX2 files compile, here compiled with 512-bit vectors.
void polyvec_add_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_sub_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_freeze_avx512(uint32_t *v, uint32_t count);
void polyvec_split_pair_avx512(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t polyvec_check_norm_avx512(const uint32_t *v, uint32_t count, uint32_t bound);
void polyvec_power2round_avx512(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
void polyvec_decompose_avx512(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void polyvec_highbits_avx512(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t polyvec_make_hint_avx512(uint32_t *h, const uint32_t *a, const uint32_t *b);
void polyvec_use_hint_avx512(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
uint32_t poly_candidate_check_avx512(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                     uint32_t e_bound);

// fips202x4_avx512.cpp: the single-stream permutation with AVX-512VL (one lane per 128-bit
// register, vprolq and ternary logic).
void keccak_permute_avx512(uint64_t s[25]);
// Four interleaved states on 256-bit registers (AVX-512VL).
void keccak_permute4x_avx512(uint64_t s[100]);
// The four states with a fifth beside them on general registers, their rounds interleaved so
// that the vector and the integer units overlap (on vector registers too, the fifth would spill).
void keccak_permute4x1_avx512(uint64_t s[100], uint64_t t[25]);
void keccak_absorb4x_avx512(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccak_squeeze4x_avx512(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                             uint64_t nblocks, uint64_t s[100], size_t r);
void keccak_extract4x_avx512(uint8_t *const out[4], const uint64_t s[100]);
// Keccak-f[1600] on eight states interleaved lane by lane (lane i of state j at s[8*i + j]) on
// 512-bit registers, and the first 168 bytes of each state.
void keccak_permute8x_avx512(uint64_t s[200]);
// The eight states with a ninth beside them on general registers, rounds interleaved (a ninth
// on vector registers would spill): 1,160 ticks against 990 + 655 in turn on a processor with
// full-width 512-bit units.
void keccak_permute8x1_avx512(uint64_t s[200], uint64_t t[25]);
void keccak_extract8x_avx512(uint8_t *const out[8], const uint64_t s[200]);

// ntt_avx512.cpp: the transforms and products on sixteen coefficients per register, with the
// arithmetic and ranges of the AVX2 ones. forward_ntt_avx512 leaves every coefficient in
// [0, 12Q), for any 32-bit input.
void forward_ntt_avx512(uint32_t *p);
void inverse_ntt_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b);
void poly_inner_product_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                     const uint32_t *c, const uint32_t *d);

// rej_avx512.cpp: the samplers' rejection steps, sixteen candidates per round, the accepted ones
// packed by a compress; same contracts as the rej_* fields of Kernels.
uint32_t rej_uniform_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
uint32_t rej_eta_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
uint32_t rej_gamma1m1_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// io_avx512.cpp: the bit-plane codec, two groups of 8 coefficients per register; same contracts
// as the pack_planes and unpack_planes fields of Kernels.
void pack_planes_avx512(uint8_t *out, const uint32_t *in, uint32_t cls);
void unpack_planes_avx512(uint32_t *out, const uint8_t *in, uint32_t cls);

// The avx512 path's table over `base` (the AVX2 table; Table is the struct Kernels of kernels.h,
// left a parameter so that this header need not include the dispatch point that includes it): the
// Keccak kernels of this file always, and with bits == 512 (else 256) the 512-bit arithmetic as well.
template <class Table>
constexpr Table avx512_table(Table base, uint32_t bits) {
  Table k = base;
  k.permute = keccak_permute_avx512;
  k.permute4x = keccak_permute4x_avx512;
  k.permute4x1 = keccak_permute4x1_avx512;
  k.absorb4x = keccak_absorb4x_avx512;
  k.squeeze4x = keccak_squeeze4x_avx512;
  k.extract4x = keccak_extract4x_avx512;
  k.permute8x = keccak_permute8x_avx512;
  k.permute8x1 = keccak_permute8x1_avx512;
  k.extract8x = keccak_extract8x_avx512;
  // Measured on a processor that splits 512-bit operations in two (Zen 4), where four lanes are
  // kept: one-shot verification 38,700 to 39,200 ticks with the public key's and the message's
  // hashes in the expansion's lanes against 39,300 to 40,000 with them beside the rows (the avx2
  // path there: 53,300 against 50,900, so it keeps them beside).
  k.side_hashes_in_lanes = true;
  k.path = tavik::Backend::avx512;
  if (bits != 512) return k;
  k.forward_ntt = forward_ntt_avx512;
  k.inverse_ntt = inverse_ntt_avx512;
  k.inner_product = poly_inner_product_avx512;
  k.inner_product_minus = poly_inner_product_minus_avx512;
  k.add = polyvec_add_avx512;
  k.sub = polyvec_sub_avx512;
  k.freeze = polyvec_freeze_avx512;
  k.split_pair = polyvec_split_pair_avx512;
  k.check_norm = polyvec_check_norm_avx512;
  k.power2round = polyvec_power2round_avx512;
  k.decompose = polyvec_decompose_avx512;
  k.highbits = polyvec_highbits_avx512;
  k.make_hint = polyvec_make_hint_avx512;
  k.use_hint = polyvec_use_hint_avx512;
  k.candidate_check = poly_candidate_check_avx512;
  k.pack_planes = pack_planes_avx512;
  k.unpack_planes = unpack_planes_avx512;
  k.rej_uniform = rej_uniform_avx512;
  k.rej_eta = rej_eta_avx512;
  k.rej_gamma1m1 = rej_gamma1m1_avx512;
  return k;
}

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
