// Choice of the arithmetic and hashing path, made once per process from the processor's features.
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
// The path in use: the best available one, or TAVIK_BACKEND=scalar|avx2|avx512 when that is
// available (an unavailable request falls back to the best available path). A vector path is
// taken only after it passes its self-test (selftest.h); one that fails gives way to the next
// one down. Chosen once, at the first call.
Backend active_backend();
// Why the path in use was chosen, in a few words (for the benchmark and the console).
const char *backend_reason();
// Runs fn with active_backend() reporting b in the calling thread only, and returns its result;
// b must be available. For the self-test, which runs before the choice is made.
bool with_backend(Backend b, bool (*fn)());
// True inside with_backend in this thread: whatever is looked up from active_backend() now
// belongs to the path under test and must not be kept for later calls.
bool backend_trial_running();
// The choice itself: the first of the count candidates (best first) whose test passes; the
// last candidate (the scalar path, the definition) is taken untested. *failed counts the
// candidates that failed their test.
Backend choose_path(const Backend *candidates, uint32_t count, bool (*test)(Backend), uint32_t *failed);
// Name of a path: "scalar", "avx2" or "avx512".
const char *backend_name(Backend b);

}  // namespace tavik
