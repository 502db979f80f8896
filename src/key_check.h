// Keyed check values of the expanded keys, and the check that a stored secret key's parts agree.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.h"

namespace tavik {

// The check value of an expanded key: two sums of the pairwise-product hash below, under the
// process's check key and under the same key moved on by two words.
struct KeyCheckValue {
  uint64_t sum[2];
};

// Largest key the check covers, in bytes (the expanded secret key's contents).
inline constexpr size_t KEY_CHECK_MAX_BYTES = 32848;

// Draws the process's check key from the random source at its first call (thread-safe); true once
// it is drawn, false (no key, nothing to check with) while the source gives no bytes: a later call
// tries again. A fixed key is never used.
[[nodiscard]] bool key_check_ready();

// The check value of len bytes at p (len a multiple of 8, at most KEY_CHECK_MAX_BYTES), read as
// 32-bit words m[0..n): with the check key's words k[0..n+2), for h = 0 and 1,
//   sum[h] = sum over i < n/2 of ((m[2i] + k[2i+2h]) mod 2^32) * ((m[2i+1] + k[2i+2h+1]) mod 2^32)
// modulo 2^64. key_check_ready() must have returned true. The same value on every path; path
// chooses the vector form (the path in use, which this processor runs).
KeyCheckValue key_check_of(const void *p, size_t len, Backend path);

// True when the check key is drawn and the check value of len bytes at p is `stored`, all 128 bits. The bytes and the value
// may be secret: they are compared in constant time and only the verdict is made public.
bool key_check_matches(const void *p, size_t len, const KeyCheckValue &stored, Backend path);

// Forgets the drawn check key, as if no key had been drawn yet: for a test of the random source
// failing at the first draw, run in a process of its own.
void key_check_seam_forget();

// The words form of key_check_of on the portable code alone, for the tests that compare the vector
// forms with it.
KeyCheckValue key_check_of_portable(const void *p, size_t len);

}  // namespace tavik
