#include "Reduce.h"

#include "range_check.h"

namespace tavik {

uint32_t montgomery_reduce(uint64_t a) {
  TAVIK_ASSERT_RANGE(a < (uint64_t(Q) << 32));
  const uint32_t t = uint32_t(a) * QINV;  // t * Q = -a modulo 2^32
  const uint64_t s = a + uint64_t(t) * Q;  // divisible by 2^32
  return uint32_t(s >> 32);
}

}  // namespace tavik
