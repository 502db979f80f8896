// Range checks at the entries that promise input ranges. They cost nothing unless the build
// defines TAVIK_RANGE_CHECKS (the sanitizer build does): then a value outside its promised
// range stops the process with the file and line, so a missing reduction on any path fails a
// test instead of silently corrupting a key or signature.
#pragma once
#include <cstddef>
#include <cstdint>

#if TAVIK_RANGE_CHECKS
#include <cstdio>
#include <cstdlib>

namespace tavik {
[[noreturn]] inline void range_check_failed(const char *what, const char *file, int line) {
  std::fprintf(stderr, "%s:%d: value out of range: %s\n", file, line, what);
  std::abort();
}
}  // namespace tavik

#define TAVIK_ASSERT_RANGE(cond) \
  ((cond) ? void(0) : ::tavik::range_check_failed(#cond, __FILE__, __LINE__))
// Every coefficient x of the n values at p satisfies cond (an expression in x).
#define TAVIK_ASSERT_ALL(p, n, cond)                                                     \
  do {                                                                                   \
    for (size_t tavik_i_ = 0; tavik_i_ < size_t(n); ++tavik_i_) {                        \
      const uint32_t x = (p)[tavik_i_];                                                  \
      TAVIK_ASSERT_RANGE(cond);                                                          \
    }                                                                                    \
  } while (0)
#else
#define TAVIK_ASSERT_RANGE(cond) ((void)0)
#define TAVIK_ASSERT_ALL(p, n, cond) ((void)0)
#endif
