// The element-wise loops of polyvec_ops_impl.h, compiled with WebAssembly SIMD (four lanes a
// register, which the compiler's vectoriser fills from the plain loops).
#include <cstddef>

#include "params.h"
#include "rules/polyvec_ops_impl.h"
#include "simd128/kernels_simd128.h"

namespace tavik {

void polyvec_add_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  add_loop(out, a, b, size_t(count) * N);
}

void polyvec_sub_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  sub_loop(out, a, b, size_t(count) * N);
}

void polyvec_freeze_simd128(uint32_t *v, uint32_t count) { freeze_loop(v, size_t(count) * N); }

void polyvec_split_pair_simd128(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count) {
  split_pair_loop(lo, hi, x, shift, size_t(count) * N);
}

int32_t polyvec_check_norm_simd128(const uint32_t *v, uint32_t count, uint32_t bound) {
  return check_norm_loop(v, size_t(count) * N, bound);
}

}  // namespace tavik
