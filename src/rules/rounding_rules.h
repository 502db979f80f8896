// The per-coefficient rounding rules and the vector loops over them. Rounding.cpp compiles these
// for the scalar path and rounding_avx2.cpp compiles the same text with AVX2 enabled; everything
// here has internal linkage, so each file keeps its own copy.
// Every rule is straight-line 32-bit arithmetic: quotients come from a shift by 22 (2^22 is just
// above Q) and signs from arithmetic shifts, so the loops compile to lane-wise code.
#pragma once
#include <cstdint>

#include "Reduce.h"
#include "params.h"

namespace tavik {
namespace {

constexpr uint32_t LOW_MASK = (1u << D) - 1;     // 0x1FFF
constexpr uint32_t P2R_WRAP = (512u << D) - Q;   // 3071: 512 * 8192 - Q
constexpr uint32_t P2R_LOW_BASE = Q - T0_OFFSET;  // stored low part of a0 = -4095
static_assert(P2R_WRAP == 3071 && P2R_LOW_BASE == 4187138);

// a in [0, Q) -> *a1 in [0, 511], *a0 = Q + r with r in [-4095, 4096].
inline void rounding_power2round(uint32_t *a1, uint32_t *a0, uint32_t a) {
  uint32_t e = (a & LOW_MASK) - 4097;  // low 13 bits minus 4097, in [-4097, 4094]
  e += 8192 & negative_mask(e);            // now in [0, 8191]; a0 = e - 4095
  uint32_t hi = (a + 4095 - e) >> D;   // (a - a0) / 8192, in [0, 512]
  *a0 = e + P2R_LOW_BASE + (P2R_WRAP & (0u - (hi >> 9)));
  *a1 = hi & 0x1FF;
}

// a below 64Q -> m mod 16 where m*Q is the multiple nearest 16a; *low = Q + r0, r0 = 16a - m*Q.
inline uint32_t rounding_decompose(uint32_t *low, uint32_t a) {
  uint32_t v = a << 4;
  uint32_t r = v - Q * ((a >> 18) + 1);  // 16a mod Q, before the sign fix
  r += Q & negative_mask(r);
  // t = (r - 2095617) mod Q, which is also Q + r0 - 2095617 for the centred r0.
  uint32_t t = r - (HALF_Q + 1);
  t += Q & negative_mask(t);
  *low = t + (HALF_Q + 1);
  uint32_t x = v + HALF_Q - t;  // 16a - r0 = m * Q
  uint32_t j = x >> 22;         // m - 1 for m >= 1, 0 for m = 0
  uint32_t m = j + (((j + 1) * Q - x - 1) >> 31);
  return m & 15;
}

// a, b below 64Q -> 1 when their high parts differ, else 0.
inline uint32_t rounding_make_hint(uint32_t a, uint32_t b) {
  uint32_t lo_a, lo_b;
  return uint32_t(rounding_decompose(&lo_a, a) != rounding_decompose(&lo_b, b));
}

// hint 0 -> a1; otherwise a1 + 1 when r0 > 0, else a1 - 1, modulo 16.
inline uint32_t rounding_use_hint(uint32_t hint, uint32_t a) {
  uint32_t low;
  uint32_t a1 = rounding_decompose(&low, a);
  uint32_t up = (Q - low) >> 31;                  // 1 when low > Q, that is r0 > 0
  uint32_t step = 15u ^ (14u & (0u - up));        // 1 or 15
  uint32_t use = 0u - uint32_t(hint != 0);
  return (a1 + (step & use)) & 15;
}

// One polynomial of a signing candidate: nonzero when some coefficient of v (below 64Q) has a
// centred low part of at least r0_bound or a high part other than w1's, or some centred |e|
// reaches e_bound; 0 otherwise. One pass, no data-dependent branch or exit.
inline uint32_t candidate_check_loop(const uint32_t *v, const uint32_t *e, const uint32_t *w1,
                                     uint32_t r0_bound, uint32_t e_bound) {
  uint32_t bad = 0;
  for (uint32_t i = 0; i < N; ++i) {
    uint32_t low;
    const uint32_t high = rounding_decompose(&low, v[i]);
    bad |= (high ^ w1[i]) | uint32_t(centred_abs(low) >= r0_bound) | uint32_t(centred_abs(e[i]) >= e_bound);
  }
  return bad;
}

// t: K polys of any 32-bit values -> t1 in [0, 511], t0 = Q + r, r in [-4095, 4096]. No aliasing.
inline void power2round_loop(uint32_t *t1, uint32_t *t0, const uint32_t *t, uint32_t count) {
  for (uint32_t i = 0; i < count * N; ++i) rounding_power2round(&t1[i], &t0[i], freeze32(t[i]));
}

// a: count polys below 64Q -> a1 in [0, 15], a0 = Q + r0; a1 and a0 must not alias a.
inline void decompose_loop(uint32_t *a1, uint32_t *a0, const uint32_t *a, uint32_t count) {
  for (uint32_t p = 0; p < count; ++p, a1 += N, a0 += N, a += N) {
    for (uint32_t i = 0; i < N; ++i) a1[i] = rounding_decompose(&a0[i], a[i]);
  }
}

// a: count polys below 64Q -> a1 in [0, 15] as decompose_loop gives it, the low parts unstored.
inline void highbits_loop(uint32_t *a1, const uint32_t *a, uint32_t count) {
  for (uint32_t i = 0; i < count * N; ++i) {
    uint32_t low;
    a1[i] = rounding_decompose(&low, a[i]);
  }
}

// a, b: K polys below 64Q -> h in {0, 1}; returns the number of ones. h may alias a or b.
inline uint32_t make_hint_loop(uint32_t *h, const uint32_t *a, const uint32_t *b) {
  uint32_t ones = 0;
  for (uint32_t i = 0; i < K * N; ++i) {
    const uint32_t bit = rounding_make_hint(a[i], b[i]);
    h[i] = bit;
    ones += bit;
  }
  return ones;
}

// hint: count polys (nonzero = 1), a: count polys below 64Q -> out in [0, 15]. out may alias either
// input.
inline void use_hint_loop(uint32_t *out, const uint32_t *hint, const uint32_t *a, uint32_t count) {
  for (uint32_t i = 0; i < count * N; ++i) out[i] = rounding_use_hint(hint[i], a[i]);
}

}  // namespace
}  // namespace tavik
