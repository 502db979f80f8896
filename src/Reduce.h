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

// The plain reductions, shared by the scalar code and the vector kernels (internal linkage, so
// each file keeps a copy built for its own instruction set). Both are straight-line 32-bit
// arithmetic: the quotient estimate x >> 22 (2^22 is just above Q) never exceeds x / Q.
namespace {

// All ones when the signed reading of x is negative, else 0.
inline uint32_t negative_mask(uint32_t x) { return uint32_t(int32_t(x) >> 31); }

// Any 32-bit x -> x mod Q in [0, Q): x - Q * ((x >> 22) + 1) lies in [-Q, Q), then the sign fix.
inline uint32_t freeze32(uint32_t x) {
  const uint32_t d = x - Q * ((x >> 22) + 1);
  return d + (Q & negative_mask(d));
}

// Any 32-bit x -> a representative in [0, 2Q): x - Q * (x >> 22) is below x / 1300 + Q.
inline uint32_t reduce22(uint32_t x) { return x - Q * (x >> 22); }

// Any 32-bit x -> centred |x mod Q| in [0, (Q - 1) / 2].
inline uint32_t centred_abs(uint32_t x) {
  uint32_t e = HALF_Q - freeze32(x);
  e ^= negative_mask(e);  // a negative difference d becomes -d - 1
  return HALF_Q - e;
}

}  // namespace

}  // namespace tavik
