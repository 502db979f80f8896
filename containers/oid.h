// The algorithm's object identifier, encoded from its dotted text at compile time. The build
// names it (TAVIK_OID_TEXT); a malformed one, or one longer than the containers allow, stops the
// build.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tavik_der.h"

#ifndef TAVIK_OID_TEXT
#error "TAVIK_OID_TEXT (the algorithm's dotted object identifier) must be defined by the build"
#endif

namespace tavik::der {

struct EncodedOid {
  uint8_t bytes[TAVIK_OID_MAX_BYTES] = {};
  size_t len = 0;
  bool ok = false;
};

// Appends the base-128 form of the decimal number digits[0..n) (most significant first) to out.
// The number is divided by 128 digit by digit until nothing is left; the remainders are the
// groups, least significant first.
constexpr bool append_arc(EncodedOid &out, uint8_t (&digits)[80], size_t n) {
  uint8_t groups[80] = {};
  size_t count = 0;
  bool zero = false;
  while (!zero) {
    uint32_t rem = 0;
    zero = true;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t cur = rem * 10 + digits[i];
      digits[i] = uint8_t(cur / 128);
      rem = cur % 128;
      if (digits[i] != 0) zero = false;
    }
    groups[count++] = uint8_t(rem);
  }
  if (out.len + count > TAVIK_OID_MAX_BYTES) return false;
  for (size_t i = count; i-- > 0;) out.bytes[out.len++] = uint8_t(groups[i] | (i > 0 ? 0x80 : 0));
  return true;
}

// Adds a small value to the decimal number digits[0..n), which has room for one more digit.
constexpr void add_small(uint8_t (&digits)[80], size_t &n, uint32_t v) {
  for (size_t i = n; i-- > 0 && v > 0;) {
    v += digits[i];
    digits[i] = uint8_t(v % 10);
    v /= 10;
  }
  if (v > 0) {
    for (size_t i = n; i > 0; --i) digits[i] = digits[i - 1];
    digits[0] = uint8_t(v);
    ++n;
  }
}

constexpr EncodedOid encode_oid(const char *text) {
  EncodedOid out;
  uint32_t first = 0;
  size_t arc = 0;
  const char *p = text;
  while (true) {
    uint8_t digits[80] = {};
    size_t n = 0;
    while (*p >= '0' && *p <= '9') {
      if (n == 70) return out;
      digits[n++] = uint8_t(*p++ - '0');
    }
    if (n == 0 || (n > 1 && digits[0] == 0)) return out;  // empty arc or leading zero
    if (arc == 0) {
      if (n != 1 || digits[0] > 2) return out;
      first = digits[0];
    } else if (arc == 1) {
      if (first < 2 && (n > 2 || (n == 2 ? digits[0] * 10 + digits[1] : digits[0]) >= 40)) return out;
      add_small(digits, n, first * 40);
      if (!append_arc(out, digits, n)) return out;
    } else if (!append_arc(out, digits, n)) {
      return out;
    }
    ++arc;
    if (*p == '\0') break;
    if (*p++ != '.') return out;
  }
  out.ok = arc >= 2;
  return out;
}

inline constexpr EncodedOid kOid = encode_oid(TAVIK_OID_TEXT);
static_assert(kOid.ok, "TAVIK_OID is not a dotted object identifier of at most TAVIK_OID_MAX_BYTES content bytes");

}  // namespace tavik::der
