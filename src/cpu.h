// Choice of the arithmetic and hashing path, made once per process from the processor's features.
#pragma once
#include <cstdint>

namespace tavik {

enum class Backend : int { scalar = 0, avx2 = 1, avx512 = 2 };

// True when this processor (and this build) can run the path.
bool backend_available(Backend b);
// The path in use: the best available one, or TAVIK_BACKEND=scalar|avx2|avx512 when that is
// available (an unavailable request falls back to the best available path). Read once.
Backend active_backend();
// Name of a path: "scalar", "avx2" or "avx512".
const char *backend_name(Backend b);

}  // namespace tavik
