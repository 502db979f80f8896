// AVX2 forms of the bit-plane codec: the same bytes and coefficients as compress_scalar and
// decompress_scalar for every input. Call these only when backend_available(Backend::avx2).
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_IO_AVX2 1
#endif

namespace tavik {

#if TAVIK_IO_AVX2
// As compress: 256 coefficients -> 32 * W bytes of class cls (0..5; any other writes nothing).
void compress_avx2(uint8_t *out, const uint32_t *in, uint32_t cls);
// As decompress: 32 * W bytes of class cls (0..5; any other writes nothing) -> 256 coefficients.
void decompress_avx2(uint32_t *out, const uint8_t *in, uint32_t cls);
#endif

}  // namespace tavik
