// The NEON kernels of aarch64 (files *_neon.cpp, built for aarch64 only). Each has the contract of
// its field in kernels.h; reach them through kernels_of(Backend::neon), which exists only where
// the processor runs them. The Keccak kernels come twice: with NEON alone (suffix _neon) and with
// the SHA-3 instructions EOR3, RAX1, XAR and BCAX (suffix _sha3, file keccak_sha3_neon.cpp, built
// for ARMv8.2-A with SHA-3 and called only where the processor reports them).
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

// ntt_neon.cpp: the transforms and products, four coefficients a register. Their results equal
// those of the scalar kernels value for value (the same Montgomery reduction, lane by lane).
void forward_ntt_neon(uint32_t *p);
void inverse_ntt_neon(uint32_t *out, const uint32_t *a, const uint32_t *b);
void poly_inner_product_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void poly_inner_product_minus_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                   const uint32_t *c, const uint32_t *d);

// polyvec_ops_neon.cpp, rounding_neon.cpp: the element-wise loops of the rules, vectorised.
void polyvec_add_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_sub_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
void polyvec_freeze_neon(uint32_t *v, uint32_t count);
void polyvec_split_pair_neon(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count);
int32_t polyvec_check_norm_neon(const uint32_t *v, uint32_t count, uint32_t bound);
void polyvec_power2round_neon(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count);
void polyvec_decompose_neon(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count);
void polyvec_highbits_neon(uint32_t *a1, const uint32_t *a, uint32_t count);
uint32_t polyvec_make_hint_neon(uint32_t *h, const uint32_t *a, const uint32_t *b);
void polyvec_use_hint_neon(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count);
uint32_t poly_candidate_check_neon(const uint32_t *v, const uint32_t *e, const uint32_t *w1, uint32_t r0_bound,
                                   uint32_t e_bound);

// planes_neon.cpp: the bit-plane codec, two groups of eight coefficients a step.
void pack_planes_neon(uint8_t *out, const uint32_t *in, uint32_t cls);
void unpack_planes_neon(uint32_t *out, const uint8_t *in, uint32_t cls);

// rej_neon.cpp: the rejection steps, eight candidates a round.
uint32_t rej_uniform_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
uint32_t rej_eta_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
uint32_t rej_gamma1m1_neon(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// keccak_neon.cpp / keccak_sha3_neon.cpp: two states in the two 64-bit halves of each register;
// four and eight interleaved states as two and four such pairs (lanes i of states 2m and 2m + 1
// are adjacent words). The single state: the general registers (and-not and rotation are single
// instructions there) on NEON alone, one half of the registers with SHA-3.
#define TAVIK_NEON_KECCAK_DECLS(sfx)                                                              \
  void keccak_permute_##sfx(uint64_t s[25]);                                                     \
  void keccak_permute4x_##sfx(uint64_t s[100]);                                                  \
  void keccak_permute4x1_##sfx(uint64_t s[100], uint64_t t[25]);                                 \
  void keccak_absorb4x_##sfx(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,  \
                             const uint8_t *in2, const uint8_t *in3, uint64_t inlen);            \
  void keccak_squeeze4x_##sfx(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,        \
                              uint64_t nblocks, uint64_t s[100], size_t r);                      \
  void keccak_extract4x_##sfx(uint8_t *const out[4], const uint64_t *s);                         \
  void keccak_permute8x_##sfx(uint64_t s[200]);                                                  \
  void keccak_permute8x1_##sfx(uint64_t s[200], uint64_t t[25]);                                 \
  void keccak_extract8x_##sfx(uint8_t *const out[8], const uint64_t *s)
TAVIK_NEON_KECCAK_DECLS(neon);
TAVIK_NEON_KECCAK_DECLS(sha3);
#undef TAVIK_NEON_KECCAK_DECLS

}  // namespace tavik
