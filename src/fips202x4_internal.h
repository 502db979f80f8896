// The two implementations behind fips202x4.h, callable directly so that each can be checked
// against the single-stream SHAKE whatever path the process selected.
#pragma once
#include <cstddef>
#include <cstdint>

#include "fips202x4.h"

#if defined(__x86_64__)
#define TAVIK_FIPS202X4_AVX2 1
#define TAVIK_FIPS202X4_AVX512 1
#endif

namespace tavik {

// Portable path, for any processor: de-interleaves and permutes each stream with the
// single-stream permutation.
void KeccakF1600_StatePermute4x_portable(uint64_t s[100]);
// Absorbs four inputs of inlen bytes with rate r (168 or 136) and the 0x1F domain byte.
void keccakx4_absorb_portable(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                              const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
// Writes the first 168 bytes (21 lanes) of each of the four states to out + 168 * j.
void keccakx4_extract_portable(uint8_t *out, const uint64_t s[100]);
// Squeezes nblocks blocks of r bytes (168 or 136) into each output.
void keccakx4_squeezeblocks_portable(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                     uint64_t nblocks, uint64_t s[100], size_t r);

#if TAVIK_FIPS202X4_AVX2
// AVX2 path: only to be called when backend_available(Backend::avx2) is true. Same contracts
// as the portable twins above.
void KeccakF1600_StatePermute4x_avx2(uint64_t s[100]);
void keccakx4_absorb_avx2(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                          const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccakx4_squeezeblocks_avx2(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                 uint64_t nblocks, uint64_t s[100], size_t r);
// Writes the first 168 bytes (21 lanes) of each of the four states to out + 168 * j.
void keccakx4_extract_avx2(uint8_t *out, const uint64_t s[100]);
#endif

#if TAVIK_FIPS202X4_AVX512
// AVX-512 path (AVX-512F and VL on 256-bit registers): only to be called when
// backend_available(Backend::avx512) is true. Same contracts as the portable twins above.
void KeccakF1600_StatePermute4x_avx512(uint64_t s[100]);
void keccakx4_absorb_avx512(uint64_t s[100], size_t r, const uint8_t *in0, const uint8_t *in1,
                            const uint8_t *in2, const uint8_t *in3, uint64_t inlen);
void keccakx4_squeezeblocks_avx512(uint8_t *out0, uint8_t *out1, uint8_t *out2, uint8_t *out3,
                                   uint64_t nblocks, uint64_t s[100], size_t r);
// Keccak-f[1600] on eight states interleaved lane by lane (lane i of state j at s[8*i + j]) on
// 512-bit registers.
void KeccakF1600_StatePermute8x_avx512(uint64_t s[200]);
// Writes the first 168 bytes (21 lanes) of each of the four / eight states to out + 168 * j.
void keccakx4_extract_avx512(uint8_t *out, const uint64_t s[100]);
void keccakx8_extract_avx512(uint8_t *out, const uint64_t s[200]);
#endif

}  // namespace tavik
