// Keccak-f[1600] step by step, as FIPS 202 states it: the definition every fast form is held to.
#pragma once
#include <cstdint>

#include "fips202.h"

namespace keccak_reference {

inline uint64_t rol(uint64_t a, unsigned n) { return n == 0 ? a : (a << n) | (a >> (64 - n)); }

// The 24 rounds on the 25 lanes of s (lane x + 5y).
inline void permute(uint64_t s[25]) {
  for (int round = 0; round < 24; ++round) {
    uint64_t c[5], b[25];
    for (int x = 0; x < 5; ++x) c[x] = s[x] ^ s[x + 5] ^ s[x + 10] ^ s[x + 15] ^ s[x + 20];
    for (int x = 0; x < 5; ++x)
      for (int y = 0; y < 5; ++y) s[x + 5 * y] ^= c[(x + 4) % 5] ^ rol(c[(x + 1) % 5], 1);
    // rho and pi: lane (x, y) moves to (y, 2x + 3y) rotated by the t-th triangular number,
    // walking (1, 0) -> (0, 2) -> ... along pi.
    b[0] = s[0];
    int x = 1, y = 0;
    for (int t = 0; t < 24; ++t) {
      const int nx = y, ny = (2 * x + 3 * y) % 5;
      b[nx + 5 * ny] = rol(s[x + 5 * y], unsigned((t + 1) * (t + 2) / 2 % 64));
      x = nx;
      y = ny;
    }
    for (int yy = 0; yy < 5; ++yy)
      for (int xx = 0; xx < 5; ++xx)
        s[xx + 5 * yy] = b[xx + 5 * yy] ^ (~b[(xx + 1) % 5 + 5 * yy] & b[(xx + 2) % 5 + 5 * yy]);
    s[0] ^= tavik::KeccakF_RoundConstants[round];
  }
}

}  // namespace keccak_reference
