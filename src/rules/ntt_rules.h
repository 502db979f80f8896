// The rules behind the transform's constants, evaluated at compile time by the scalar transform
// and by the vector kernels alike.
#pragma once
#include <cstdint>

#include "Reduce.h"
#include "params.h"

namespace tavik::ntt_rules {

inline constexpr uint32_t ROOT = 2225;  // smallest primitive 512th root of unity modulo Q

// a * b mod Q, a and b any 32-bit values.
constexpr uint32_t mulmod(uint32_t a, uint32_t b) { return uint32_t(uint64_t(a) * b % Q); }

// base^e mod Q.
constexpr uint32_t powmod(uint32_t base, uint32_t e) {
  uint32_t r = 1;
  for (; e != 0; e >>= 1) {
    if (e & 1) r = mulmod(r, base);
    base = mulmod(base, base);
  }
  return r;
}

// The 8-bit number whose bits are those of k (0..255) in reverse order.
constexpr uint32_t bitrev8(uint32_t k) {
  uint32_t r = 0;
  for (uint32_t j = 0; j < 8; ++j) r |= ((k >> j) & 1) << (7 - j);
  return r;
}

static_assert(powmod(ROOT, 256) == Q - 1, "r^256 = -1, so r has order 512");

// Forward twiddle k in [1, 255]: MONT * r^br(k) mod Q, in [0, Q).
constexpr uint32_t zeta_fwd(uint32_t k) { return mulmod(MONT, powmod(ROOT, bitrev8(k))); }
// Inverse twiddle k in [0, 254]: Q - zeta_fwd(255 - k) = MONT * (-r^br(255 - k)) mod Q.
constexpr uint32_t zeta_inv(uint32_t k) { return Q - zeta_fwd(255 - k); }

// MONT^2 / 256 mod Q: removes the 2^-32 of the pointwise product and the 256 of the inverse.
inline constexpr uint32_t NTT_SCALE = mulmod(mulmod(mulmod(MONT, MONT), Q - 1), (Q - 1) / 256);
static_assert(NTT_SCALE == 3140608);
static_assert(mulmod(NTT_SCALE, 256) == mulmod(MONT, MONT));

}  // namespace tavik::ntt_rules
