// The constant-time toolbox gives the answers of the plain operations it replaces, at the edges
// of the 32-bit range where a mask trick would first go wrong.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "ct.h"

using namespace tavik;

namespace {

constexpr uint32_t ONES = 0xFFFFFFFFu;

TEST(ConstantTime, MasksAndSelectMatchComparisons) {
  const uint32_t values[] = {0, 1, 2, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, ONES - 1, ONES};
  for (uint32_t a : values) {
    EXPECT_EQ(ct::mask_nonzero(a), a != 0 ? ONES : 0u) << a;
    EXPECT_EQ(ct::mask_zero(a), a == 0 ? ONES : 0u) << a;
    EXPECT_EQ(ct::mask_bit(a), (a & 1) ? ONES : 0u) << a;
    EXPECT_EQ(ct::widen(ct::mask_bit(a)), (a & 1) ? ~uint64_t(0) : 0u) << a;
    for (uint32_t b : values) {
      EXPECT_EQ(ct::mask_eq(a, b), a == b ? ONES : 0u) << a << " " << b;
      EXPECT_EQ(ct::mask_lt(a, b), a < b ? ONES : 0u) << a << " " << b;
      EXPECT_EQ(ct::select(ct::mask_lt(a, b), a, b), a < b ? a : b) << a << " " << b;
      EXPECT_EQ(ct::select(~uint64_t(0), uint64_t(a) << 32, uint64_t(b)), uint64_t(a) << 32);
      EXPECT_EQ(ct::select(uint64_t(0), uint64_t(a) << 32, uint64_t(b)), uint64_t(b));
    }
  }
  const int32_t signed_values[] = {0, 1, -1, 130976, -130976, INT32_MAX, INT32_MIN + 1, INT32_MIN};
  for (int32_t x : signed_values) {
    const uint32_t want = x < 0 ? 0u - uint32_t(x) : uint32_t(x);
    EXPECT_EQ(ct::abs(x), want) << x;
  }
}

TEST(ConstantTime, MovesSwapsAndComparisonsCoverEveryElement) {
  std::array<uint32_t, 9> a{}, b{};
  for (uint32_t i = 0; i < a.size(); ++i) {
    a[i] = i * 0x01010101u;
    b[i] = ~a[i];
  }
  for (uint32_t m : {0u, ONES}) {
    auto x = a, y = b;
    ct::cswap(x.data(), y.data(), x.size(), m);
    EXPECT_EQ(x, m ? b : a);
    EXPECT_EQ(y, m ? a : b);
    x = a;
    ct::cmov(x.data(), b.data(), x.size(), m);
    EXPECT_EQ(x, m ? b : a);
    std::array<uint8_t, 5> p{1, 2, 3, 4, 5};
    const std::array<uint8_t, 5> q{9, 8, 7, 6, 5};
    ct::cmov(p.data(), q.data(), p.size(), m);
    const std::array<uint8_t, 5> p0{1, 2, 3, 4, 5};
    EXPECT_EQ(p, m ? q : p0);
  }
  // A single differing bit anywhere, the last byte included, is found; n = 0 compares nothing.
  std::array<uint8_t, 33> p{}, q{};
  EXPECT_EQ(ct::differ(p.data(), q.data(), p.size()), 0u);
  for (size_t at = 0; at < p.size(); ++at) {
    q = p;
    q[at] ^= uint8_t(0x80 >> (at % 8));
    EXPECT_EQ(ct::differ(p.data(), q.data(), p.size()), ONES) << at;
    EXPECT_EQ(ct::differ(p.data(), q.data(), at), 0u) << at;
  }
}

}  // namespace
