// The scheme's random source: getrandom, falling back to /dev/urandom.
#pragma once
#include <cstdint>

namespace tavik {

// Fills buf[0..len) with random bytes and returns true; false when neither getrandom nor the
// device answered within TAVIK_RANDOM_TIMEOUT_SECONDS (buf then holds nothing to use).
[[nodiscard]] bool randombytes(uint8_t *buf, uint64_t len);

// Fills buf[0..len) from getrandom without waiting (GRND_NONBLOCK): calls again while a call
// makes progress, and after at most 64 interruptions in all; no device, no sleeping. False (buf
// holds nothing to use) when the bytes are not there at once: before the system's pool is ready,
// without getrandom, or when it is denied.
[[nodiscard]] bool randombytes_now(uint8_t *buf, uint64_t len);

}  // namespace tavik
