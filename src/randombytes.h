// The scheme's random source: getrandom, falling back to /dev/urandom.
#pragma once
#include <cstdint>

namespace tavik {

// Fills buf[0..len) with random bytes; returns only when all are filled.
void randombytes(uint8_t *buf, uint64_t len);

}  // namespace tavik
