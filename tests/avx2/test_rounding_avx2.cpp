// The vector rounding forms, on the path in use and in their AVX2 compilation, against the scalar
// rules: every value in [0, 12Q) for the Decompose-based ones, every value in [0, Q) and a spread
// of arbitrary 32-bit words for Power2Round, a polynomial vector at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Rounding.h"
#include "cpu.h"
#include "avx2/kernels_avx2.h"

using namespace tavik;

namespace {

constexpr uint32_t CHUNK = K * N;
using Vec = std::vector<uint32_t>;

struct Kernels {
  const char *name;
  void (*decompose)(uint32_t *, uint32_t *, const uint32_t *, uint32_t);
  uint32_t (*make_hint)(uint32_t *, const uint32_t *, const uint32_t *);
  void (*use_hint)(uint32_t *, const uint32_t *, const uint32_t *);
  void (*power2round)(uint32_t *, uint32_t *, const uint32_t *);
  void (*highbits)(uint32_t *, const uint32_t *, uint32_t);
};

// The path in use, and the AVX2 copies when this processor runs them.
std::vector<Kernels> kernels() {
  std::vector<Kernels> k = {{"path in use", PolyVec_decompose, PolyVec_make_hint, PolyVec_use_hint, PolyVec_Power2Round, polyvec_highbits}};
#if TAVIK_X86_KERNELS
  if (backend_available(Backend::avx2)) {
    k.push_back({"avx2", polyvec_decompose_avx2, polyvec_make_hint_avx2,
                 [](uint32_t *out, const uint32_t *hint, const uint32_t *a) { polyvec_use_hint_avx2(out, hint, a, K); },
                 [](uint32_t *t1, uint32_t *t0, const uint32_t *t) { polyvec_power2round_avx2(t1, t0, t, K); },
                 polyvec_highbits_avx2});
  }
#endif
  return k;
}

// Empty when equal, else the first differing index with its input and both values.
std::string first_difference(const Vec &got, const Vec &want, const Vec &in) {
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) {
      return "first difference at input " + std::to_string(in[i]) + ": got " + std::to_string(got[i]) +
             ", want " + std::to_string(want[i]);
    }
  }
  return "";
}

// Every a in [0, 12Q), K polynomials at a time: decompose, make_hint against a partner b a
// varying distance above a (equal and different high parts), use_hint with hints 0, 1 and other
// nonzero values.
TEST(RoundingVector, DecomposeBasedMatchScalarUpTo12Q) {
  const std::vector<Kernels> ks = kernels();
  Vec a(CHUNK), b(CHUNK), hint(CHUNK), a1(CHUNK), a0(CHUNK), h(CHUNK), out(CHUNK);
  Vec want_a1(CHUNK), want_a0(CHUNK), want_h(CHUNK), want_out(CHUNK);
  for (uint32_t i = 0; i < CHUNK; ++i) hint[i] = i % 5 == 4 ? 0x80000000u : i % 3;
  uint64_t hints_seen = 0;
  for (uint32_t start = 0; start < 12 * Q; start += CHUNK) {
    uint32_t want_ones = 0;
    for (uint32_t i = 0; i < CHUNK; ++i) {
      a[i] = start + i < 12 * Q ? start + i : 12 * Q - 1;
      b[i] = a[i] + (i * 40503u) % (Q / 8);
      want_a1[i] = Decompose(&want_a0[i], a[i]);
      want_h[i] = Make_hint(a[i], b[i]);
      want_ones += want_h[i];
      want_out[i] = Use_hint(hint[i], a[i]);
    }
    hints_seen += want_ones;
    for (const Kernels &k : ks) {
      k.decompose(a1.data(), a0.data(), a.data(), K);
      std::string diff = first_difference(a1, want_a1, a) + first_difference(a0, want_a0, a);
      ASSERT_TRUE(diff.empty()) << k.name << " decompose: " << diff;
      k.highbits(a1.data(), a.data(), K);
      diff = first_difference(a1, want_a1, a);
      ASSERT_TRUE(diff.empty()) << k.name << " highbits: " << diff;
      const uint32_t ones = k.make_hint(h.data(), a.data(), b.data());
      diff = first_difference(h, want_h, a);
      ASSERT_TRUE(diff.empty()) << k.name << " make_hint: " << diff;
      ASSERT_EQ(ones, want_ones) << k.name << " make_hint count from " << start;
      k.use_hint(out.data(), hint.data(), a.data());
      diff = first_difference(out, want_out, a);
      ASSERT_TRUE(diff.empty()) << k.name << " use_hint: " << diff;
    }
  }
  EXPECT_GT(hints_seen, 12 * uint64_t(Q) / 16);  // both hint values were exercised
}

// The documented overlaps: make_hint writing over a or b, use_hint writing over a or the hint;
// decompose of a single polynomial touches only that polynomial.
TEST(RoundingVector, AliasingAndCount) {
  std::mt19937 rng(31);
  Vec a(CHUNK), b(CHUNK), hint(CHUNK);
  for (uint32_t i = 0; i < CHUNK; ++i) a[i] = rng() % (12 * Q), b[i] = rng() % (12 * Q), hint[i] = rng() % 3;
  Vec want_h(CHUNK), want_out(CHUNK);
  uint32_t want_ones = 0;
  for (uint32_t i = 0; i < CHUNK; ++i) {
    want_h[i] = Make_hint(a[i], b[i]);
    want_ones += want_h[i];
    want_out[i] = Use_hint(hint[i], a[i]);
  }
  for (const Kernels &k : kernels()) {
    Vec x = a;
    EXPECT_EQ(k.make_hint(x.data(), x.data(), b.data()), want_ones) << k.name;
    EXPECT_EQ(first_difference(x, want_h, a), "") << k.name << " make_hint over a";
    x = b;
    EXPECT_EQ(k.make_hint(x.data(), a.data(), x.data()), want_ones) << k.name;
    EXPECT_EQ(first_difference(x, want_h, a), "") << k.name << " make_hint over b";
    x = a;
    k.use_hint(x.data(), hint.data(), x.data());
    EXPECT_EQ(first_difference(x, want_out, a), "") << k.name << " use_hint over a";
    x = hint;
    k.use_hint(x.data(), x.data(), a.data());
    EXPECT_EQ(first_difference(x, want_out, a), "") << k.name << " use_hint over the hint";

    Vec a1(2 * N, 77), a0(2 * N, 77);
    k.decompose(a1.data(), a0.data(), a.data(), 1);
    for (uint32_t i = 0; i < 2 * N; ++i) {
      uint32_t low = 77;
      const uint32_t high = i < N ? Decompose(&low, a[i]) : 77;
      ASSERT_EQ(a1[i], high) << k.name << " " << i;
      ASSERT_EQ(a0[i], low) << k.name << " " << i;
    }
  }
}

// Every t in [0, Q), then arbitrary 32-bit words including the extremes: the vector form reduces
// any input before the split.
TEST(RoundingVector, Power2RoundMatchesScalar) {
  const std::vector<Kernels> ks = kernels();
  std::mt19937 rng(37);
  Vec t(CHUNK), t1(CHUNK), t0(CHUNK), want1(CHUNK), want0(CHUNK);
  const uint32_t extremes[] = {Q - 1, Q, 2 * Q - 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFFu - Q};
  for (uint32_t start = 0; start < Q + 64 * CHUNK; start += CHUNK) {
    for (uint32_t i = 0; i < CHUNK; ++i) {
      t[i] = start < Q ? (start + i < Q ? start + i : Q - 1) : rng();
      if (start >= Q && i < 7) t[i] = extremes[i];
      Power2Round(&want1[i], &want0[i], t[i] % Q);
    }
    for (const Kernels &k : ks) {
      k.power2round(t1.data(), t0.data(), t.data());
      const std::string diff = first_difference(t1, want1, t) + first_difference(t0, want0, t);
      ASSERT_TRUE(diff.empty()) << k.name << " Power2Round: " << diff;
    }
  }
}

}  // namespace
