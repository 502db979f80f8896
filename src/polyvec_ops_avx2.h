// AVX2 builds of the element-wise vector operations: the loops of polyvec_ops_impl.h compiled
// for eight 32-bit lanes. Same contracts and results as the PolyVec_ functions of the same
// names in Polynomial.h. (Copying and comparing gain nothing from AVX2 and have no build here.)
// Call these only when backend_available(Backend::avx2) is true.
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_POLYVEC_OPS_AVX2 1
#endif

namespace tavik {

#if TAVIK_POLYVEC_OPS_AVX2
// out = a + b, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_add_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
// out = a - b + 2Q, 32-bit wrap, no reduction; out may be a or b.
void PolyVec_sub_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count);
// Any 32-bit value -> canonical residue in [0, Q), in place.
void PolyVec_freeze_avx2(uint32_t *v, uint32_t count);
// 1 if some coefficient's centred |x mod Q| (in [0, 2095616]) is >= bound, else 0.
int32_t PolyVec_check_norm_avx2(const uint32_t *v, uint32_t count, uint32_t bound);
#endif

}  // namespace tavik
