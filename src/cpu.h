// The processor's features: which paths of kernels this processor (and this build) can run.
#pragma once
#include <cstdint>

// The vector kernels exist only on x86-64, and only when the build did not ask for the portable
// path alone (TAVIK_PORTABLE). Only kernels.cpp and cpu.cpp look at this.
#if defined(__x86_64__) && !defined(TAVIK_PORTABLE)
#define TAVIK_X86_KERNELS 1
#endif

namespace tavik {

enum class Backend : int { scalar = 0, avx2 = 1, avx512 = 2 };

// True when this processor (and this build) can run the path.
bool backend_available(Backend b);
// Name of a path: "scalar", "avx2" or "avx512".
const char *backend_name(Backend b);

}  // namespace tavik
