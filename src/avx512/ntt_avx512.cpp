// AVX-512 forward and inverse transforms, sixteen coefficients per register.
//
// The arithmetic is that of the AVX2 kernels (ntt_avx2.cpp), butterfly for butterfly: signed
// 32-bit representatives, signed Montgomery multiplication by centred twiddles with the
// 32x32 -> 64-bit products taken on the even lanes and on the odd lanes shifted down, the same
// lazy reductions, hence the same bounds and output ranges.
//
// Layout: a polynomial is sixteen registers, register v holding coefficients 16v .. 16v + 15 as
// in memory, all of them loaded before the first level. The levels with len >= 16 pair whole
// registers. The levels len 8, 4, 2, 1 work on one pair of registers (2p, 2p + 1) at a time:
// 32 coefficients whose offsets in the pair have the bits c4 .. c0, c4 being the register.
// Before the level of len 2^k an exchange step swaps the register bit with lane bit k, so that
// the two partners of every butterfly sit in the same lane of the two registers. After the step
// for k the register bit is c_k, lane bits j >= k hold c_(j+1) and lane bits j < k hold c_j.
// After the last level one two-source permutation interleaves the pair back into memory order.
// The inverse passes through the same states backwards: a permutation splits the even from the
// odd coefficients, then the steps for k = 0 .. 3 (each its own inverse) restore memory order.
#include <cstddef>
#include <type_traits>
#include <utility>

#include "Reduce.h"
#include "avx512/kernels_avx512.h"
#include "params.h"
#include "rules/ntt_rules.h"

namespace tavik {
inline namespace TAVIK_AVX512_ABI {
namespace {

using V = __m512i;

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

// A twiddle that varies by lane and its companions; the odd lanes' are shifted down when loaded.
struct alignas(64) LaneTwiddle {
  int32_t z[16], zq[16];
};

// The block (of the whole polynomial) of lane `lane` of the first register of pair p at the
// in-register level of len 2^k, k < 4. That lane holds the pair's offset
// ((lane >> k) << (k + 1)) | (lane mod 2^k), so its block is (32p + offset) >> (k + 1).
constexpr uint32_t lane_block(uint32_t k, uint32_t p, uint32_t lane) { return ((16 * p) >> k) + (lane >> k); }

struct Tables {
  int32_t fwd[256], fwd_q[256];  // centred forward twiddles (k = 1..255) and companions
  int32_t inv[256], inv_q[256];  // centred inverse twiddles (k = 0..254) and companions
  // [k][p]: the twiddles of the level of len 2^k for pair p, lane by lane. The level's blocks
  // use forward twiddles from 128 / 2^k on and inverse ones from 256 - 256 / 2^k on.
  LaneTwiddle fwd_lanes[4][8], inv_lanes[4][8];
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
  for (uint32_t k = 0; k < 4; ++k) {
    for (uint32_t p = 0; p < 8; ++p) {
      for (uint32_t lane = 0; lane < 16; ++lane) {
        const uint32_t block = lane_block(k, p, lane);
        LaneTwiddle &f = t.fwd_lanes[k][p], &i = t.inv_lanes[k][p];
        f.z[lane] = t.fwd[(128 >> k) + block];
        f.zq[lane] = t.fwd_q[(128 >> k) + block];
        i.z[lane] = t.inv[256 - (256 >> k) + block];
        i.zq[lane] = t.inv_q[256 - (256 >> k) + block];
      }
    }
  }
  return t;
}

alignas(64) constexpr Tables T = make_tables();

static_assert(T.fwd[1] == 16400 && T.fwd[7] == 3869184 - int32_t(Q));
static_assert(T.inv[254] == 4174833 - int32_t(Q));
// The lane tables cover each level's twiddles once, from its first to its last.
static_assert(T.fwd_lanes[3][0].z[0] == T.fwd[16] && T.fwd_lanes[3][7].z[15] == T.fwd[31]);
static_assert(T.fwd_lanes[0][0].z[0] == T.fwd[128] && T.fwd_lanes[0][7].z[15] == T.fwd[255]);
static_assert(T.inv_lanes[0][7].z[15] == T.inv[127] && T.inv_lanes[3][0].z[0] == T.inv[224]);
static_assert(T.inv_lanes[3][7].z[15] == T.inv[239]);

// Index vectors of the two-source permutations between memory order and the even / odd split.
struct alignas(64) Permutations {
  int32_t even[16], odd[16], low[16], high[16];
};

constexpr Permutations make_permutations() {
  Permutations t{};
  for (int32_t i = 0; i < 16; ++i) {
    t.even[i] = 2 * i;  // lanes 2i of the pair: a's, then b's (index 16 and up)
    t.odd[i] = 2 * i + 1;
    t.low[i] = i / 2 + 16 * (i & 1);  // lane i of the first register: a's or b's lane i / 2
    t.high[i] = 8 + i / 2 + 16 * (i & 1);
  }
  return t;
}

alignas(64) constexpr Permutations PERM = make_permutations();

// ---------------------------------------------------------------------------------------------
// Register helpers.

// The instructions whose plain intrinsics pass an undefined vector that some compilers warn
// about, through their zero-masked forms with every lane selected (the same instructions).
constexpr __mmask8 ALL8 = 0xFF;
constexpr __mmask16 ALL16 = 0xFFFF;
inline V mul_even(V a, V b) { return _mm512_maskz_mul_epi32(ALL8, a, b); }   // signed 32x32 -> 64
inline V mulu_even(V a, V b) { return _mm512_maskz_mul_epu32(ALL8, a, b); }  // unsigned
inline V shift22(V x) { return _mm512_maskz_srli_epi32(ALL16, x, 22); }
inline V shift22_signed(V x) { return _mm512_maskz_srai_epi32(ALL16, x, 22); }

inline V load(const uint32_t *p) { return _mm512_loadu_si512(p); }
inline void store(uint32_t *p, V v) { _mm512_storeu_si512(p, v); }
inline V load_lanes(const int32_t (&t)[16]) { return _mm512_load_si512(t); }
inline __m512 as_ps(V a) { return _mm512_castsi512_ps(a); }
inline V as_si(__m512 a) { return _mm512_castps_si512(a); }

// The odd lanes moved onto the even lanes below them (what the even-lane products read).
inline V odd_down(V a) { return _mm512_maskz_srli_epi64(ALL8, a, 32); }

// Lane 2j gets the high half of the 64-bit lane j of pe (the even products), lane 2j + 1 that of po.
inline V high_halves(V pe, V po) { return as_si(_mm512_mask_movehdup_ps(as_ps(po), 0x5555, as_ps(pe))); }

// A twiddle as the four registers the Montgomery product reads.
struct Tw {
  V even, odd, even_q, odd_q;
};

inline Tw broadcast(int32_t z, int32_t zq) {
  const V a = _mm512_set1_epi32(z), b = _mm512_set1_epi32(zq);
  return Tw{a, a, b, b};
}
inline Tw fwd_tw(uint32_t k) { return broadcast(T.fwd[k], T.fwd_q[k]); }
inline Tw inv_tw(uint32_t k) { return broadcast(T.inv[k], T.inv_q[k]); }
inline Tw lanes(const LaneTwiddle &t) {
  const V z = load_lanes(t.z), zq = load_lanes(t.zq);
  return Tw{z, odd_down(z), zq, odd_down(zq)};
}

// Signed a -> a * z * 2^-32 mod Q, |result| <= |a| * |z| / 2^32 + Q/2.
inline V montmul(V a, const Tw &z) {
  const V q = _mm512_set1_epi32(int32_t(Q));
  const V ao = odd_down(a);
  const V pe = mul_even(a, z.even);
  const V po = mul_even(ao, z.odd);
  const V me = mul_even(mul_even(a, z.even_q), q);
  const V mo = mul_even(mul_even(ao, z.odd_q), q);
  // The low halves of p and m*Q agree, so the difference of the 64-bit values is exact.
  return high_halves(_mm512_sub_epi64(pe, me), _mm512_sub_epi64(po, mo));
}

// Unsigned a (any 32-bit value) -> a * FIRST * 2^-32 mod Q, in (-Q, FIRST].
inline V montmul_first(V a) {
  const V q = _mm512_set1_epi32(int32_t(Q));
  const V zv = _mm512_set1_epi32(int32_t(FIRST));
  const V zq = _mm512_set1_epi32(int32_t(FIRST_Q));
  const V ao = odd_down(a);
  const V pe = mulu_even(a, zv);
  const V po = mulu_even(ao, zv);
  const V me = mulu_even(mulu_even(a, zq), q);
  const V mo = mulu_even(mulu_even(ao, zq), q);
  return high_halves(_mm512_sub_epi64(pe, me), _mm512_sub_epi64(po, mo));
}

// 64-bit values P (even lanes' in pe, odd lanes' in po), each in [0, 2^62) -> P * 2^-32 mod Q,
// in (-Q/2, P / 2^32 + Q/2].
inline V montgomery_reduce64(V pe, V po) {
  const V q = _mm512_set1_epi32(int32_t(Q));
  const V qinv = _mm512_set1_epi32(int32_t(QINV_POS));
  const V me = mul_even(mulu_even(pe, qinv), q);
  const V mo = mul_even(mulu_even(po, qinv), q);
  return high_halves(_mm512_sub_epi64(pe, me), _mm512_sub_epi64(po, mo));
}

// Unsigned x (any 32-bit value) -> x - (x >> 22) * Q, congruent, in [0, 7335936] (below 1.76Q).
inline V reduce22_unsigned(V x) {
  const V q = _mm512_set1_epi32(int32_t(Q));
  return _mm512_sub_epi32(x, _mm512_mullo_epi32(shift22(x), q));
}

// Signed x -> x - floor(x / 2^22) * Q, congruent; in (-0.01Q, 1.01Q) for |x| < 8Q.
inline V reduce22_signed(V x) {
  const V q = _mm512_set1_epi32(int32_t(Q));
  return _mm512_sub_epi32(x, _mm512_mullo_epi32(shift22_signed(x), q));
}

// f(0), f(1), .. f(n - 1) with the index a compile-time constant, so that the sixteen registers
// of a polynomial are named by constants and stay in registers (forced inline: a body left out
// of line would take them by reference, through memory).
template <uint32_t n, typename F>
[[gnu::always_inline]] inline void unroll(F &&f) {
  [&]<uint32_t... i>(std::integer_sequence<uint32_t, i...>) __attribute__((always_inline)) {
    (f(std::integral_constant<uint32_t, i>{}), ...);
  }(std::make_integer_sequence<uint32_t, n>{});
}

// One whole-register level of distance 2^s registers (len 2^(s + 4)): op(r[v], r[v + 2^s], block)
// for the eight v with bit s clear, block = v >> (s + 1) the index of the level's block.
template <uint32_t s, typename Op>
[[gnu::always_inline]] inline void whole_level(V (&r)[16], Op &&op) {
  unroll<8>([&](auto i) {
    constexpr uint32_t v = ((i >> s) << (s + 1)) | (i & ((1u << s) - 1));
    op(r[v], r[v + (1u << s)], v >> (s + 1));
  });
}

// Forward butterfly: (a, b) -> (a + b*z, a - b*z).
inline void ct(V &a, V &b, const Tw &z) {
  const V t = montmul(b, z);
  b = _mm512_sub_epi32(a, t);
  a = _mm512_add_epi32(a, t);
}

// Inverse butterfly: (a, b) -> (a + b, (a - b)*z).
inline void gs(V &a, V &b, const Tw &z) {
  const V t = a;
  a = _mm512_add_epi32(t, b);
  b = montmul(_mm512_sub_epi32(t, b), z);
}

// The exchange step for lane bit k of a pair (a, b): the new a holds the lanes of a and of b
// whose bit k is clear (a's where the new lane's bit k is clear, b's where it is set), the new b
// those whose bit k is set. Applied twice it gives back (a, b).
template <int k>
inline void exchange(V &a, V &b) {
  V x, y;
  if constexpr (k == 3) {  // 256-bit halves
    x = _mm512_maskz_shuffle_i64x2(ALL8, a, b, 0x44);
    y = _mm512_maskz_shuffle_i64x2(ALL8, a, b, 0xEE);
  } else if constexpr (k == 2) {  // 128-bit blocks: the two halves of each 256-bit half swapped
    x = _mm512_mask_permutex_epi64(a, __mmask8(0xCC), b, 0x4E);
    y = _mm512_mask_permutex_epi64(b, __mmask8(0x33), a, 0x4E);
  } else if constexpr (k == 1) {  // 64-bit lanes
    x = _mm512_maskz_unpacklo_epi64(ALL8, a, b);
    y = _mm512_maskz_unpackhi_epi64(ALL8, a, b);
  } else {  // 32-bit lanes
    static_assert(k == 0);
    x = as_si(_mm512_mask_moveldup_ps(as_ps(a), __mmask16(0xAAAA), as_ps(b)));
    y = as_si(_mm512_mask_movehdup_ps(as_ps(b), __mmask16(0x5555), as_ps(a)));
  }
  a = x;
  b = y;
}

// Memory order -> a the even, b the odd coefficients of the pair (the state after the step for 0).
inline void split(V &a, V &b) {
  const V x = _mm512_permutex2var_epi32(a, load_lanes(PERM.even), b);
  b = _mm512_permutex2var_epi32(a, load_lanes(PERM.odd), b);
  a = x;
}

// The inverse of split.
inline void interleave(V &a, V &b) {
  const V x = _mm512_permutex2var_epi32(a, load_lanes(PERM.low), b);
  b = _mm512_permutex2var_epi32(a, load_lanes(PERM.high), b);
  a = x;
}

// Coefficients at .. at + 15 of the sum of up to four products a[i] * b[i], Montgomery-reduced:
// in (-Q/2, 1.77Q) for inputs below 18Q.
inline V product_sum(const uint32_t *a, const uint32_t *b, uint32_t terms, size_t at) {
  V pe = _mm512_setzero_si512(), po = _mm512_setzero_si512();
  for (uint32_t i = 0; i < terms; ++i) {
    const V x = load(a + size_t(i) * N + at), y = load(b + size_t(i) * N + at);
    pe = _mm512_add_epi64(pe, mulu_even(x, y));
    po = _mm512_add_epi64(po, mulu_even(odd_down(x), odd_down(y)));
  }
  return montgomery_reduce64(pe, po);
}

// Pointwise products for coefficients at .. at + 15: congruent to the sum over i < count of
// a[i] * b[i] * 2^-32, in (-Q/2, 1.77Q).
inline V pointwise(const uint32_t *a, const uint32_t *b, uint32_t count, size_t at) {
  const uint32_t first = count < 4 ? count : 4;
  V acc = product_sum(a, b, first, at);
  // Further groups of four are added to a sum kept in (-0.01Q, 1.01Q).
  for (uint32_t i = first; i < count; i += 4) {
    const uint32_t terms = count - i < 4 ? count - i : 4;
    const size_t skip = size_t(i) * N;
    acc = reduce22_signed(_mm512_add_epi32(acc, product_sum(a + skip, b + skip, terms, at)));
  }
  return acc;
}

// Inverse transform of the pointwise products of a and b (count pairs), minus the product of
// the pair (sa, sb) when sa is not null, into out, in [0, 2Q); out may be any one input polynomial.
// Bounds: the products enter below 2Q in absolute value (the difference is brought back into
// (-0.01Q, 1.01Q)), sums at most double per level, so the largest sum after eight levels stays
// below 256 * 1.77Q < 2^31; every twiddle product is below 0.75Q in absolute value.
inline void inverse_products(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                             const uint32_t *sa = nullptr, const uint32_t *sb = nullptr) {
  // The products (or their differences) pass through out: block v of out is written once block
  // v of every input has been read, and later blocks read only their own, so out may be an input.
  for (uint32_t v = 0; v < 16; ++v) {
    V x = pointwise(a, b, count, 16 * v);
    if (sa != nullptr) x = reduce22_signed(_mm512_sub_epi32(x, product_sum(sa, sb, 1, 16 * v)));
    store(out + 16 * v, x);
  }
  V r[16];
  unroll<16>([&](auto v) { r[v] = load(out + 16 * v); });

  // Levels 1, 2, 4, 8 within each pair of registers.
  unroll<8>([&](auto p) {
    V &x = r[2 * p], &y = r[2 * p + 1];
    split(x, y);
    gs(x, y, lanes(T.inv_lanes[0][p]));
    exchange<0>(x, y);
    gs(x, y, lanes(T.inv_lanes[1][p]));
    exchange<1>(x, y);
    gs(x, y, lanes(T.inv_lanes[2][p]));
    exchange<2>(x, y);
    gs(x, y, lanes(T.inv_lanes[3][p]));
    exchange<3>(x, y);
  });

  // Levels 16, 32, 64: the level's twiddles start at 240, 248, 252.
  whole_level<0>(r, [](V &x, V &y, uint32_t block) { gs(x, y, inv_tw(240 + block)); });
  whole_level<1>(r, [](V &x, V &y, uint32_t block) { gs(x, y, inv_tw(248 + block)); });
  whole_level<2>(r, [](V &x, V &y, uint32_t block) { gs(x, y, inv_tw(252 + block)); });

  // Level 128 and the final scaling (folded into the last twiddle). Both results are within
  // (-0.75Q, 0.75Q): adding Q gives [0, 2Q).
  const V q = _mm512_set1_epi32(int32_t(Q));
  const Tw scale = broadcast(SCALE_C, SCALE_Q);
  const Tw last = broadcast(LAST_C, LAST_Q);
  unroll<8>([&](auto v) {
    const V x = r[v], y = r[v + 8];
    store(out + 16 * v, _mm512_add_epi32(montmul(_mm512_add_epi32(x, y), scale), q));
    store(out + 16 * (v + 8), _mm512_add_epi32(montmul(_mm512_sub_epi32(x, y), last), q));
  });
}

}  // namespace

// In place, ordinary form -> NTT form, same positions as forward_ntt; any 32-bit input; output
// in [0, 12Q).
// Bounds: the first level starts from [0, 1.76Q) and adds (-Q, Q); each of the seven signed
// levels after it adds less than 0.51Q either way, so the values end in (-4.6Q, 6.3Q) and the
// final offset of 5Q makes them positive.
void forward_ntt_avx512(uint32_t *p) {
  V r[16];
  unroll<16>([&](auto v) { r[v] = load(p + 16 * v); });

  // Level 128, on unsigned inputs.
  unroll<8>([&](auto v) {
    const V a = reduce22_unsigned(r[v]);
    const V t = montmul_first(r[v + 8]);
    r[v + 8] = _mm512_sub_epi32(a, t);
    r[v] = _mm512_add_epi32(a, t);
  });

  // Levels 64, 32, 16: the level's twiddles start at 2, 4, 8.
  whole_level<2>(r, [](V &x, V &y, uint32_t block) { ct(x, y, fwd_tw(2 + block)); });
  whole_level<1>(r, [](V &x, V &y, uint32_t block) { ct(x, y, fwd_tw(4 + block)); });
  whole_level<0>(r, [](V &x, V &y, uint32_t block) { ct(x, y, fwd_tw(8 + block)); });

  // Levels 8, 4, 2, 1 within each pair of registers, which is then stored.
  const V offset = _mm512_set1_epi32(int32_t(5 * Q));
  unroll<8>([&](auto q) {
    V &x = r[2 * q], &y = r[2 * q + 1];
    exchange<3>(x, y);
    ct(x, y, lanes(T.fwd_lanes[3][q]));
    exchange<2>(x, y);
    ct(x, y, lanes(T.fwd_lanes[2][q]));
    exchange<1>(x, y);
    ct(x, y, lanes(T.fwd_lanes[1][q]));
    exchange<0>(x, y);
    ct(x, y, lanes(T.fwd_lanes[0][q]));
    interleave(x, y);
    store(p + 32 * q, _mm512_add_epi32(x, offset));
    store(p + 32 * q + 16, _mm512_add_epi32(y, offset));
  });
}

// out = a * b (negacyclic); a, b NTT form below 18Q; out in [0, 2Q); out may be a or b.
void inverse_ntt_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b) {
  inverse_products(out, a, b, 1);
}

// out = sum of a[i] * b[i] over i < count; inputs NTT form below 18Q; out in [0, 2Q); out may be
// one polynomial of a or b.
void poly_inner_product_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count) {
  inverse_products(out, a, b, count);
}

// out = sum of a[i] * b[i] over i < count, minus c * d; inputs NTT form below 18Q; out in
// [0, 2Q); out may be one polynomial of the inputs.
void poly_inner_product_minus_avx512(uint32_t *out, const uint32_t *a, const uint32_t *b, uint32_t count,
                                     const uint32_t *c, const uint32_t *d) {
  inverse_products(out, a, b, count, c, d);
}

}  // namespace TAVIK_AVX512_ABI
}  // namespace tavik
