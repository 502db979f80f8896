#include "speed.h"

#include <cstdio>
#include <cstdlib>

namespace tavik {

namespace {

// Ticks per millisecond at the assumed 2.6 GHz clock.
constexpr double TICKS_PER_MSEC = 2600000.0;

}  // namespace

// a, b point to uint64_t; -1 when *a < *b, 1 when *a > *b, 0 when equal.
int cmp_llu(const void *a, const void *b) {
  const uint64_t x = *static_cast<const uint64_t *>(a);
  const uint64_t y = *static_cast<const uint64_t *>(b);
  if (x < y) return -1;
  if (x > y) return 1;
  return 0;
}

namespace {

// One line "<what>: N ticks @ 2.6 GHz (M msecs)".
void print_line(const char *what, uint64_t ticks) {
  std::printf("%s: %llu ticks @ 2.6 GHz (%.4g msecs)\n", what, static_cast<unsigned long long>(ticks),
              static_cast<double>(ticks) / TICKS_PER_MSEC);
}

}  // namespace

// Prints s, then median and average of t[0..tlen) in ticks and msecs; sorts t ascending.
// tlen 0 prints the label only (there is no median to take).
void print_results(const char *s, uint64_t *t, size_t tlen) {
  std::printf("%s\n", s);
  if (tlen == 0) return;
  std::qsort(t, tlen, sizeof(uint64_t), cmp_llu);

  const uint64_t median = (tlen % 2 == 1) ? t[tlen / 2] : (t[tlen / 2 - 1] + t[tlen / 2]) >> 1;
  print_line("median", median);

  uint64_t sum = 0;
  for (size_t i = 0; i < tlen; ++i) sum += t[i];
  print_line("average", sum / tlen);
  std::printf("\n");
}

}  // namespace tavik
