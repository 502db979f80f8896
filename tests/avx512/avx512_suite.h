// What the AVX-512 kernel suites share: whether this build's copy of the kernels can run here.
// Each suite is compiled against the real kernels (run on processors with AVX-512) and against
// the copy over portable intrinsics (TAVIK_AVX512_EMULATED, run wherever AVX2 is).
#pragma once
#include <gtest/gtest.h>

#include "avx512/kernels_avx512.h"
#include "cpu.h"

namespace avx512_suite {

inline bool runnable() {
#if TAVIK_AVX512_EMULATED
  return tavik::backend_available(tavik::Backend::avx2);
#else
  return tavik::backend_available(tavik::Backend::avx512);
#endif
}

// Skips the calling test where this copy cannot run.
#define AVX512_SUITE_REQUIRE()                                                          \
  do {                                                                                  \
    if (!avx512_suite::runnable()) GTEST_SKIP() << "this copy of the AVX-512 kernels cannot run here"; \
  } while (0)

}  // namespace avx512_suite
