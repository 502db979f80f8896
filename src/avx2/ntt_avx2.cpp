// AVX2 forward and inverse transforms, eight coefficients per register.
//
// Values inside the kernels are signed 32-bit representatives. Products use signed Montgomery
// multiplication: for a 64-bit P, m = P * Q^-1 mod 2^32 taken as signed, and (P - m*Q) / 2^32
// is congruent to P * 2^-32 with |result| <= |P| / 2^32 + Q/2. Twiddles are held centred
// (|z| <= Q/2), so a multiplication by a twiddle never leaves (-0.51Q, 0.51Q) for the operand
// sizes met here. The 32x32 -> 64-bit products are taken on the even lanes and on the odd lanes
// shifted down, and the two halves are blended back together.
//
// Layout: coefficient i lives in register i / 8, lane i % 8, as in memory. The levels with
// len >= 8 pair whole registers; each pass holds eight of the 32 registers of a polynomial:
// registers g, g + 4, ..., g + 28 (coefficients 32m + 8g + lane) for the levels 128, 64, 32, and
// registers 8c .. 8c + 7 (coefficients 64c .. 64c + 63) for the levels 16 down to 1. For len 4, 2 and 1 eight registers (64 coefficients) are
// transposed so that pairs again sit in different registers, and transposed back afterwards, so
// that the stored NTT form has the positions of the scalar transform.
#include "avx2/kernels_avx2.h"

#include <immintrin.h>

#include <cstddef>

#include "Reduce.h"
#include "rules/ntt_rules.h"
#include "params.h"

namespace tavik {

namespace {

using V = __m256i;

// ---------------------------------------------------------------------------------------------
// Twiddle tables, derived at compile time from r = 2225 and the Montgomery factor.

using ntt_rules::mulmod;
using ntt_rules::powmod;
using ntt_rules::zeta_fwd;
using ntt_rules::zeta_inv;
constexpr uint32_t QINV_POS = 0u - QINV;  // Q^-1 modulo 2^32
static_assert(uint32_t(Q * QINV_POS) == 1u);


// x in [0, Q) -> the representative in [-(Q-1)/2, (Q-1)/2].
constexpr int32_t centre(uint32_t x) { return x > HALF_Q ? int32_t(x) - int32_t(Q) : int32_t(x); }
// The Montgomery companion of a twiddle: z * Q^-1 mod 2^32, as a 32-bit pattern.
constexpr int32_t companion(int32_t z) { return int32_t(uint32_t(z) * QINV_POS); }

constexpr uint32_t SCALE = ntt_rules::NTT_SCALE;
constexpr uint32_t MONT_INV = powmod(MONT, Q - 2);  // 2^-32 mod Q
static_assert(MONT_INV == 1042689);
// Last inverse twiddle with the scaling folded in: montmul(montmul(d, z), SCALE) = montmul(d, this).
constexpr uint32_t LAST_SCALED = mulmod(mulmod(zeta_inv(254), SCALE), MONT_INV);
constexpr int32_t SCALE_C = centre(SCALE), SCALE_Q = companion(SCALE_C);
constexpr int32_t LAST_C = centre(LAST_SCALED), LAST_Q = companion(LAST_C);
// The first forward level multiplies unsigned inputs by the uncentred twiddle 1.
constexpr uint32_t FIRST = zeta_fwd(1), FIRST_Q = FIRST * QINV_POS;

// A twiddle that varies by lane, ready for the even/odd products: even[] holds z of every lane
// (the even lanes are read), odd[2j] holds z of lane 2j + 1; the same for the companions.
struct alignas(32) LaneTwiddle {
  int32_t even[8], odd[8], even_q[8], odd_q[8];
};

constexpr LaneTwiddle lane_twiddle(const int32_t (&z)[8]) {
  LaneTwiddle t{};
  for (int i = 0; i < 8; ++i) {
    t.even[i] = z[i];
    t.odd[i] = z[i | 1];
    t.even_q[i] = companion(z[i]);
    t.odd_q[i] = companion(z[i | 1]);
  }
  return t;
}

struct Tables {
  int32_t fwd[256], fwd_q[256];  // centred forward twiddles (k = 1..255) and companions
  int32_t inv[256], inv_q[256];  // centred inverse twiddles (k = 0..254) and companions
  // Per 64-coefficient chunk c, the twiddles of the transposed levels, lane i = block 8c + i.
  LaneTwiddle fwd4[4], fwd2[4][2], fwd1[4][4];
  LaneTwiddle inv1[4][4], inv2[4][2], inv4[4];
};

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t k = 1; k < 256; ++k) {
    t.fwd[k] = centre(zeta_fwd(k));
    t.fwd_q[k] = companion(t.fwd[k]);
  }
  for (uint32_t k = 0; k < 255; ++k) {
    t.inv[k] = centre(zeta_inv(k));
    t.inv_q[k] = companion(t.inv[k]);
  }
  for (uint32_t c = 0; c < 4; ++c) {
    int32_t z[8] = {};
    // Forward, len 4: block 8c + i of 8 coefficients uses twiddle 32 + 8c + i.
    for (uint32_t i = 0; i < 8; ++i) z[i] = t.fwd[32 + 8 * c + i];
    t.fwd4[c] = lane_twiddle(z);
    // Forward, len 2: the half s of that block uses 64 + 2 * (8c + i) + s.
    for (uint32_t s = 0; s < 2; ++s) {
      for (uint32_t i = 0; i < 8; ++i) z[i] = t.fwd[64 + 2 * (8 * c + i) + s];
      t.fwd2[c][s] = lane_twiddle(z);
    }
    // Forward, len 1: the quarter s uses 128 + 4 * (8c + i) + s.
    for (uint32_t s = 0; s < 4; ++s) {
      for (uint32_t i = 0; i < 8; ++i) z[i] = t.fwd[128 + 4 * (8 * c + i) + s];
      t.fwd1[c][s] = lane_twiddle(z);
    }
    // Inverse, len 1, 2, 4: twiddles 4 * (8c + i) + s, 128 + 2 * (8c + i) + s, 192 + 8c + i.
    for (uint32_t s = 0; s < 4; ++s) {
      for (uint32_t i = 0; i < 8; ++i) z[i] = t.inv[4 * (8 * c + i) + s];
      t.inv1[c][s] = lane_twiddle(z);
    }
    for (uint32_t s = 0; s < 2; ++s) {
      for (uint32_t i = 0; i < 8; ++i) z[i] = t.inv[128 + 2 * (8 * c + i) + s];
      t.inv2[c][s] = lane_twiddle(z);
    }
    for (uint32_t i = 0; i < 8; ++i) z[i] = t.inv[192 + 8 * c + i];
    t.inv4[c] = lane_twiddle(z);
  }
  return t;
}

alignas(32) constexpr Tables T = make_tables();

static_assert(T.fwd[1] == 16400 && T.fwd[7] == 3869184 - int32_t(Q));
static_assert(T.inv[254] == 4174833 - int32_t(Q));

// ---------------------------------------------------------------------------------------------
// Register helpers.

inline V load(const uint32_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
inline void store(uint32_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
inline V load_lanes(const int32_t (&t)[8]) { return _mm256_load_si256(reinterpret_cast<const V *>(t)); }

// Copies the odd lanes onto the even lanes below them.
inline V odd_down(V a) { return _mm256_castps_si256(_mm256_movehdup_ps(_mm256_castsi256_ps(a))); }

// Lane 2j gets the high half of the 64-bit lane j of pe (the even products), lane 2j + 1 that of po.
inline V high_halves(V pe, V po) { return _mm256_blend_epi32(odd_down(pe), po, 0xAA); }

// A twiddle as the four registers the Montgomery product reads.
struct Tw {
  V even, odd, even_q, odd_q;
};

inline Tw broadcast(int32_t z, int32_t zq) {
  const V a = _mm256_set1_epi32(z), b = _mm256_set1_epi32(zq);
  return Tw{a, a, b, b};
}
inline Tw fwd_tw(uint32_t k) { return broadcast(T.fwd[k], T.fwd_q[k]); }
inline Tw inv_tw(uint32_t k) { return broadcast(T.inv[k], T.inv_q[k]); }
inline Tw lanes(const LaneTwiddle &t) {
  return Tw{load_lanes(t.even), load_lanes(t.odd), load_lanes(t.even_q), load_lanes(t.odd_q)};
}

// Signed a -> a * z * 2^-32 mod Q, |result| <= |a| * |z| / 2^32 + Q/2.
inline V montmul(V a, const Tw &z) {
  const V q = _mm256_set1_epi32(int32_t(Q));
  const V ao = odd_down(a);
  const V pe = _mm256_mul_epi32(a, z.even);
  const V po = _mm256_mul_epi32(ao, z.odd);
  const V me = _mm256_mul_epi32(_mm256_mul_epi32(a, z.even_q), q);
  const V mo = _mm256_mul_epi32(_mm256_mul_epi32(ao, z.odd_q), q);
  // The low halves of p and m*Q agree, so the difference of the 64-bit values is exact.
  return high_halves(_mm256_sub_epi64(pe, me), _mm256_sub_epi64(po, mo));
}

// Unsigned a (any 32-bit value) -> a * FIRST * 2^-32 mod Q, in (-Q, FIRST].
inline V montmul_first(V a) {
  const V q = _mm256_set1_epi32(int32_t(Q));
  const V zv = _mm256_set1_epi32(int32_t(FIRST));
  const V zq = _mm256_set1_epi32(int32_t(FIRST_Q));
  const V ao = odd_down(a);
  const V pe = _mm256_mul_epu32(a, zv);
  const V po = _mm256_mul_epu32(ao, zv);
  const V me = _mm256_mul_epu32(_mm256_mul_epu32(a, zq), q);
  const V mo = _mm256_mul_epu32(_mm256_mul_epu32(ao, zq), q);
  return high_halves(_mm256_sub_epi64(pe, me), _mm256_sub_epi64(po, mo));
}

// 64-bit values P (even lanes' in pe, odd lanes' in po), each in [0, 2^62) -> P * 2^-32 mod Q,
// in (-Q/2, P / 2^32 + Q/2].
inline V montgomery_reduce64(V pe, V po) {
  const V q = _mm256_set1_epi32(int32_t(Q));
  const V qinv = _mm256_set1_epi32(int32_t(QINV_POS));
  const V me = _mm256_mul_epi32(_mm256_mul_epu32(pe, qinv), q);
  const V mo = _mm256_mul_epi32(_mm256_mul_epu32(po, qinv), q);
  return high_halves(_mm256_sub_epi64(pe, me), _mm256_sub_epi64(po, mo));
}

// Unsigned x (any 32-bit value) -> x - (x >> 22) * Q, congruent, in [0, 7335936] (below 1.76Q).
inline V reduce22_unsigned(V x) {
  const V q = _mm256_set1_epi32(int32_t(Q));
  return _mm256_sub_epi32(x, _mm256_mullo_epi32(_mm256_srli_epi32(x, 22), q));
}

// Signed x -> x - floor(x / 2^22) * Q, congruent; in (-0.38Q, 1.38Q) for every x and in
// (-0.01Q, 1.01Q) for |x| < 8Q.
inline V reduce22_signed(V x) {
  const V q = _mm256_set1_epi32(int32_t(Q));
  return _mm256_sub_epi32(x, _mm256_mullo_epi32(_mm256_srai_epi32(x, 22), q));
}

// Forward butterfly: (a, b) -> (a + b*z, a - b*z).
inline void ct(V &a, V &b, const Tw &z) {
  const V t = montmul(b, z);
  b = _mm256_sub_epi32(a, t);
  a = _mm256_add_epi32(a, t);
}

// Inverse butterfly: (a, b) -> (a + b, (a - b)*z).
inline void gs(V &a, V &b, const Tw &z) {
  const V t = a;
  a = _mm256_add_epi32(t, b);
  b = montmul(_mm256_sub_epi32(t, b), z);
}

// In-register transpose of eight rows of eight 32-bit lanes.
inline void transpose8(V (&r)[8]) {
  V t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {
    u[4 * h + 0] = _mm256_unpacklo_epi64(t[4 * h + 0], t[4 * h + 2]);  // columns 0 | 4
    u[4 * h + 1] = _mm256_unpackhi_epi64(t[4 * h + 0], t[4 * h + 2]);  // columns 1 | 5
    u[4 * h + 2] = _mm256_unpacklo_epi64(t[4 * h + 1], t[4 * h + 3]);  // columns 2 | 6
    u[4 * h + 3] = _mm256_unpackhi_epi64(t[4 * h + 1], t[4 * h + 3]);  // columns 3 | 7
  }
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
    r[j + 4] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
  }
}

// Coefficients at .. at + 7 of the sum of up to four products a[i] * b[i], Montgomery-reduced:
// in (-Q/2, 1.77Q) for inputs below 18Q.
inline V product_sum(const uint32_t *a, const uint32_t *b, uint32_t terms, size_t at) {
  V pe = _mm256_setzero_si256(), po = _mm256_setzero_si256();
  for (uint32_t i = 0; i < terms; ++i) {
    const V x = load(a + size_t(i) * N + at), y = load(b + size_t(i) * N + at);
    pe = _mm256_add_epi64(pe, _mm256_mul_epu32(x, y));
    po = _mm256_add_epi64(po, _mm256_mul_epu32(odd_down(x), odd_down(y)));
  }
  return montgomery_reduce64(pe, po);
}

// Pointwise products for coefficients at .. at + 7: congruent to the sum over i < count of
// a[i] * b[i] * 2^-32, in (-Q/2, 1.77Q).
inline V pointwise(const uint32_t *a, const uint32_t *b, uint32_t count, size_t at) {
  const uint32_t first = count < 4 ? count : 4;
  V acc = product_sum(a, b, first, at);
  // Further groups of four are added to a sum kept in (-0.01Q, 1.01Q).
  for (uint32_t i = first; i < count; i += 4) {
    const uint32_t terms = count - i < 4 ? count - i : 4;
    const size_t skip = size_t(i) * N;
    acc = reduce22_signed(_mm256_add_epi32(acc, product_sum(a + skip, b + skip, terms, at)));
  }
  return acc;
}

// Inverse transform of the pointwise products of a and b (count pairs), minus the product of
// the pair (sa, sb) when sa is not null, into out, in [0, 2Q).
// Bounds: the products enter below 2Q in absolute value (the difference is brought back into
// (-0.01Q, 1.01Q)), sums at most double per level, so the largest sum after eight levels stays
// below 256 * 1.77Q < 2^31; every twiddle product is below 0.75Q in absolute value.
inline void inverse_products(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                             const uint32_t *sa = nullptr, const uint32_t *sb = nullptr) {
  // Levels 1 .. 16, 64 coefficients at a time; each chunk reads its inputs before writing out.
  for (uint32_t c = 0; c < 4; ++c) {
    V r[8];
    for (uint32_t v = 0; v < 8; ++v) {
      r[v] = pointwise(a, b, count, 64 * c + 8 * v);
      if (sa != nullptr)
        r[v] = reduce22_signed(_mm256_sub_epi32(r[v], product_sum(sa, sb, 1, 64 * c + 8 * v)));
    }
    transpose8(r);  // r[j] lane i = coefficient 64c + 8i + j
    for (uint32_t s = 0; s < 4; ++s) gs(r[2 * s], r[2 * s + 1], lanes(T.inv1[c][s]));
    for (uint32_t s = 0; s < 2; ++s) {
      const Tw z = lanes(T.inv2[c][s]);
      gs(r[4 * s], r[4 * s + 2], z);
      gs(r[4 * s + 1], r[4 * s + 3], z);
    }
    {
      const Tw z = lanes(T.inv4[c]);
      for (uint32_t j = 0; j < 4; ++j) gs(r[j], r[j + 4], z);
    }
    transpose8(r);  // back: r[v] lane i = coefficient 64c + 8v + i
    for (uint32_t u = 0; u < 4; ++u) gs(r[2 * u], r[2 * u + 1], inv_tw(224 + 4 * c + u));
    for (uint32_t h = 0; h < 2; ++h) {
      const Tw z = inv_tw(240 + 2 * c + h);
      gs(r[4 * h], r[4 * h + 2], z);
      gs(r[4 * h + 1], r[4 * h + 3], z);
    }
    for (uint32_t v = 0; v < 8; ++v) store(out + 64 * c + 8 * v, r[v]);
  }

  // Levels 32, 64, 128 and the final scaling (folded into the last level).
  const V q = _mm256_set1_epi32(int32_t(Q));
  const Tw scale = broadcast(SCALE_C, SCALE_Q);
  const Tw last = broadcast(LAST_C, LAST_Q);
  for (uint32_t g = 0; g < 4; ++g) {
    V r[8];
    for (uint32_t m = 0; m < 8; ++m) r[m] = load(out + 8 * g + 32 * m);
    for (uint32_t u = 0; u < 4; ++u) gs(r[2 * u], r[2 * u + 1], inv_tw(248 + u));
    for (uint32_t h = 0; h < 2; ++h) {
      const Tw z = inv_tw(252 + h);
      gs(r[4 * h], r[4 * h + 2], z);
      gs(r[4 * h + 1], r[4 * h + 3], z);
    }
    for (uint32_t m = 0; m < 4; ++m) {
      const V x = r[m], y = r[m + 4];
      r[m] = montmul(_mm256_add_epi32(x, y), scale);
      r[m + 4] = montmul(_mm256_sub_epi32(x, y), last);
    }
    // Both results are within (-0.75Q, 0.75Q): adding Q gives [0, 2Q).
    for (uint32_t m = 0; m < 8; ++m) store(out + 8 * g + 32 * m, _mm256_add_epi32(r[m], q));
  }
}

}  // namespace

// In place, ordinary form -> NTT form, same positions as forward_ntt; any 32-bit input; output
// in [0, 12Q).
// Bounds: the first level starts from [0, 1.76Q) and adds (-Q, Q); each of the seven signed
// levels after it adds less than 0.51Q either way, so the values end in (-4.6Q, 6.3Q) and the
// final offset of 5Q makes them positive.
void forward_ntt_avx2(uint32_t *p) {
  // Levels 128, 64, 32.
  for (uint32_t g = 0; g < 4; ++g) {
    V r[8];
    for (uint32_t m = 0; m < 8; ++m) r[m] = load(p + 8 * g + 32 * m);
    for (uint32_t m = 0; m < 4; ++m) {
      const V a = reduce22_unsigned(r[m]);
      const V t = montmul_first(r[m + 4]);
      r[m + 4] = _mm256_sub_epi32(a, t);
      r[m] = _mm256_add_epi32(a, t);
    }
    for (uint32_t h = 0; h < 2; ++h) {
      const Tw z = fwd_tw(2 + h);
      ct(r[4 * h], r[4 * h + 2], z);
      ct(r[4 * h + 1], r[4 * h + 3], z);
    }
    for (uint32_t u = 0; u < 4; ++u) ct(r[2 * u], r[2 * u + 1], fwd_tw(4 + u));
    for (uint32_t m = 0; m < 8; ++m) store(p + 8 * g + 32 * m, r[m]);
  }

  // Levels 16, 8, then 4, 2, 1 in transposed form.
  const V offset = _mm256_set1_epi32(int32_t(5 * Q));
  for (uint32_t c = 0; c < 4; ++c) {
    V r[8];
    for (uint32_t v = 0; v < 8; ++v) r[v] = load(p + 64 * c + 8 * v);
    for (uint32_t h = 0; h < 2; ++h) {
      const Tw z = fwd_tw(8 + 2 * c + h);
      ct(r[4 * h], r[4 * h + 2], z);
      ct(r[4 * h + 1], r[4 * h + 3], z);
    }
    for (uint32_t u = 0; u < 4; ++u) ct(r[2 * u], r[2 * u + 1], fwd_tw(16 + 4 * c + u));
    transpose8(r);  // r[j] lane i = coefficient 64c + 8i + j
    {
      const Tw z = lanes(T.fwd4[c]);
      for (uint32_t j = 0; j < 4; ++j) ct(r[j], r[j + 4], z);
    }
    for (uint32_t s = 0; s < 2; ++s) {
      const Tw z = lanes(T.fwd2[c][s]);
      ct(r[4 * s], r[4 * s + 2], z);
      ct(r[4 * s + 1], r[4 * s + 3], z);
    }
    for (uint32_t s = 0; s < 4; ++s) ct(r[2 * s], r[2 * s + 1], lanes(T.fwd1[c][s]));
    transpose8(r);
    for (uint32_t v = 0; v < 8; ++v) store(p + 64 * c + 8 * v, _mm256_add_epi32(r[v], offset));
  }
}

// out = a * b (negacyclic); a, b NTT form below 18Q; out in [0, 2Q); out may be a or b.
void inverse_ntt_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  inverse_products(out, a, b, 1);
}

// out = sum of a[i] * b[i] over i < count; inputs NTT form below 18Q; out in [0, 2Q); out may be
// one polynomial of a or b.
void poly_inner_product_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  inverse_products(out, a, b, count);
}

// out = sum of a[i] * b[i] over i < count, minus c * d; inputs NTT form below 18Q; out in
// [0, 2Q); out may be one polynomial of the inputs.
void poly_inner_product_minus_avx2(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                   const uint32_t *c, const uint32_t *d) {
  inverse_products(out, a, b, count, c, d);
}

}  // namespace tavik
