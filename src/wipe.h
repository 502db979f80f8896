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

}  // namespace tavik
