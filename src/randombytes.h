// The scheme's random source: getrandom, falling back to /dev/urandom.
#pragma once
#include <cstdint>

namespace tavik {

// Fills buf[0..len) with random bytes and returns true; false when neither getrandom nor the
// device answered within TAVIK_RANDOM_TIMEOUT_SECONDS (buf then holds nothing to use).
[[nodiscard]] bool randombytes(uint8_t *buf, uint64_t len);

}  // namespace tavik
