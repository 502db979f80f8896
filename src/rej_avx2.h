// AVX2 rejection steps of the three samplers, eight candidates per register. Each returns the
// count of its scalar twin in Polynomial.h and writes the same out[0 .. count); out[count ..
// needed) may be overwritten with discarded values, nothing at or beyond out[needed] is touched.
// Call these only when backend_available(Backend::avx2) is true.
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_REJ_AVX2 1
#endif

namespace tavik {

#if TAVIK_REJ_AVX2
// As rej_uniform: 3-byte little-endian candidates of buf[0..len), those up to 4Q - 1 kept as
// f mod Q in [0, Q); at most `needed` (any value) are written. Returns how many.
uint32_t rej_uniform_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
// As rej_eta: bits 0-2, then bits 5-7 of each byte of buf[0..len); t <= 2 * eta gives
// Q + eta - t (any eta, 32-bit wrap as in rej_eta). Returns how many were written (<= needed).
uint32_t rej_eta_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len, uint32_t eta);
// As rej_gamma1m1: two 20-bit candidates per 5-byte group of buf[0..len), accepted up to 1047804,
// folded, written as Q + y with y in [-261951, 261951]. Returns how many (<= needed; any needed).
uint32_t rej_gamma1m1_avx2(uint32_t *out, uint32_t needed, const uint8_t *buf, uint32_t len);
#endif

}  // namespace tavik
