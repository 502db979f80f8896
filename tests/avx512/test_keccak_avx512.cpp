// The AVX-512 Keccak kernels against the scalar ones: the permutation on one, four and eight
// interleaved states, the four-state sponge and the extraction of both lane sets.
#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "avx512_suite.h"
#include "kernels.h"

using namespace tavik;

namespace {

const Kernels &scalar() { return kernels_of(Backend::scalar); }

template <size_t n>
std::array<uint64_t, n> random_words(std::mt19937_64 &rng) {
  std::array<uint64_t, n> a;
  for (uint64_t &w : a) w = rng();
  return a;
}

TEST(KeccakAvx512, PermutationsMatchScalar) {
  AVX512_SUITE_REQUIRE();
  std::mt19937_64 rng(1600);
  for (int round = 0; round < 20; ++round) {
    auto one = random_words<25>(rng), one_ref = one;
    keccak_permute_avx512(one.data());
    scalar().permute(one_ref.data());
    EXPECT_EQ(one, one_ref) << "one state, round " << round;

    auto four = random_words<100>(rng), four_ref = four;
    keccak_permute4x_avx512(four.data());
    scalar().permute4x(four_ref.data());
    EXPECT_EQ(four, four_ref) << "four states, round " << round;

    auto eight = random_words<200>(rng), eight_ref = eight;
    keccak_permute8x_avx512(eight.data());
    scalar().permute8x(eight_ref.data());
    EXPECT_EQ(eight, eight_ref) << "eight states, round " << round;
  }
}

TEST(KeccakAvx512, SpongeAndExtractionMatchScalar) {
  AVX512_SUITE_REQUIRE();
  std::mt19937_64 rng(168);
  uint8_t in[4][300];
  for (auto &row : in)
    for (uint8_t &b : row) b = uint8_t(rng());
  // Inputs shorter than, equal to and longer than a block of either rate, with a partial word.
  for (size_t rate : {size_t(168), size_t(136)}) {
    for (uint64_t len : {uint64_t(0), uint64_t(7), uint64_t(136), uint64_t(168), uint64_t(299)}) {
      SCOPED_TRACE(testing::Message() << "rate " << rate << ", " << len << " bytes");
      std::array<uint64_t, 100> s{}, s_ref{};
      keccak_absorb4x_avx512(s.data(), rate, in[0], in[1], in[2], in[3], len);
      scalar().absorb4x(s_ref.data(), rate, in[0], in[1], in[2], in[3], len);
      EXPECT_EQ(s, s_ref);
      uint8_t out[4][2 * 168], out_ref[4][2 * 168];
      keccak_squeeze4x_avx512(out[0], out[1], out[2], out[3], 2, s.data(), rate);
      scalar().squeeze4x(out_ref[0], out_ref[1], out_ref[2], out_ref[3], 2, s_ref.data(), rate);
      EXPECT_EQ(0, std::memcmp(out, out_ref, 4 * 2 * rate));
    }
  }
  auto s4 = random_words<100>(rng);
  auto s8 = random_words<200>(rng);
  uint8_t got[8][168], want[8][168];
  uint8_t *const g[8] = {got[0], got[1], got[2], got[3], got[4], got[5], got[6], got[7]};
  uint8_t *const w[8] = {want[0], want[1], want[2], want[3], want[4], want[5], want[6], want[7]};
  keccak_extract4x_avx512(g, s4.data());
  scalar().extract4x(w, s4.data());
  EXPECT_EQ(0, std::memcmp(got, want, 4 * 168)) << "four states";
  keccak_extract8x_avx512(g, s8.data());
  scalar().extract8x(w, s8.data());
  EXPECT_EQ(0, std::memcmp(got, want, 8 * 168)) << "eight states";
}

}  // namespace
