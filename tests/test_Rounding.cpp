// Power2Round, Decompose, HighBits and the hints: fixed tables, exhaustive identities over [0, Q),
// and the signing-side guarantee that the verifier recovers the high parts from w' and the hint.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "Rounding.h"

using namespace tavik;

namespace {

// Plain-division reference of the scaled rounding: nearest multiple m of Q to 16a, r0 = 16a - mQ.
void ref_decompose(uint64_t a, uint32_t *a1, int64_t *r0) {
  int64_t r = int64_t((16 * a) % Q);
  if (r > int64_t(HALF_Q)) r -= Q;
  *r0 = r;
  *a1 = uint32_t(((int64_t(16 * a) - r) / Q) % 16);
}

TEST(Rounding, Power2RoundTable) {
  struct Case { uint32_t a, a1, a0; };
  const Case cases[] = {{0, 0, Q},           {4096, 0, Q + 4096},    {4097, 1, Q - 4095},
                        {4190208, 511, Q + 4096}, {4190209, 0, Q - 1024}, {Q - 1, 0, Q - 1}};
  for (const Case &c : cases) {
    uint32_t a1 = 99, a0 = 99;
    Power2Round(&a1, &a0, c.a);
    EXPECT_EQ(a1, c.a1) << c.a;
    EXPECT_EQ(a0, c.a0) << c.a;
  }
}

TEST(Rounding, Power2RoundExhaustive) {
  for (uint32_t a = 0; a < Q; ++a) {
    uint32_t a1, a0;
    Power2Round(&a1, &a0, a);
    ASSERT_LE(a1, 511u) << a;
    ASSERT_GE(a0, Q - 4095) << a;
    ASSERT_LE(a0, Q + 4096) << a;
    ASSERT_EQ((uint64_t(a1) * 8192 + a0) % Q, a) << a;
  }
}

TEST(Rounding, PolyVecPower2RoundReducesAnyInput) {
  std::mt19937 rng(7);
  std::vector<uint32_t> t(K * N), t1(K * N), t0(K * N);
  for (uint32_t i = 0; i < K * N; ++i) t[i] = rng();
  const uint32_t extremes[] = {0, Q - 1, Q, 2 * Q - 1, 4190209 + 3 * Q, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  for (uint32_t i = 0; i < 8; ++i) t[i] = extremes[i];
  PolyVec_Power2Round(t1.data(), t0.data(), t.data());
  for (uint32_t i = 0; i < K * N; ++i) {
    uint32_t a1, a0;
    Power2Round(&a1, &a0, t[i] % Q);
    ASSERT_EQ(t1[i], a1) << i;
    ASSERT_EQ(t0[i], a0) << i;
  }
}

TEST(Rounding, DecomposeTable) {
  struct Case { uint32_t a, a1; int32_t r0; };
  const Case cases[] = {{0, 0, 0},           {1, 0, 16},         {130976, 0, 2095616},
                        {130977, 1, -2095601}, {261952, 1, -1},    {2095616, 8, -8},
                        {2095617, 8, 8},     {Q - 1, 0, -16},    {Q, 0, 0},
                        {Q + 1, 0, 16}};
  for (const Case &c : cases) {
    uint32_t a0 = 99;
    EXPECT_EQ(Decompose(&a0, c.a), c.a1) << c.a;
    EXPECT_EQ(int64_t(a0) - Q, c.r0) << c.a;
    EXPECT_EQ(HighBits(c.a), c.a1) << c.a;
  }
}

// Every residue against the division reference, and every representative below 12Q (plus the
// top of the 64Q contract) against the residue.
TEST(Rounding, DecomposeExhaustive) {
  for (uint32_t a = 0; a < Q; ++a) {
    uint32_t a0;
    uint32_t a1 = Decompose(&a0, a);
    uint32_t ra1;
    int64_t rr0;
    ref_decompose(a, &ra1, &rr0);
    ASSERT_EQ(a1, ra1) << a;
    ASSERT_EQ(int64_t(a0) - Q, rr0) << a;
    ASSERT_LE(a1, 15u);
    for (uint32_t k : {1u, 2u, 3u, 5u, 8u, 11u, 63u}) {
      uint32_t b0;
      ASSERT_EQ(Decompose(&b0, a + k * Q), a1) << a << " + " << k << "Q";
      ASSERT_EQ(b0, a0) << a << " + " << k << "Q";
    }
  }
}

// {hint, a, Use_hint(hint, a)}. The step's direction turns between r0 = 0 (down) and r0 = +1
// (up): 3929281 is the inverse of 16 modulo Q, so 16a = 15Q + 1, high part 15 and r0 = +1, and
// its hint wraps up to 0; a = 0 has r0 = 0 and its hint wraps down to 15.
TEST(Rounding, UseHintTable) {
  struct Case { uint32_t hint, a, out; };
  const Case cases[] = {{1, 0, 15}, {1, 1, 1}, {1, Q - 1, 15}, {7, 1, 1},  // nonzero counts as 1
                        {0, 0, 0},  {0, 1, 0}, {0, Q - 1, 0},  {0, 2095617, 8},
                        {1, 2095617, 9}, {1, 2095616, 7}, {1, 130977, 0},
                        {1, 3929281, 0}, {0, 3929281, 15}};
  for (const Case &c : cases) EXPECT_EQ(Use_hint(c.hint, c.a), c.out) << c.hint << " " << c.a;
}

// The signer accepts v with |r0(v)| < 16 * (GAMMA2 - BETA) and makes the hint between w' = v + e
// and v, |e| < GAMMA2; the verifier sees only w' and the hint and must get HighBits(v) back.
TEST(Rounding, HintRecoversHighBitsExhaustive) {
  std::mt19937 rng(11);
  const int32_t edges[] = {int32_t(GAMMA2) - 1, -int32_t(GAMMA2) + 1, 1, -1, 0};
  uint32_t hints = 0;
  for (uint32_t v = 0; v < Q; ++v) {
    uint32_t low;
    uint32_t v1 = Decompose(&low, v);
    int32_t r0 = int32_t(low - Q);
    if (r0 >= int32_t(R0_BOUND) || r0 <= -int32_t(R0_BOUND)) continue;
    int32_t rand_e = int32_t(rng() % (2 * GAMMA2 - 1)) - int32_t(GAMMA2 - 1);
    for (int32_t e : {edges[0], edges[1], edges[2], edges[3], edges[4], rand_e}) {
      uint32_t w = uint32_t(int64_t(v) + e + 3 * int64_t(Q));  // an unreduced representative
      uint32_t h = Make_hint(w, v);
      hints += h;
      ASSERT_EQ(Make_hint(v, w), h);
      ASSERT_EQ(Use_hint(h, w), v1) << v << " " << e;
    }
  }
  EXPECT_GT(hints, 0u);  // the boundary crossings were exercised
}

TEST(Rounding, VectorFormsMatchScalar) {
  std::mt19937 rng(3);
  std::vector<uint32_t> a(K * N), b(K * N), hint(K * N), a1(K * N), a0(K * N), h(K * N), out(K * N);
  for (uint32_t i = 0; i < K * N; ++i) {
    a[i] = rng() % (12 * Q);
    b[i] = (i % 3 == 0) ? a[i] : rng() % (12 * Q);
    hint[i] = rng() % 3;
  }
  PolyVec_decompose(a1.data(), a0.data(), a.data(), K);
  uint32_t ones = PolyVec_make_hint(h.data(), a.data(), b.data());
  PolyVec_use_hint(out.data(), hint.data(), a.data());
  uint32_t expect_ones = 0;
  for (uint32_t i = 0; i < K * N; ++i) {
    uint32_t low;
    ASSERT_EQ(a1[i], Decompose(&low, a[i]));
    ASSERT_EQ(a0[i], low);
    ASSERT_EQ(h[i], Make_hint(a[i], b[i]));
    expect_ones += h[i];
    ASSERT_EQ(out[i], Use_hint(hint[i], a[i]));
  }
  EXPECT_EQ(ones, expect_ones);
  EXPECT_EQ(PolyVec_make_hint(h.data(), a.data(), a.data()), 0u);
  for (uint32_t x : h) ASSERT_EQ(x, 0u);

  // count 0 writes nothing; count 1 writes exactly one polynomial.
  std::vector<uint32_t> s1(2 * N, 77), s0(2 * N, 77);
  PolyVec_decompose(s1.data(), s0.data(), a.data(), 0);
  PolyVec_decompose(s1.data(), s0.data(), a.data(), 1);
  for (uint32_t i = 0; i < 2 * N; ++i) {
    ASSERT_EQ(s1[i] == 77, i >= N) << i;
    ASSERT_EQ(s0[i] == 77, i >= N) << i;
  }
}

}  // namespace
