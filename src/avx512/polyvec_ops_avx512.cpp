// The element-wise loops of polyvec_ops_impl.h compiled for AVX-512 with 512-bit vectors
// preferred (sixteen lanes per register). Contracts: the fields of kernels.h.
#include "avx512/kernels_avx512.h"

#include <cstddef>

#include "params.h"
#include "rules/polyvec_ops_impl.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {

void polyvec_add_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  add_loop(out, a, b, size_t(count) * N);
}

void polyvec_sub_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  sub_loop(out, a, b, size_t(count) * N);
}

void polyvec_freeze_avx512(uint32_t *v, uint32_t count) { freeze_loop(v, size_t(count) * N); }

void polyvec_split_pair_avx512(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count) {
  split_pair_loop(lo, hi, x, shift, size_t(count) * N);
}

int32_t polyvec_check_norm_avx512(const uint32_t *v, uint32_t count, uint32_t bound) {
  return check_norm_loop(v, size_t(count) * N, bound);
}

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
