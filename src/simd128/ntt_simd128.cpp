// WebAssembly SIMD forward and inverse transforms and products, four coefficients a register.
//
// The butterflies are the scalar ones with the same offsets and the same order of twiddles, but
// multiply by a known twiddle with Shoup's method instead of a Montgomery reduction: for w < Q and
// w' = floor(w * 2^32 / Q), a * w - floor(a * w' / 2^32) * Q (mod 2^32) lies in [0, 2Q) for every
// 32-bit a, and needs two widening multiplies (the high half of a * w') where the Montgomery
// reduction needs four. With w = z * 2^-32 mod Q for the scalar twiddle z, the product is
// congruent to the scalar montgomery_reduce(a * z) and in the same range [0, 2Q), so every
// result is the scalar kernel's modulo Q and within its bounds, not always the same value. The
// products of two varying polynomials (pointwise_sum) keep the Montgomery reduction. The last
// inverse level also applies the final scaling: its sum is multiplied by the scale and its
// difference by the twiddle times the scale, saving a pass and half its multiplies.
//
// Layout: coefficient i in register i / 4, lane i % 4, as in memory. The levels with len >= 4
// pair whole registers. Levels 2 and 1 run together on eight coefficients (two registers): a
// 64-bit interleave puts the pairs at distance 2 in different registers, a 32-bit transpose those
// at distance 1, and the same shuffle undoes each.
#include <cstddef>

#include "Reduce.h"
#include "params.h"
#include "rules/lanes128.h"
#include "rules/ntt_rules.h"
#include "scalar/kernels_scalar.h"
#include "simd128/kernels_simd128.h"
#include "simd128/v128.h"

namespace tavik {
namespace {

using V = v128_t;

constexpr uint32_t FWD_OFFSET = 2 * Q;    // keeps the forward differences non-negative
constexpr uint32_t INV_OFFSET = 256 * Q;  // the same for the inverse (sums stay below 512Q)

// 2^-32 mod Q, which takes a scalar (Montgomery) twiddle to the plain factor Shoup's method uses.
constexpr uint32_t RINV = ntt_rules::powmod(ntt_rules::powmod(2, 32), Q - 2);
static_assert(ntt_rules::mulmod(RINV, ntt_rules::powmod(2, 32)) == 1);

// The factor w = z * 2^-32 mod Q of scalar twiddle z, and its companion floor(w * 2^32 / Q).
constexpr uint32_t shoup_w(uint32_t z) { return ntt_rules::mulmod(z, RINV); }
constexpr uint32_t shoup_wq(uint32_t w) { return uint32_t((uint64_t(w) << 32) / Q); }

// Twiddles of levels 2 and 1 in the lane order of the interleaved and transposed registers, with
// their companions. Group g covers coefficients 8g .. 8g + 7. Then the twiddles of the levels with
// len >= 4 in the scalar order (fwd[k] for zetas[k], inv[k] for zetas_inv[k]; inv[k] for the last
// inverse level carries the final scale), and the scale itself.
struct LaneTables {
  uint32_t fwd2[32][4], fwd2_q[32][4], fwd1[32][4], fwd1_q[32][4];
  uint32_t inv1[32][4], inv1_q[32][4], inv2[32][4], inv2_q[32][4];
  uint32_t fwd[128], fwd_q[128], inv[256], inv_q[256];
  uint32_t scale, scale_q;
};

constexpr LaneTables make_lane_tables() {
  LaneTables t{};
  for (uint32_t g = 0; g < 32; ++g) {
    const lanes128::Level12 z = lanes128::level12_twiddles(g);
    for (uint32_t l = 0; l < 4; ++l) {
      t.fwd2[g][l] = shoup_w(z.fwd2[l]), t.fwd2_q[g][l] = shoup_wq(t.fwd2[g][l]);
      t.fwd1[g][l] = shoup_w(z.fwd1[l]), t.fwd1_q[g][l] = shoup_wq(t.fwd1[g][l]);
      t.inv1[g][l] = shoup_w(z.inv1[l]), t.inv1_q[g][l] = shoup_wq(t.inv1[g][l]);
      t.inv2[g][l] = shoup_w(z.inv2[l]), t.inv2_q[g][l] = shoup_wq(t.inv2[g][l]);
    }
  }
  for (uint32_t k = 1; k < 64; ++k) t.fwd[k] = shoup_w(ntt_rules::zeta_fwd(k)), t.fwd_q[k] = shoup_wq(t.fwd[k]);
  // zetas_inv[254], the last inverse level's, times the scale (montgomery_reduce(z * scale) is
  // z * scale * 2^-32: the product of the two plain factors).
  const uint32_t plain_scale = shoup_w(ntt_rules::NTT_SCALE);
  for (uint32_t k = 192; k < 254; ++k) t.inv[k] = shoup_w(ntt_rules::zeta_inv(k)), t.inv_q[k] = shoup_wq(t.inv[k]);
  t.inv[254] = ntt_rules::mulmod(shoup_w(ntt_rules::zeta_inv(254)), plain_scale), t.inv_q[254] = shoup_wq(t.inv[254]);
  t.scale = plain_scale, t.scale_q = shoup_wq(plain_scale);
  return t;
}

alignas(16) constexpr LaneTables T = make_lane_tables();

inline V ld(const uint32_t *p) { return wasm_v128_load(p); }
inline void st(uint32_t *p, V v) { wasm_v128_store(p, v); }
inline V splat(uint32_t x) { return wasm_i32x4_splat(int32_t(x)); }

// a * w mod Q in [0, 2Q) in each lane by Shoup's method, wq = floor(w * 2^32 / Q), w < Q; any a.
inline V mulshoup(V a, V w, V wq) {
  const V hi = wasm_i32x4_shuffle(wasm_u64x2_extmul_low_u32x4(a, wq), wasm_u64x2_extmul_high_u32x4(a, wq), 1, 3, 5, 7);
  return wasm_i32x4_sub(wasm_i32x4_mul(a, w), wasm_i32x4_mul(hi, splat(Q)));
}

// montgomery_reduce(a * z) in each lane; zq = z * QINV mod 2^32. a * z < Q * 2^32 as the scalar
// reduction requires (z < Q), so a * z + m * Q < 2Q * 2^32 fits 64 bits.
inline V montmul(V a, V z, V zq) {
  const V m = wasm_i32x4_mul(a, zq);
  const V q = splat(Q);
  const V lo = wasm_i64x2_add(wasm_u64x2_extmul_low_u32x4(a, z), wasm_u64x2_extmul_low_u32x4(m, q));
  const V hi = wasm_i64x2_add(wasm_u64x2_extmul_high_u32x4(a, z), wasm_u64x2_extmul_high_u32x4(m, q));
  return wasm_i32x4_shuffle(lo, hi, 1, 3, 5, 7);
}

// montgomery_reduce(a * b) in each lane, b varying by lane.
inline V montmul_vv(V a, V b) { return montmul(a, b, wasm_i32x4_mul(b, splat(QINV))); }

// x - Q * (x >> 22): a representative below 2Q (reduce22).
inline V reduce22v(V x) { return wasm_i32x4_sub(x, wasm_i32x4_mul(wasm_u32x4_shr(x, 22), splat(Q))); }

// Forward butterfly on registers x (lower) and y (upper) with twiddle z.
inline void fwd_bfly(V &x, V &y, V z, V zq) {
  const V t = mulshoup(y, z, zq);
  y = wasm_i32x4_sub(wasm_i32x4_add(x, splat(FWD_OFFSET)), t);
  x = wasm_i32x4_add(x, t);
}

// Inverse butterfly: x + y, and montgomery_reduce(z * (x + 256Q - y)).
inline void inv_bfly(V &x, V &y, V z, V zq) {
  const V u = wasm_i32x4_sub(wasm_i32x4_add(x, splat(INV_OFFSET)), y);
  x = wasm_i32x4_add(x, y);
  y = mulshoup(u, z, zq);
}

// The 64-bit interleaves and 32-bit transposes of two registers.
inline V zip1_64(V a, V b) { return wasm_i64x2_shuffle(a, b, 0, 2); }
inline V zip2_64(V a, V b) { return wasm_i64x2_shuffle(a, b, 1, 3); }
inline V trn1_32(V a, V b) { return wasm_i32x4_shuffle(a, b, 0, 4, 2, 6); }
inline V trn2_32(V a, V b) { return wasm_i32x4_shuffle(a, b, 1, 5, 3, 7); }

// The inverse levels and the final scaling of the scalar inverse_levels, in place.
void inverse_levels_simd128(uint32_t *out) {
  // Levels 1 and 2 on each group of eight.
  for (uint32_t g = 0; g < 32; ++g) {
    const V v0 = ld(out + 8 * g), v1 = ld(out + 8 * g + 4);
    V x = trn1_32(v0, v1), y = trn2_32(v0, v1);
    inv_bfly(x, y, ld(T.inv1[g]), ld(T.inv1_q[g]));
    const V w0 = trn1_32(x, y), w1 = trn2_32(x, y);
    V a = zip1_64(w0, w1), b = zip2_64(w0, w1);
    inv_bfly(a, b, ld(T.inv2[g]), ld(T.inv2_q[g]));
    st(out + 8 * g, zip1_64(a, b));
    st(out + 8 * g + 4, zip2_64(a, b));
  }
  uint32_t k = 192;
  for (uint32_t len = 4; len < N / 2; len <<= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const V z = splat(T.inv[k]), zq = splat(T.inv_q[k]);
      ++k;
      for (uint32_t j = start; j < start + len; j += 4) {
        V x = ld(out + j), y = ld(out + j + len);
        inv_bfly(x, y, z, zq);
        st(out + j, x);
        st(out + j + len, y);
      }
    }
  }
  // The last level with the scaling: (x + y) * scale and (x + 256Q - y) * twiddle * scale.
  const V z = splat(T.inv[254]), zq = splat(T.inv_q[254]), s = splat(T.scale), sq = splat(T.scale_q);
  for (uint32_t j = 0; j < N / 2; j += 4) {
    V x = ld(out + j), y = ld(out + j + N / 2);
    inv_bfly(x, y, z, zq);
    st(out + j, mulshoup(x, s, sq));
    st(out + j + N / 2, y);
  }
}

// Sum over i < count of a[i] * b[i] in the NTT domain (each term reduced below 2Q), minus c * d
// when c is not null, into out, below 2Q.
void pointwise_sum(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count, const uint32_t *c,
                   const uint32_t *d) {
  for (uint32_t j = 0; j < N; j += 4) {
    V sum = splat(0);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t o = size_t(i) * N + j;
      sum = reduce22v(wasm_i32x4_add(sum, montmul_vv(ld(a + o), ld(b + o))));
    }
    if (c != nullptr) sum = reduce22v(wasm_i32x4_sub(wasm_i32x4_add(sum, splat(Q2)), montmul_vv(ld(c + j), ld(d + j))));
    st(out + j, sum);
  }
}

}  // namespace

void forward_ntt_simd128(uint32_t *p) {
  uint32_t k = 1;
  for (uint32_t len = 128; len >= 4; len >>= 1) {
    for (uint32_t start = 0; start < N; start += 2 * len) {
      const V z = splat(T.fwd[k]), zq = splat(T.fwd_q[k]);
      ++k;
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
    V a = zip1_64(v0, v1), b = zip2_64(v0, v1);
    fwd_bfly(a, b, ld(T.fwd2[g]), ld(T.fwd2_q[g]));
    const V w0 = zip1_64(a, b), w1 = zip2_64(a, b);
    V x = trn1_32(w0, w1), y = trn2_32(w0, w1);
    fwd_bfly(x, y, ld(T.fwd1[g]), ld(T.fwd1_q[g]));
    st(p + 8 * g, trn1_32(x, y));
    st(p + 8 * g + 4, trn2_32(x, y));
  }
}

void inverse_ntt_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  for (uint32_t i = 0; i < N; i += 4) st(out + i, montmul_vv(ld(a + i), ld(b + i)));
  inverse_levels_simd128(out);
}

void poly_inner_product_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  pointwise_sum(out, a, b, count, nullptr, nullptr);
  inverse_levels_simd128(out);
}

void poly_inner_product_minus_simd128(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                      const uint32_t *c, const uint32_t *d) {
  pointwise_sum(out, a, b, count, c, d);
  inverse_levels_simd128(out);
}

}  // namespace tavik
