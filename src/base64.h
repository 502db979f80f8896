// Canonical base64 (the standard alphabet, '=' padding at the end only, the bits after the last
// byte zero), read by arithmetic on masks: no table is indexed and no branch is taken by a
// character's value, so the armour of a secret key decodes in constant time. Only the verdict,
// where the padding starts (which follows from the length of what was encoded) and, in text read
// by base64_decode_text, where the spaces and line ends lie are public.
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

// Whether c is a space, a tab or a line end, which base64_decode_text passes over. Public: no
// base64 character is one, so where they lie is the layout of the text (its line breaks), never
// its content.
inline bool base64_is_space(char c) {
  const uint32_t x = uint8_t(c);
  return ct::declassify(ct::mask_eq(x, ' ') | ct::mask_eq(x, '\t') | ct::mask_eq(x, '\r') | ct::mask_eq(x, '\n')) != 0;
}

namespace detail {

// The decoder of both forms below; SPACED passes over spaces, tabs and line ends.
template <bool SPACED>
inline bool base64_decode_chars(uint8_t *out, size_t room, size_t *outlen, const char *text, size_t len) {
  size_t n = 0, last = 0, before_last = 0;  // the characters, and where the last two lie
  for (size_t i = 0; i < len; ++i) {
    if (SPACED && base64_is_space(text[i])) continue;
    before_last = last;
    last = i;
    ++n;
  }
  if (n % 4 != 0) return false;
  const auto is_pad = [&](size_t i) { return ct::declassify(ct::mask_eq(uint8_t(text[i]), '=')) != 0; };
  const size_t pad = n == 0 || !is_pad(last) ? 0 : is_pad(before_last) ? 2 : 1;
  if (n / 4 * 3 - pad > room) return false;
  uint32_t bad = 0, w = 0;
  size_t o = 0, seen = 0;
  for (size_t i = 0; i < len; ++i) {
    if (SPACED && base64_is_space(text[i])) continue;
    // The padding itself is not decoded: is_pad has seen it.
    w = w << 6 | (seen < n - pad ? base64_decode6(uint8_t(text[i]), &bad) : 0u);
    if (++seen % 4 != 0) continue;
    const size_t bytes = seen == n ? 3 - pad : 3;
    out[o++] = uint8_t(w >> 16);
    if (bytes > 1) out[o++] = uint8_t(w >> 8);
    if (bytes > 2) out[o++] = uint8_t(w);
    // The bits below the last whole byte must be 0 in canonical base64.
    if (bytes == 1) bad |= ct::mask_nonzero(w & 0xFFFF);
    if (bytes == 2) bad |= ct::mask_nonzero(w & 0xFF);
    w = 0;
  }
  // Public: whether the text is canonical base64 is the caller's result.
  if (ct::declassify(bad) != 0) return false;
  *outlen = o;
  return true;
}

}  // namespace detail

// Decodes b64[0..len) into out (room for len / 4 * 3 bytes) and the byte count to *outlen; false,
// *outlen untouched, when it is not canonical base64 (len not a multiple of 4 included).
inline bool base64_decode(uint8_t *out, size_t *outlen, const char *b64, size_t len) {
  return detail::base64_decode_chars<false>(out, len / 4 * 3, outlen, b64, len);
}

// The same over text in lines: spaces, tabs and line ends anywhere are passed over, every other
// byte (a NUL, a byte above 0x7f, any character outside the alphabet) refuses the text. False as
// well when more than `room` bytes would come out. The one decoder of the tool and of the library's
// reader of its files, so that both refuse the same texts.
inline bool base64_decode_text(uint8_t *out, size_t room, size_t *outlen, const char *text, size_t len) {
  return detail::base64_decode_chars<true>(out, room, outlen, text, len);
}

}  // namespace tavik
