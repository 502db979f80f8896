// Keyed check values of the expanded keys, and the check that a stored secret key's parts agree.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cpu.h"

namespace tavik {

// The check value of a key: 128 bits, as two words (low, high).
struct KeyCheckValue {
  uint64_t sum[2];
};

// Largest key the check covers, in bytes (the expanded secret key's contents), and so the size of
// the check key.
inline constexpr size_t KEY_CHECK_MAX_BYTES = 32848;

// Draws the process's check key from the random source at its first call (thread-safe); true once
// it is drawn, false (no key, nothing to check with) while the source gives no bytes: a later call
// tries again. A fixed key is never used.
[[nodiscard]] bool key_check_ready();

// The check value of len bytes at p (len a multiple of 16, at most KEY_CHECK_MAX_BYTES), read as
// little-endian 64-bit words m[0..n), with the check key's words k[0..n): where
// key_check_carryless(path), the carry-less form
//   V = XOR over i < n/2 of (m[2i] XOR k[2i]) (x) (m[2i+1] XOR k[2i+1]),
// (x) the product of polynomials over GF(2) (127 bits, bit j the coefficient of X^j), else the
// integer form
//   V = sum over i < n/2 of ((m[2i] + k[2i]) mod 2^64) * ((m[2i+1] + k[2i+1]) mod 2^64) mod 2^128;
// sum[0] holds V's low 64 bits, sum[1] its high ones. key_check_ready() must have returned true.
// A process uses one path, so one form: the value is not comparable across paths.
KeyCheckValue key_check_of(const void *p, size_t len, Backend path);

// True when the check key is drawn and the check value of len bytes at p is `stored`, all 128 bits. The bytes and the value
// may be secret: they are compared in constant time and only the verdict is made public.
bool key_check_matches(const void *p, size_t len, const KeyCheckValue &stored, Backend path);

// Stored secret keys found intact in this process, remembered by their check values (at most
// STORED_KEYS_REMEMBERED, the oldest forgotten first), so that signing with the same key bytes
// again skips rebuilding the key's public part. The check value is the one above over all the key's
// bytes, so a chosen change of a remembered key passes for it with the bound stated in tavik.h.
inline constexpr size_t STORED_KEYS_REMEMBERED = 8;
enum class StoredKeyLookup {
  known,    // the key's check value is remembered: the key was found intact before
  unknown,  // not remembered; *value holds the check value, to remember once the key is found intact
  no_key,   // no check key could be drawn without waiting: nothing is remembered or looked up
};
// Looks up the len bytes at key (len a multiple of 16, at most KEY_CHECK_MAX_BYTES). Draws the
// check key first if it is not drawn yet, with one request to the random source that does not
// wait (deterministic signing must not stall on a silent source). The value is compared with every
// remembered one in constant time; only the verdict is public. value is secret: the caller wipes it.
StoredKeyLookup stored_key_seen(const uint8_t *key, size_t len, KeyCheckValue &value, Backend path);
// Remembers a value stored_key_seen gave for a key now found intact.
void stored_key_remember(const KeyCheckValue &value);

// Forgets the drawn check key, as if no key had been drawn yet: for a test of the random source
// failing at the first draw, run in a process of its own.
void key_check_seam_forget();

// True when key_check_of uses the carry-less form on path: the avx2 and avx512 paths on a processor
// with the carry-less multiply (PCLMULQDQ), which every one with AVX2 has.
bool key_check_carryless(Backend path);
// key_check_of's value computed one pair at a time in plain code (the carry-less product bit by
// bit), for the tests that compare the forms with it.
KeyCheckValue key_check_of_reference(const void *p, size_t len, Backend path);

}  // namespace tavik
