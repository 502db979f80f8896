// The neon path's two tables (Keccak with NEON alone, and with the SHA-3 instructions where the
// processor has them) against the scalar kernels: the transforms, products and Keccak kernels
// promise the scalar values themselves, not only the same residues, so every output word must be
// equal, on random inputs and on the largest each contract admits. Skipped off aarch64.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cpu.h"
#include "kernels.h"
#include "params.h"

using namespace tavik;

namespace {

std::vector<std::pair<std::string, const Kernels *>> neon_tables() {
  std::vector<std::pair<std::string, const Kernels *>> t;
  if (!backend_available(Backend::neon)) return t;
  t.push_back({"neon", &kernels_neon(false)});
  if (cpu_has_sha3()) t.push_back({"neon+sha3", &kernels_neon(true)});
  return t;
}

// count polynomials of values below `bound`; every eighth one sits at bound - 1, the extreme.
std::vector<uint32_t> coeffs(std::mt19937 &rng, size_t count, uint32_t bound) {
  std::vector<uint32_t> v(count * N);
  for (size_t i = 0; i < v.size(); ++i) v[i] = i % 8 == 5 ? bound - 1 : uint32_t(rng() % bound);
  return v;
}

class NeonTables : public testing::Test {
 protected:
  void SetUp() override {
    tables = neon_tables();
    if (tables.empty()) GTEST_SKIP() << "neon is not available here";
  }
  std::vector<std::pair<std::string, const Kernels *>> tables;
  const Kernels &s = kernels_of(Backend::scalar);
  std::mt19937 rng{4191233};
};

TEST_F(NeonTables, TransformsAndProductsGiveTheScalarValues) {
  constexpr uint32_t NTT_MAX = 18 * Q;
  for (const auto &[name, k] : tables) {
    for (int round = 0; round < 8; ++round) {
      // The forward transform from inputs below 2Q (its contract) and from the largest inputs
      // whose growth of 16Q still fits 32 bits, where a lost carry would show.
      for (uint32_t bound : {2 * Q, 0u - 16 * Q}) {
        std::vector<uint32_t> a = coeffs(rng, 1, bound), b = a;
        k->forward_ntt(a.data());
        s.forward_ntt(b.data());
        ASSERT_EQ(a, b) << name << " forward_ntt, inputs below " << bound;
      }
      for (uint32_t count = 1; count <= L + 1; ++count) {
        const std::vector<uint32_t> a = coeffs(rng, count, NTT_MAX), b = coeffs(rng, count, NTT_MAX);
        const std::vector<uint32_t> c = coeffs(rng, 1, NTT_MAX), d = coeffs(rng, 1, NTT_MAX);
        std::vector<uint32_t> got(N), want(N);
        k->inner_product(got.data(), a.data(), b.data(), count);
        s.inner_product(want.data(), a.data(), b.data(), count);
        ASSERT_EQ(got, want) << name << " inner_product of " << count;
        k->inner_product_minus(got.data(), a.data(), b.data(), count, c.data(), d.data());
        s.inner_product_minus(want.data(), a.data(), b.data(), count, c.data(), d.data());
        ASSERT_EQ(got, want) << name << " inner_product_minus of " << count;
      }
      // inverse_ntt in place over its first operand, as the scheme calls it.
      std::vector<uint32_t> a = coeffs(rng, 1, NTT_MAX), b = coeffs(rng, 1, NTT_MAX), want(N);
      s.inverse_ntt(want.data(), a.data(), b.data());
      k->inverse_ntt(a.data(), a.data(), b.data());
      ASSERT_EQ(a, want) << name << " inverse_ntt";
    }
  }
}

TEST_F(NeonTables, KeccakKernelsGiveTheScalarStatesAndBytes) {
  auto random_words = [&](size_t n) {
    std::vector<uint64_t> v(n);
    for (auto &w : v) w = (uint64_t(rng()) << 32) | rng();
    return v;
  };
  for (const auto &[name, k] : tables) {
    // Each permutation twice in a row, so that a lane left complemented or swapped between the
    // two halves of a register shows up.
    std::vector<uint64_t> one = random_words(25), four = random_words(100), eight = random_words(200);
    std::vector<uint64_t> one_s = one, four_s = four, eight_s = eight;
    for (int i = 0; i < 2; ++i) {
      k->permute(one.data()), s.permute(one_s.data());
      k->permute4x(four.data()), s.permute4x(four_s.data());
      k->permute8x(eight.data()), s.permute8x(eight_s.data());
      k->permute4x1(four.data(), one.data()), s.permute4x1(four_s.data(), one_s.data());
      k->permute8x1(eight.data(), one.data()), s.permute8x1(eight_s.data(), one_s.data());
    }
    EXPECT_EQ(one, one_s) << name << " permute";
    EXPECT_EQ(four, four_s) << name << " permute4x, permute4x1";
    EXPECT_EQ(eight, eight_s) << name << " permute8x, permute8x1";

    // The sponge at both rates, over lengths around the block boundaries, four distinct inputs.
    uint8_t in[4][400];
    for (auto &row : in)
      for (auto &byte : row) byte = uint8_t(rng());
    for (size_t r : {size_t(168), size_t(136)}) {
      for (uint64_t len : {uint64_t(0), uint64_t(1), uint64_t(r - 1), uint64_t(r), uint64_t(2 * r + 7)}) {
        uint64_t st[100], st_s[100];
        k->absorb4x(st, r, in[0], in[1], in[2], in[3], len);
        s.absorb4x(st_s, r, in[0], in[1], in[2], in[3], len);
        uint8_t out[4][2 * 168], out_s[4][2 * 168];
        k->squeeze4x(out[0], out[1], out[2], out[3], 2, st, r);
        s.squeeze4x(out_s[0], out_s[1], out_s[2], out_s[3], 2, st_s, r);
        EXPECT_EQ(0, std::memcmp(out, out_s, sizeof out)) << name << " rate " << r << ", length " << len;
      }
    }
    uint8_t ex[8][168], ex_s[8][168];
    uint8_t *const outs[8] = {ex[0], ex[1], ex[2], ex[3], ex[4], ex[5], ex[6], ex[7]};
    uint8_t *const outs_s[8] = {ex_s[0], ex_s[1], ex_s[2], ex_s[3], ex_s[4], ex_s[5], ex_s[6], ex_s[7]};
    k->extract4x(outs, four.data()), s.extract4x(outs_s, four.data());
    EXPECT_EQ(0, std::memcmp(ex, ex_s, 4 * 168)) << name << " extract4x";
    k->extract8x(outs, eight.data()), s.extract8x(outs_s, eight.data());
    EXPECT_EQ(0, std::memcmp(ex, ex_s, sizeof ex)) << name << " extract8x";
  }
}

// The path in use is the one with SHA-3 exactly where the processor reports it.
TEST_F(NeonTables, ThePathUsesSha3WhereTheProcessorHasIt) {
  EXPECT_EQ(&kernels_of(Backend::neon), &kernels_neon(cpu_has_sha3()));
}

}  // namespace
