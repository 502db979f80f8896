// Zeroing of secret buffers that the optimiser cannot drop.
#pragma once
#include <cstddef>
#include <cstring>

namespace tavik {

// Sets n bytes at p to zero; the empty asm makes the stores observable.
inline void secure_wipe(void *p, size_t n) {
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Zeroes `bytes` of the stack just below the caller's frame, where the dead frames of the calls it
// has made lie: register spills of the vector kernels and the hashing states are not wiped one by
// one. Called after the function that did the secret work has returned, so the registers this
// pushes hold only the caller's own values.
template <size_t bytes>
[[gnu::noinline]] void scrub_stack() {
  uint8_t area[bytes];
  secure_wipe(area, sizeof area);
}

}  // namespace tavik
