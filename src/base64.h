// Canonical base64 (the standard alphabet, '=' padding at the end only, the bits after the last
// byte zero), read by arithmetic on masks: no table is indexed and no branch is taken by a
// character's value, so the armour of a secret key decodes in constant time. Only the verdict,
// and where the padding starts (which follows from the length of what was encoded), are public.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ct.h"

namespace tavik {

// All ones when lo <= x <= hi.
inline uint32_t base64_in_range(uint32_t x, uint32_t lo, uint32_t hi) {
  return ct::mask_lt(x, hi + 1) & ~ct::mask_lt(x, lo);
}

// The 6-bit value of a base64 character; *bad collects all ones when it is none.
inline uint32_t base64_decode6(uint32_t c, uint32_t *bad) {
  const uint32_t upper = base64_in_range(c, 'A', 'Z'), lower = base64_in_range(c, 'a', 'z');
  const uint32_t digit = base64_in_range(c, '0', '9'), plus = ct::mask_eq(c, '+'), slash = ct::mask_eq(c, '/');
  *bad |= ~(upper | lower | digit | plus | slash);
  return (upper & (c - 'A')) | (lower & (c - 'a' + 26)) | (digit & (c - '0' + 52)) | (plus & 62u) | (slash & 63u);
}

// Decodes b64[0..len) into out (room for len / 4 * 3 bytes) and the byte count to *outlen; false,
// *outlen untouched, when it is not canonical base64 (len not a multiple of 4 included).
inline bool base64_decode(uint8_t *out, size_t *outlen, const char *b64, size_t len) {
  if (len % 4 != 0) return false;
  const auto is_pad = [&](size_t i) { return ct::declassify(ct::mask_eq(uint8_t(b64[i]), '=')) != 0; };
  const size_t pad = len == 0 || !is_pad(len - 1) ? 0 : is_pad(len - 2) ? 2 : 1;
  uint32_t bad = 0;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 4) {
    const size_t data = i + 4 == len ? 4 - pad : 4;
    uint32_t w = 0;
    for (size_t j = 0; j < 4; ++j) w = w << 6 | (j < data ? base64_decode6(uint8_t(b64[i + j]), &bad) : 0u);
    out[o++] = uint8_t(w >> 16);
    if (data > 2) out[o++] = uint8_t(w >> 8);
    if (data > 3) out[o++] = uint8_t(w);
    // The bits below the last whole byte must be 0 in canonical base64.
    if (data == 2) bad |= ct::mask_nonzero(w & 0xFFFF);
    if (data == 3) bad |= ct::mask_nonzero(w & 0xFF);
  }
  // Public: whether the text is canonical base64 is the caller's result.
  if (ct::declassify(bad) != 0) return false;
  *outlen = o;
  return true;
}

}  // namespace tavik
