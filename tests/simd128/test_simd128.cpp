// The simd128 path's table, built here from the kernels of src/simd128/ over portable intrinsics
// (TAVIK_SIMD128_EMULATED), against the scalar table: every contract of kernels.h, the scalar
// values modulo Q within the contract's bounds for the transforms and products (on random inputs
// and on the largest each contract admits), the scalar values themselves for Keccak, and the
// scheme's known answers with every kernel of the table in use.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fips202.h"
#include "kernel_checks.h"
#include "kernels.h"
#include "params.h"
#include "shake_lanes.h"
#include "signature.h"
#include "simd128/kernels_simd128.h"
#include "zero_seed_answer.h"

using namespace tavik;

namespace {

const Kernels &scalar() { return kernels_of(Backend::scalar); }
const Kernels &simd() {
  static const Kernels k = simd128_table(kernels_of(Backend::scalar));
  return k;
}

// count polynomials of values below `bound`; every eighth one sits at bound - 1, the extreme.
std::vector<uint32_t> coeffs(std::mt19937 &rng, size_t count, uint32_t bound) {
  std::vector<uint32_t> v(count * N);
  for (size_t i = 0; i < v.size(); ++i) v[i] = i % 8 == 5 ? bound - 1 : uint32_t(rng() % bound);
  return v;
}

TEST(Simd128, MeetsTheContractsOfTheScalarTable) {
  EXPECT_EQ(simd().path, Backend::simd128);
  kernel_checks::expect_contracts(simd(), scalar());
}

// Each value congruent to the scalar one modulo Q and below `bound`.
::testing::AssertionResult congruent_below(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want,
                                           uint64_t bound) {
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] % Q != want[i] % Q || got[i] >= bound) {
      return ::testing::AssertionFailure() << "coefficient " << i << ": " << got[i] << ", scalar " << want[i]
                                           << ", bound " << bound;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(Simd128, TransformsAndProductsGiveTheScalarResidues) {
  const Kernels &k = simd(), &s = scalar();
  constexpr uint32_t NTT_MAX = 18 * Q;
  std::mt19937 rng(4191233);
  for (int round = 0; round < 8; ++round) {
    // The forward transform from inputs below 2Q (its contract: outputs below 18Q) and from the
    // largest inputs whose growth of 16Q still fits 32 bits, where a lost carry would show.
    for (uint32_t bound : {2 * Q, 0u - 16 * Q}) {
      std::vector<uint32_t> a = coeffs(rng, 1, bound), b = a;
      k.forward_ntt(a.data());
      s.forward_ntt(b.data());
      ASSERT_TRUE(congruent_below(a, b, uint64_t(bound) + 16 * Q)) << "forward_ntt, inputs below " << bound;
    }
    for (uint32_t count = 1; count <= L + 1; ++count) {
      const std::vector<uint32_t> a = coeffs(rng, count, NTT_MAX), b = coeffs(rng, count, NTT_MAX);
      const std::vector<uint32_t> c = coeffs(rng, 1, NTT_MAX), d = coeffs(rng, 1, NTT_MAX);
      std::vector<uint32_t> got(N), want(N);
      k.inner_product(got.data(), a.data(), b.data(), count);
      s.inner_product(want.data(), a.data(), b.data(), count);
      ASSERT_TRUE(congruent_below(got, want, 2 * Q)) << "inner_product of " << count;
      k.inner_product_minus(got.data(), a.data(), b.data(), count, c.data(), d.data());
      s.inner_product_minus(want.data(), a.data(), b.data(), count, c.data(), d.data());
      ASSERT_TRUE(congruent_below(got, want, 2 * Q)) << "inner_product_minus of " << count;
    }
  }
}

TEST(Simd128, KeccakKernelsGiveTheScalarStatesAndBytes) {
  const Kernels &k = simd(), &s = scalar();
  std::mt19937_64 rng(1600);
  std::vector<uint64_t> four(100), eight(200);
  for (auto &w : four) w = rng();
  for (auto &w : eight) w = rng();
  std::vector<uint64_t> four_s = four, eight_s = eight;
  // Twice in a row, so that a lane swapped between the two halves of a register shows up.
  for (int i = 0; i < 2; ++i) {
    k.permute4x(four.data()), s.permute4x(four_s.data());
    k.permute8x(eight.data()), s.permute8x(eight_s.data());
  }
  EXPECT_EQ(four, four_s) << "permute4x";
  EXPECT_EQ(eight, eight_s) << "permute8x";
  uint8_t ex[8][168], ex_s[8][168];
  uint8_t *const outs[8] = {ex[0], ex[1], ex[2], ex[3], ex[4], ex[5], ex[6], ex[7]};
  uint8_t *const outs_s[8] = {ex_s[0], ex_s[1], ex_s[2], ex_s[3], ex_s[4], ex_s[5], ex_s[6], ex_s[7]};
  k.extract4x(outs, four.data()), s.extract4x(outs_s, four.data());
  EXPECT_EQ(0, std::memcmp(ex, ex_s, 4 * 168)) << "extract4x";
  k.extract8x(outs, eight.data()), s.extract8x(outs_s, eight.data());
  EXPECT_EQ(0, std::memcmp(ex, ex_s, sizeof ex)) << "extract8x";
}

// The self-test the library runs before it uses the path, and the key pair and signature of the
// zero seed pinned in test_signature.cpp, at both widths of the Keccak lanes.
TEST(Simd128, SchemeKnownAnswers) {
  EXPECT_TRUE(self_test(simd()));
  const KernelsInThread use(simd());
  for (uint32_t width : {4u, 8u}) {
    const KeccakLanesInThread lanes(width);
    ASSERT_EQ(keccak_lanes().width, width);
    zero_seed_answer::expect(std::to_string(width) + " lanes");
  }
}

}  // namespace
