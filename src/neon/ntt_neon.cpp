// NEON forward and inverse transforms and products, four coefficients a register.
//
// Every butterfly is the scalar one lane by lane: the same unsigned Montgomery reduction
// (m = (a * z mod 2^32) * QINV, then the high half of a * z + m * Q, taken with two widening
// multiply-accumulates and one unzip of the high halves), the same offsets and the same order of
// twiddles, so that each result equals the scalar kernel's value for value, not only modulo Q.
//
// Layout: coefficient i in register i / 4, lane i % 4, as in memory. The levels with len >= 4
// pair whole registers. Levels 2 and 1 run together on eight coefficients (two registers): a
// 64-bit zip puts the pairs at distance 2 in different registers, a 32-bit transpose those at
// distance 1, and the same instruction undoes each.
#include <arm_neon.h>

#include <cstddef>

#include "Reduce.h"
#include "neon/kernels_neon.h"
#include "params.h"
#include "rules/lanes128.h"
#include "rules/ntt_rules.h"
#include "scalar/kernels_scalar.h"

namespace tavik {
namespace {

using V = uint32x4_t;

constexpr uint32_t FWD_OFFSET = 2 * Q;    // keeps the forward differences non-negative
constexpr uint32_t INV_OFFSET = 256 * Q;  // the same for the inverse (sums stay below 512Q)

// Twiddles of levels 2 and 1 in the lane order of the zipped and transposed registers, with
// their companions z * QINV mod 2^32. Group g covers coefficients 8g .. 8g + 7.
struct LaneTables {
  uint32_t fwd2[32][4], fwd2_q[32][4], fwd1[32][4], fwd1_q[32][4];
  uint32_t inv1[32][4], inv1_q[32][4], inv2[32][4], inv2_q[32][4];
};

constexpr LaneTables make_lane_tables() {
  LaneTables t{};
  for (uint32_t g = 0; g < 32; ++g) {
    const lanes128::Level12 z = lanes128::level12_twiddles(g);
    for (uint32_t l = 0; l < 4; ++l) {
      t.fwd2[g][l] = z.fwd2[l], t.fwd2_q[g][l] = z.fwd2[l] * QINV;
      t.fwd1[g][l] = z.fwd1[l], t.fwd1_q[g][l] = z.fwd1[l] * QINV;
      t.inv1[g][l] = z.inv1[l], t.inv1_q[g][l] = z.inv1[l] * QINV;
      t.inv2[g][l] = z.inv2[l], t.inv2_q[g][l] = z.inv2[l] * QINV;
    }
  }
  return t;
}

alignas(16) constexpr LaneTables T = make_lane_tables();

// montgomery_reduce(a * z) in each lane; zq = z * QINV mod 2^32. a * z < Q * 2^32 as the scalar
// reduction requires (z < Q).
inline V montmul(V a, V z, V zq) {
  const V m = vmulq_u32(a, zq);
  const V q = vdupq_n_u32(Q);
  uint64x2_t lo = vmull_u32(vget_low_u32(a), vget_low_u32(z));
  uint64x2_t hi = vmull_high_u32(a, z);
  lo = vmlal_u32(lo, vget_low_u32(m), vget_low_u32(q));
  hi = vmlal_high_u32(hi, m, q);
  return vuzp2q_u32(vreinterpretq_u32_u64(lo), vreinterpretq_u32_u64(hi));
}

// montgomery_reduce(a * b) in each lane, b varying by lane.
inline V montmul_vv(V a, V b) { return montmul(a, b, vmulq_u32(b, vdupq_n_u32(QINV))); }

// x - Q * (x >> 22): a representative below 2Q (reduce22).
inline V reduce22v(V x) { return vmlsq_n_u32(x, vshrq_n_u32(x, 22), Q); }

// Forward butterfly on registers x (lower) and y (upper) with twiddle z.
inline void fwd_bfly(V &x, V &y, V z, V zq) {
  const V t = montmul(y, z, zq);
  y = vsubq_u32(vaddq_u32(x, vdupq_n_u32(FWD_OFFSET)), t);
  x = vaddq_u32(x, t);
}

// Inverse butterfly: x + y, and montgomery_reduce(z * (x + 256Q - y)).
inline void inv_bfly(V &x, V &y, V z, V zq) {
  const V u = vsubq_u32(vaddq_u32(x, vdupq_n_u32(INV_OFFSET)), y);
  x = vaddq_u32(x, y);
  y = montmul(u, z, zq);
}

inline V ld(const uint32_t *p) { return vld1q_u32(p); }
inline void st(uint32_t *p, V v) { vst1q_u32(p, v); }

// The inverse levels and the final scaling of the scalar inverse_levels, in place.
void inverse_levels_neon(uint32_t *out) {
  // Levels 1 and 2 on each group of eight.
  for (uint32_t g = 0; g < 32; ++g) {
    const V v0 = ld(out + 8 * g), v1 = ld(out + 8 * g + 4);
    V x = vtrn1q_u32(v0, v1), y = vtrn2q_u32(v0, v1);
    inv_bfly(x, y, ld(T.inv1[g]), ld(T.inv1_q[g]));
    const V w0 = vtrn1q_u32(x, y), w1 = vtrn2q_u32(x, y);
    V a = vreinterpretq_u32_u64(vzip1q_u64(vreinterpretq_u64_u32(w0), vreinterpretq_u64_u32(w1)));
    V b = vreinterpretq_u32_u64(vzip2q_u64(vreinterpretq_u64_u32(w0), vreinterpretq_u64_u32(w1)));
    inv_bfly(a, b, ld(T.inv2[g]), ld(T.inv2_q[g]));
    st(out + 8 * g, vreinterpretq_u32_u64(vzip1q_u64(vreinterpretq_u64_u32(a), vreinterpretq_u64_u32(b))));
    st(out + 8 * g + 4, vreinterpretq_u32_u64(vzip2q_u64(vreinterpretq_u64_u32(a), vreinterpretq_u64_u32(b))));
  }
  uint32_t k = 192;
  for (uint32_t len = 4; len < N; len <<= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const uint32_t zs = zetas_inv[k++];
      const V z = vdupq_n_u32(zs), zq = vdupq_n_u32(zs * QINV);
      for (uint32_t j = start; j < start + len; j += 4) {
        V x = ld(out + j), y = ld(out + j + len);
        inv_bfly(x, y, z, zq);
        st(out + j, x);
        st(out + j + len, y);
      }
    }
  }
  const V s = vdupq_n_u32(ntt_rules::NTT_SCALE), sq = vdupq_n_u32(ntt_rules::NTT_SCALE * QINV);
  for (uint32_t i = 0; i < N; i += 4) st(out + i, montmul(ld(out + i), s, sq));
}

}  // namespace

void forward_ntt_neon(uint32_t *p) {
  uint32_t k = 1;
  for (uint32_t len = 128; len >= 4; len >>= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const uint32_t zs = zetas[k++];
      const V z = vdupq_n_u32(zs), zq = vdupq_n_u32(zs * QINV);
      for (uint32_t j = start; j < start + len; j += 4) {
        V x = ld(p + j), y = ld(p + j + len);
        fwd_bfly(x, y, z, zq);
        st(p + j, x);
        st(p + j + len, y);
      }
    }
  }
  // Levels 2 and 1 on each group of eight.
  for (uint32_t g = 0; g < 32; ++g) {
    const V v0 = ld(p + 8 * g), v1 = ld(p + 8 * g + 4);
    V a = vreinterpretq_u32_u64(vzip1q_u64(vreinterpretq_u64_u32(v0), vreinterpretq_u64_u32(v1)));
    V b = vreinterpretq_u32_u64(vzip2q_u64(vreinterpretq_u64_u32(v0), vreinterpretq_u64_u32(v1)));
    fwd_bfly(a, b, ld(T.fwd2[g]), ld(T.fwd2_q[g]));
    const V w0 = vreinterpretq_u32_u64(vzip1q_u64(vreinterpretq_u64_u32(a), vreinterpretq_u64_u32(b)));
    const V w1 = vreinterpretq_u32_u64(vzip2q_u64(vreinterpretq_u64_u32(a), vreinterpretq_u64_u32(b)));
    V x = vtrn1q_u32(w0, w1), y = vtrn2q_u32(w0, w1);
    fwd_bfly(x, y, ld(T.fwd1[g]), ld(T.fwd1_q[g]));
    st(p + 8 * g, vtrn1q_u32(x, y));
    st(p + 8 * g + 4, vtrn2q_u32(x, y));
  }
}

void inverse_ntt_neon(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  for (uint32_t i = 0; i < N; i += 4) st(out + i, montmul_vv(ld(a + i), ld(b + i)));
  inverse_levels_neon(out);
}

void poly_inner_product_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  for (uint32_t j = 0; j < N; j += 4) {
    V sum = vdupq_n_u32(0);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t o = size_t(i) * N + j;
      sum = reduce22v(vaddq_u32(sum, montmul_vv(ld(a + o), ld(b + o))));
    }
    st(out + j, sum);
  }
  inverse_levels_neon(out);
}

void poly_inner_product_minus_neon(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                   const uint32_t *c, const uint32_t *d) {
  for (uint32_t j = 0; j < N; j += 4) {
    V sum = vdupq_n_u32(0);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t o = size_t(i) * N + j;
      sum = reduce22v(vaddq_u32(sum, montmul_vv(ld(a + o), ld(b + o))));
    }
    const V cd = montmul_vv(ld(c + j), ld(d + j));
    st(out + j, reduce22v(vsubq_u32(vaddq_u32(sum, vdupq_n_u32(Q2)), cd)));
  }
  inverse_levels_neon(out);
}

}  // namespace tavik
