// Every path's kernel table against the scalar one, on the contracts of kernels.h (kernel_checks.h).
// A path added to the tables is checked here without further code.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Polynomial.h"
#include "Reduce.h"
#include "Rounding.h"
#include "io.h"
#include "kernel_checks.h"
#include "kernels.h"
#include "params.h"

using namespace tavik;

namespace {

using kernel_checks::expect_contracts;

class KernelTable : public testing::TestWithParam<Backend> {};

TEST_P(KernelTable, MeetsTheContractsOfTheScalarTable) {
  if (!backend_available(GetParam())) GTEST_SKIP() << backend_name(GetParam()) << " is not available here";
  expect_contracts(kernels_of(GetParam()), kernels_of(Backend::scalar));
}

#if TAVIK_RANGE_CHECKS
// Builds with range checks stop at the first value outside a promised range: a missing reduction
// fails here instead of corrupting a signature.
TEST(RangeChecks, ValuesOutsideThePromisedRangesStopTheProcess) {
  const std::vector<std::pair<const char *, std::function<void()>>> cases = {
      {"montgomery_reduce above Q * 2^32", [] { montgomery_reduce(uint64_t(Q) << 32); }},
      {"PolyVec_mult of an ordinary operand of 2Q",
       [] {
         uint32_t a[N] = {}, b[N] = {}, out[N];
         int32_t fa = 0, fb = 0;
         a[7] = 2 * Q;
         PolyVec_mult(out, a, &fa, 1, b, &fb, 1);
       }},
      {"inverse_ntt of an NTT operand of 18Q",
       [] {
         uint32_t a[N] = {}, b[N] = {}, out[N];
         b[255] = 18 * Q;
         inverse_ntt(out, a, b);
       }},
      {"Decompose of 64Q", [] { uint32_t low; Decompose(&low, 64 * Q); }},
      {"Power2Round of Q", [] { uint32_t hi, lo; Power2Round(&hi, &lo, Q); }},
      {"pack_w1 of a high part 16",
       [] {
         uint32_t w1[K * N] = {};
         uint8_t out[W1_PACKED_BYTES];
         w1[3] = 16;
         pack_w1(out, w1);
       }},
  };
  for (const auto &[name, call] : cases) EXPECT_DEATH(call(), "out of range") << name;
}
#endif

INSTANTIATE_TEST_SUITE_P(Paths, KernelTable,
                         testing::Values(Backend::scalar, Backend::avx2, Backend::avx512, Backend::neon, Backend::simd128),
                         [](const auto &info) { return std::string(backend_name(info.param)); });

}  // namespace
