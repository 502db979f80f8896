#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "Reduce.h"

using namespace tavik;

namespace {

constexpr uint64_t TWO32 = uint64_t(1) << 32;

TEST(MontgomeryReduce, KnownValues) {
  struct Case {
    uint64_t a;
    uint32_t r;
  };
  const Case cases[] = {
      {0, 0},
      {TWO32, 1},
      {1, 1042689},            // 2^-32 mod Q
      {3144704, 1},            // 2^32 mod Q
      {Q * TWO32 - 1, 7339777},  // largest admissible input, result still below 2Q
      {5 * uint64_t(Q), Q},    // a nonzero multiple of Q comes out as Q, not 0
  };
  for (const Case &c : cases) EXPECT_EQ(montgomery_reduce(c.a), c.r) << "a = " << c.a;
}

// For every a below Q * 2^32 the result r satisfies r * 2^32 = a (mod Q) and r < 2Q.
TEST(MontgomeryReduce, CongruentAndBelowTwoQ) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<uint64_t> any(0, Q * TWO32 - 1);
  std::uniform_int_distribution<uint64_t> operand(0, 18 * uint64_t(Q) - 1);
  for (int i = 0; i < 200000; ++i) {
    // Half the inputs are products of two operands below 18Q, the shape used by the transforms.
    const uint64_t a = (i & 1) ? any(rng) : operand(rng) * operand(rng);
    const uint32_t r = montgomery_reduce(a);
    ASSERT_LT(r, 2 * Q) << "a = " << a;
    ASSERT_EQ((uint64_t(r) << 32) % Q, a % Q) << "a = " << a;
  }
}

}  // namespace
