// The AVX-512 transforms and products against the scalar kernels and the schoolbook product:
// equal residues, the stated output ranges, and outputs written over an input.
#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "avx512_suite.h"
#include "kernels.h"
#include "params.h"
#include "poly_reference.h"

using namespace tavik;

namespace {

using poly_reference::Poly;
using poly_reference::reduced;
using poly_reference::schoolbook;

constexpr uint64_t FWD_BOUND = 12 * uint64_t(Q);      // forward_ntt_avx512's output, any input
constexpr uint64_t PRODUCT_BOUND = 2 * uint64_t(Q);   // inverse / inner product output
constexpr uint32_t NTT_INPUT_MAX = 18 * Q - 1;        // largest NTT-form input admitted

const Kernels &scalar() { return kernels_of(Backend::scalar); }

testing::AssertionResult SameResidues(const uint32_t *got, const uint32_t *want) {
  for (uint32_t i = 0; i < N; ++i)
    if (got[i] % Q != want[i] % Q)
      return testing::AssertionFailure() << "index " << i << ": " << got[i] << " vs " << want[i] << " mod Q";
  return testing::AssertionSuccess();
}

testing::AssertionResult AllBelow(const uint32_t *p, uint64_t bound) {
  for (uint32_t i = 0; i < N; ++i)
    if (p[i] >= bound) return testing::AssertionFailure() << "index " << i << " holds " << p[i];
  return testing::AssertionSuccess();
}

Poly random_poly(std::mt19937 &rng, uint32_t lo, uint32_t hi) {
  std::uniform_int_distribution<uint32_t> d(lo, hi);
  Poly p;
  for (uint32_t &x : p) x = d(rng);
  return p;
}

Poly filled(uint32_t v) {
  Poly p;
  p.fill(v);
  return p;
}

Poly monomial(uint32_t at, uint32_t value) {
  Poly p{};
  p[at] = value;
  return p;
}

Poly forward512(Poly p) {
  forward_ntt_avx512(p.data());
  return p;
}

// Monomials at every seventh position meet every register and every lane; the
// extremes are the largest inputs the 32-bit arithmetic meets.
TEST(NttAvx512, ForwardMatchesScalar) {
  AVX512_SUITE_REQUIRE();
  std::mt19937 rng(512);
  std::vector<std::pair<std::string, Poly>> inputs = {
      {"zeros", Poly{}},
      {"all 2Q-1", filled(2 * Q - 1)},
      {"all 18Q-1", filled(NTT_INPUT_MAX)},
      {"all 2^32-1", filled(~0u)},
      {"[0,2Q)", random_poly(rng, 0, 2 * Q - 1)},
      {"32-bit", random_poly(rng, 0, ~0u)},
  };
  for (uint32_t at = 0; at < N; at += 7) inputs.push_back({"X^" + std::to_string(at), monomial(at, Q - 1 - at)});
  inputs.push_back({"X^255", monomial(255, 1)});
  for (const auto &[name, p] : inputs) {
    SCOPED_TRACE(name);
    const Poly got = forward512(p);
    Poly want = reduced(p);  // the scalar transform takes inputs below 2Q
    scalar().forward_ntt(want.data());
    EXPECT_TRUE(AllBelow(got.data(), FWD_BOUND));
    EXPECT_TRUE(SameResidues(got.data(), want.data()));
  }
}

// The product of two forward transforms is the schoolbook negacyclic product.
TEST(NttAvx512, InverseOfForwardsIsNegacyclicProduct) {
  AVX512_SUITE_REQUIRE();
  std::mt19937 rng(2225);
  const std::pair<Poly, Poly> pairs[] = {
      {monomial(1, 1), monomial(255, 1)},  // X * X^255 = -1
      {filled(~0u), filled(NTT_INPUT_MAX)},
      {random_poly(rng, 0, ~0u), random_poly(rng, 0, ~0u)},
      {random_poly(rng, Q - 261951, Q + 261951), random_poly(rng, 0, Q - 1)},
  };
  for (const auto &[a, b] : pairs) {
    const Poly ah = forward512(a), bh = forward512(b);
    Poly got{};
    inverse_ntt_avx512(got.data(), ah.data(), bh.data());
    EXPECT_TRUE(AllBelow(got.data(), PRODUCT_BOUND));
    EXPECT_TRUE(SameResidues(got.data(), schoolbook(reduced(a), reduced(b)).data()));
  }
}

// The three products against the scalar ones on NTT-form inputs up to 18Q - 1, for counts below,
// at and above the groups of four the sums are taken in; and each with its output written over
// the first or last input polynomial, which must change nothing.
TEST(NttAvx512, ProductsMatchScalarAndMayOverwriteAnInput) {
  AVX512_SUITE_REQUIRE();
  std::mt19937 rng(4096);
  for (uint32_t count : {1u, 3u, 4u, 5u, 7u, 9u}) {
    for (int shape = 0; shape < 3; ++shape) {
      // 0: uniform below 18Q; 1: all 18Q - 1; 2: forward transforms of 32-bit polynomials.
      SCOPED_TRACE("count " + std::to_string(count) + ", shape " + std::to_string(shape));
      auto draw = [&] {
        return shape == 0 ? random_poly(rng, 0, NTT_INPUT_MAX)
               : shape == 1 ? filled(NTT_INPUT_MAX)
                            : forward512(random_poly(rng, 0, ~0u));
      };
      // Polynomials 0 .. count - 1 of a and b, then c and d.
      std::vector<uint32_t> in(size_t(2 * count + 2) * N);
      for (size_t at = 0; at < in.size(); at += N) {
        const Poly p = draw();
        std::copy(p.begin(), p.end(), in.begin() + at);
      }
      const auto inputs = [&](std::vector<uint32_t> &v) {
        return std::array<uint32_t *, 4>{v.data(), v.data() + count * N, v.data() + 2 * count * N,
                                         v.data() + (2 * count + 1) * N};
      };
      const auto [a, b, c, d] = inputs(in);

      Poly sum{}, minus{}, want_sum{}, want_minus{};
      poly_inner_product_avx512(sum.data(), a, b, count);
      poly_inner_product_minus_avx512(minus.data(), a, b, count, c, d);
      scalar().inner_product(want_sum.data(), a, b, count);
      scalar().inner_product_minus(want_minus.data(), a, b, count, c, d);
      EXPECT_TRUE(AllBelow(sum.data(), PRODUCT_BOUND));
      EXPECT_TRUE(AllBelow(minus.data(), PRODUCT_BOUND));
      EXPECT_TRUE(SameResidues(sum.data(), want_sum.data()));
      EXPECT_TRUE(SameResidues(minus.data(), want_minus.data()));
      Poly single{};
      if (count == 1) {
        inverse_ntt_avx512(single.data(), a, b);
        EXPECT_EQ(single, sum);
      }

      // Output over a[0], a[count - 1], b[0], b[count - 1], c, d (a fresh copy of the inputs each time).
      for (int target = 0; target < 6; ++target) {
        SCOPED_TRACE("written over input " + std::to_string(target));
        std::vector<uint32_t> copy = in;
        const auto [ca, cb, cc, cd] = inputs(copy);
        uint32_t *const over[] = {ca, ca + (count - 1) * N, cb, cb + (count - 1) * N, cc, cd};
        uint32_t *out = over[target];
        const auto result = [&] {
          Poly r;
          std::copy(out, out + N, r.begin());
          return r;
        };
        const auto restore = [&] { std::copy(in.begin(), in.end(), copy.begin()); };
        if (target < 4) {
          poly_inner_product_avx512(out, ca, cb, count);
          EXPECT_EQ(result(), sum);
          if (count == 1) {
            restore();
            inverse_ntt_avx512(out, ca, cb);
            EXPECT_EQ(result(), single);
          }
          restore();
        }
        poly_inner_product_minus_avx512(out, ca, cb, count, cc, cd);
        EXPECT_EQ(result(), minus);
      }
    }
  }
}

}  // namespace
