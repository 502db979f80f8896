// Montgomery reduction modulo Q with radix 2^32.
#pragma once
#include <cstdint>

#include "params.h"

namespace tavik {

// Q * QINV = -1 modulo 2^32.
inline constexpr uint32_t QINV = [] {
  uint32_t inv = 1;  // Newton iteration for Q^-1 modulo 2^32
  for (int i = 0; i < 5; ++i) inv *= 2 - Q * inv;
  return uint32_t(0) - inv;
}();
static_assert(QINV == 1068495871u);
static_assert(uint32_t(Q * QINV) == 0xFFFFFFFFu);

// 2^32 modulo Q.
inline constexpr uint32_t MONT = uint32_t((uint64_t(1) << 32) % Q);
static_assert(MONT == 3144704u);

// a below Q * 2^32 -> r in [0, 2Q) with r = a * 2^-32 mod Q.
uint32_t montgomery_reduce(uint64_t a);

}  // namespace tavik
