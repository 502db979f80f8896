// The element-wise loops of polyvec_ops_impl.h, compiled with NEON (four lanes per register).
#include "neon/kernels_neon.h"


#include <cstddef>

#include "params.h"
#include "rules/polyvec_ops_impl.h"

namespace tavik {

void polyvec_add_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  add_loop(out, a, b, size_t(count) * N);
}

void polyvec_sub_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  sub_loop(out, a, b, size_t(count) * N);
}

void polyvec_freeze_neon(uint32_t *v, uint32_t count) { freeze_loop(v, size_t(count) * N); }

void polyvec_split_pair_neon(uint32_t *lo, uint32_t *hi, const uint32_t *x, uint32_t shift, uint32_t count) {
  split_pair_loop(lo, hi, x, shift, size_t(count) * N);
}

int32_t polyvec_check_norm_neon(const uint32_t *v, uint32_t count, uint32_t bound) {
  return check_norm_loop(v, size_t(count) * N, bound);
}

}  // namespace tavik

