#include "cpucycles.h"

#if !defined(__x86_64__) && !defined(__i386__)
#include <time.h>
#endif

namespace tavik {

// Time-stamp counter, high half << 32 | low half; monotonic nanoseconds where there is none.
uint64_t cpucycles() {
#if defined(__x86_64__) || defined(__i386__)
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return (static_cast<uint64_t>(hi) << 32) | lo;
#else
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

}  // namespace tavik
