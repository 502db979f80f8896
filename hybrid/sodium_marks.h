// Marks for the constant-time check on the bytes libsodium writes. Under valgrind libsodium's code
// is followed like the library's own, and what it derives from a seed comes out secret; under
// MemorySanitizer it is not instrumented, and what it writes keeps the marks its buffer had. So
// each output is marked for what it is as it returns: an Ed25519 signature, a public key and a
// message digest are public, a key's seed is secret.
#pragma once
#include <cstddef>

#include "ct.h"

namespace tavik::hybrid {

inline void public_from_sodium(const void *p, size_t n) { TAVIK_DECLASSIFY(p, n); }
inline void secret_from_sodium(const void *p, size_t n) { TAVIK_SECRET(p, n); }

}  // namespace tavik::hybrid
