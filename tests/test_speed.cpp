// Summary printer, its ordering function and the cycle counter.
#include "speed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cpucycles.h"

using tavik::cmp_llu;
using tavik::print_results;

TEST(Speed, CmpLluOrdersAsUnsigned64) {
  struct Case {
    uint64_t a, b;
    int want;
  } cases[] = {
      {1, 2, -1}, {2, 1, 1}, {7, 7, 0}, {0, UINT64_MAX, -1}, {UINT64_MAX, 0, 1},
      // Differ only above bit 31: a difference narrowed to int would misorder these.
      {1ULL << 32, 1, 1}, {1, (1ULL << 32) + 1, -1}, {0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL, 1},
  };
  for (const auto &c : cases) EXPECT_EQ(cmp_llu(&c.a, &c.b), c.want) << c.a << " vs " << c.b;
}

TEST(Speed, PrintResultsPrintsMedianAndAverageAndSorts) {
  struct Case {
    std::vector<uint64_t> values;
    std::string want;
  } cases[] = {
      {{30, 10, 20},
       "cycles\nmedian: 20 ticks @ 2.6 GHz (7.692e-06 msecs)\n"
       "average: 20 ticks @ 2.6 GHz (7.692e-06 msecs)\n\n"},
      // Even count: the two middle values 2 and 3 sum to 5, halved downwards.
      {{4, 2, 3, 1},
       "cycles\nmedian: 2 ticks @ 2.6 GHz (7.692e-07 msecs)\n"
       "average: 2 ticks @ 2.6 GHz (7.692e-07 msecs)\n\n"},
      {{2600000},
       "cycles\nmedian: 2600000 ticks @ 2.6 GHz (1 msecs)\n"
       "average: 2600000 ticks @ 2.6 GHz (1 msecs)\n\n"},
      // Values above 2^63 print as unsigned; the median sum wraps in 64 bits as documented.
      {{0x8000000000000000ULL, 0x8000000000000002ULL},
       "cycles\nmedian: 1 ticks @ 2.6 GHz (3.846e-07 msecs)\n"
       "average: 1 ticks @ 2.6 GHz (3.846e-07 msecs)\n\n"},
      {{13000000000ULL, 5200000, 2600000},
       "cycles\nmedian: 5200000 ticks @ 2.6 GHz (2 msecs)\n"
       "average: 4335933333 ticks @ 2.6 GHz (1668 msecs)\n\n"},
  };
  for (auto &c : cases) {
    std::vector<uint64_t> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    testing::internal::CaptureStdout();
    print_results("cycles", c.values.data(), c.values.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want);
    EXPECT_EQ(c.values, sorted);
  }
}

TEST(Speed, CpucyclesDoesNotGoBackwards) {
  uint64_t prev = tavik::cpucycles();
  for (int i = 0; i < 100; ++i) {
    const uint64_t now = tavik::cpucycles();
    EXPECT_GE(now, prev);
    prev = now;
  }
}
