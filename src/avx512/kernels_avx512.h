// The AVX-512 kernels (files *_avx512.cpp, built for x86-64 only). Each has the contract of its
// field in kernels.h; reach them through kernels_of(Backend::avx512), which exists only where the
// processor runs them. The avx512 table takes the AVX2 kernels for what has no form here yet.
#pragma once
#include <cstddef>
#include <cstdint>

#include "avx512/zmm.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {

// fips202x4_avx512.cpp: the single-stream permutation with AVX-512VL (one lane per 128-bit
// register, vprolq and ternary logic).
void keccak_permute_avx512(uint64_t s[25]);
// Four interleaved states on 256-bit registers (AVX-512VL).
void keccak_permute4x_avx512(uint64_t s[100]);
void keccak_absorb4x_avx512(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccak_squeeze4x_avx512(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                             uint64_t nblocks, uint64_t s[100], size_t r);
void keccak_extract4x_avx512(uint8_t *const out[4], const uint64_t s[100]);
// Keccak-f[1600] on eight states interleaved lane by lane (lane i of state j at s[8*i + j]) on
// 512-bit registers, and the first 168 bytes of each state.
void keccak_permute8x_avx512(uint64_t s[200]);
void keccak_extract8x_avx512(uint8_t *const out[8], const uint64_t s[200]);

// rej_avx512.cpp: the samplers' rejection steps, sixteen candidates per round, the accepted ones
// packed by a compress; same contracts as the rej_* fields of Kernels.
uint32_t rej_uniform_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
uint32_t rej_eta_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
uint32_t rej_gamma1m1_avx512(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);

// io_avx512.cpp: the bit-plane codec, two groups of 8 coefficients per register; same contracts
// as the pack_planes and unpack_planes fields of Kernels.
void pack_planes_avx512(uint8_t *out, const uint32_t *in, uint32_t cls);
void unpack_planes_avx512(uint32_t *out, const uint8_t *in, uint32_t cls);

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
