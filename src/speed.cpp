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

// One line "<what>: N ticks @ 2.6 GHz (M msecs)", followed, at a measured rate (ticks_per_us > 0),
// by the same ticks in microseconds at that rate.
void print_line(const char *what, uint64_t ticks, double ticks_per_us) {
  std::printf("%s: %llu ticks @ 2.6 GHz (%.4g msecs)", what, static_cast<unsigned long long>(ticks),
              static_cast<double>(ticks) / TICKS_PER_MSEC);
  if (ticks_per_us > 0)
    std::printf("; %.3f us at the measured %.3f MHz", static_cast<double>(ticks) / ticks_per_us, ticks_per_us);
  std::printf("\n");
}

void print_summary(const char *s, uint64_t *t, size_t tlen, double ticks_per_us) {
  std::printf("%s\n", s);
  if (tlen == 0) return;
  std::qsort(t, tlen, sizeof(uint64_t), cmp_llu);

  const uint64_t median = (tlen % 2 == 1) ? t[tlen / 2] : (t[tlen / 2 - 1] + t[tlen / 2]) >> 1;
  print_line("median", median, ticks_per_us);

  uint64_t sum = 0;
  for (size_t i = 0; i < tlen; ++i) sum += t[i];
  print_line("average", sum / tlen, ticks_per_us);
  std::printf("\n");
}

}  // namespace

// Prints s, then median and average of t[0..tlen) in ticks and msecs; sorts t ascending.
// tlen 0 prints the label only (there is no median to take).
void print_results(const char *s, uint64_t *t, size_t tlen) { print_summary(s, t, tlen, 0); }

void print_results_at_rate(const char *s, uint64_t *t, size_t tlen, double ticks_per_us) {
  print_summary(s, t, tlen, ticks_per_us);
}

}  // namespace tavik
