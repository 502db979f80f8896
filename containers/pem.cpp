// PEM armour of the DER containers: base64 in lines of 64 characters between BEGIN and END lines.
// Base64 characters are made and read by arithmetic on masks, never by a table indexed with a
// key's bits or a branch on them. The reader's branches follow the line structure only, each
// through a mask made public on purpose: line ends, carriage returns and the dash that starts the
// END line, none of which a base64 character can be, and the padding at the end, which follows
// from the container's length.
#include <cstring>

#include "base64.h"
#include "ct.h"
#include "tavik.h"
#include "tavik_der.h"
#include "wipe.h"

namespace tavik::der {
namespace {

constexpr size_t LINE_CHARS = 64, MAX_LINE_CHARS = 76;
// Room for the decoded armour of a container of at most `der` bytes, and its base64 characters.
constexpr size_t decoded_room(size_t der) { return (der + 2) / 3 * 3; }
constexpr size_t MAX_BASE64 = decoded_room(TAVIK_DER_MAX_CONTAINER_BYTES) / 3 * 4;
constexpr const char PUBLIC_LABEL[] = "PUBLIC KEY", PRIVATE_LABEL[] = "PRIVATE KEY";

// The base64 character of a 6-bit value: 'A' + v, moved into the next range at 26, 52, 62, 63.
char encode6(uint32_t v) {
  uint32_t c = v + 'A';
  c += ct::mask_lt(25, v) & 6u;    // 'a' + (v - 26)
  c -= ct::mask_lt(51, v) & 75u;   // '0' + (v - 52)
  c -= ct::mask_lt(61, v) & 15u;   // '+'
  c += ct::mask_lt(62, v) & 3u;    // '/'
  return char(c);
}

size_t put_text(char *out, const char *a, const char *b, const char *c) {
  const size_t na = std::strlen(a), nb = std::strlen(b), nc = std::strlen(c);
  std::memcpy(out, a, na);
  std::memcpy(out + na, b, nb);
  std::memcpy(out + na + nb, c, nc);
  return na + nb + nc;
}

int32_t to_pem(char *out, size_t cap, size_t *outlen, const char *label, const uint8_t *der, size_t n) {
  const size_t chars = (n + 2) / 3 * 4, lines = (chars + LINE_CHARS - 1) / LINE_CHARS;
  const size_t total = 2 * 16 + 2 * std::strlen(label) + chars + lines;
  if (cap < total + 1) return TAVIK_DER_BUFFER_TOO_SMALL;
  size_t o = put_text(out, "-----BEGIN ", label, "-----\n");
  size_t col = 0;
  for (size_t i = 0; i < n; i += 3) {
    const uint32_t b0 = der[i], b1 = i + 1 < n ? der[i + 1] : 0, b2 = i + 2 < n ? der[i + 2] : 0;
    const uint32_t w = b0 << 16 | b1 << 8 | b2;
    out[o++] = encode6(w >> 18);
    out[o++] = encode6((w >> 12) & 63);
    out[o++] = i + 1 < n ? encode6((w >> 6) & 63) : '=';
    out[o++] = i + 2 < n ? encode6(w & 63) : '=';
    col += 4;
    if (col == LINE_CHARS || i + 3 >= n) {
      out[o++] = '\n';
      col = 0;
    }
  }
  o += put_text(out + o, "-----END ", label, "-----\n");
  out[o] = '\0';
  *outlen = o;
  return TAVIK_OK;
}

// Whether c is a or b: a fact about the text's layout, made public; the character stays secret.
bool is_public_char(char c, char a, char b) {
  const uint32_t v = uint8_t(c);
  return ct::declassify(ct::mask_eq(v, uint8_t(a)) | ct::mask_eq(v, uint8_t(b))) != 0;
}

// Takes `text` off the front of in[0..n) at *pos; false when it is not there.
bool take_text(const char *in, size_t n, size_t *pos, const char *text) {
  const size_t len = std::strlen(text);
  if (n - *pos < len || std::memcmp(in + *pos, text, len) != 0) return false;
  *pos += len;
  return true;
}

// Takes one line end ("\n" or "\r\n"); false when there is none.
bool take_line_end(const char *in, size_t n, size_t *pos) {
  return take_text(in, n, pos, "\n") || take_text(in, n, pos, "\r\n");
}

bool take_armour_line(const char *in, size_t n, size_t *pos, const char *kind, const char *label) {
  return take_text(in, n, pos, "-----") && take_text(in, n, pos, kind) && take_text(in, n, pos, label) &&
         take_text(in, n, pos, "-----");
}

// The base64 text between the armour lines to b64, its length to *b64len.
// At most max_chars characters are taken.
int32_t unwrap(char *b64, size_t *b64len, size_t max_chars, const char *label, const char *in, size_t n) {
  size_t pos = 0, len = 0;
  if (!take_armour_line(in, n, &pos, "BEGIN ", label) || !take_line_end(in, n, &pos)) return TAVIK_PEM_BAD_HEADER;
  while (true) {
    if (pos == n) return TAVIK_PEM_BAD_FOOTER;
    if (is_public_char(in[pos], '-', '-')) {
      if (!take_armour_line(in, n, &pos, "END ", label)) return TAVIK_PEM_BAD_FOOTER;
      if (pos != n && (!take_line_end(in, n, &pos) || pos != n)) return TAVIK_PEM_TRAILING_DATA;
      break;
    }
    size_t line = 0;
    while (pos < n && !is_public_char(in[pos], '\n', '\r')) {
      if (line == MAX_LINE_CHARS) return TAVIK_PEM_BAD_LINE;
      if (len == max_chars) return TAVIK_PEM_TOO_LONG;
      b64[len++] = in[pos++];
      ++line;
    }
    if (line == 0 || (pos < n && !take_line_end(in, n, &pos))) return TAVIK_PEM_BAD_LINE;
  }
  *b64len = len;
  return TAVIK_OK;
}

// Decodes canonical base64 into der.
int32_t decode_base64(uint8_t *der, size_t *derlen, const char *b64, size_t len) {
  return base64_decode(der, derlen, b64, len) ? TAVIK_OK : TAVIK_PEM_BAD_BASE64;
}

// der has decoded_room(max_der) bytes.
int32_t from_pem(uint8_t *der, size_t max_der, size_t *derlen, const char *label, const char *pem, size_t pemlen) {
  char b64[MAX_BASE64];
  size_t b64len = 0;
  int32_t r = unwrap(b64, &b64len, decoded_room(max_der) / 3 * 4, label, pem, pemlen);
  if (r == TAVIK_OK) r = decode_base64(der, derlen, b64, b64len);
  secure_wipe(b64, sizeof b64);
  return r;
}

}  // namespace
}  // namespace tavik::der

using namespace tavik;
using namespace tavik::der;

extern "C" int32_t tavik_pk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *pk) {
  if (out == nullptr || outlen == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[TAVIK_SPKI_MAX_BYTES];
  size_t n = 0;
  const int32_t r = tavik_pk_to_der(der, sizeof der, &n, pk);
  return r != TAVIK_OK ? r : to_pem(out, cap, outlen, PUBLIC_LABEL, der, n);
}

extern "C" int32_t tavik_pk_from_pem(uint8_t *pk, const char *pem, size_t pemlen) {
  if (pk == nullptr || pem == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[decoded_room(TAVIK_SPKI_MAX_BYTES)];
  size_t n = 0;
  const int32_t r = from_pem(der, TAVIK_SPKI_MAX_BYTES, &n, PUBLIC_LABEL, pem, pemlen);
  return r != TAVIK_OK ? r : tavik_pk_from_der(pk, der, n);
}

extern "C" int32_t tavik_sk_to_pem(char *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk) {
  if (out == nullptr || outlen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[TAVIK_PKCS8_MAX_BYTES];
  size_t n = 0;
  int32_t r = tavik_sk_to_der(der, sizeof der, &n, seed, sk);
  if (r == TAVIK_OK) r = to_pem(out, cap, outlen, PRIVATE_LABEL, der, n);
  secure_wipe(der, sizeof der);
  return r;
}

extern "C" int32_t tavik_sk_from_pem(uint8_t *sk, uint8_t *seed, uint32_t *form, const char *pem, size_t pemlen) {
  if (sk == nullptr || pem == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t der[decoded_room(TAVIK_PKCS8_MAX_BYTES)];
  size_t n = 0;
  int32_t r = from_pem(der, TAVIK_PKCS8_MAX_BYTES, &n, PRIVATE_LABEL, pem, pemlen);
  if (r == TAVIK_OK) r = tavik_sk_from_der(sk, seed, form, der, n);
  secure_wipe(der, sizeof der);
  return r;
}

namespace {

// A label the armour lines can carry: capital letters, digits and single spaces inside.
bool fit_label(const char *label) {
  const size_t n = label == nullptr ? 0 : std::strlen(label);
  if (n == 0 || n > 40 || label[0] == ' ' || label[n - 1] == ' ') return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = label[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (c == ' ' && label[i + 1] != ' '))) return false;
  }
  return true;
}

}  // namespace

extern "C" int32_t tavik_der_to_pem(char *out, size_t cap, size_t *outlen, const char *label, const uint8_t *der,
                                    size_t derlen) {
  if (out == nullptr || outlen == nullptr || der == nullptr || !fit_label(label) ||
      derlen > TAVIK_DER_MAX_CONTAINER_BYTES)
    return TAVIK_ILLEGAL_PARAMETER;
  return to_pem(out, cap, outlen, label, der, derlen);
}

extern "C" int32_t tavik_pem_to_der(uint8_t *der, size_t cap, size_t *derlen, const char *label, const char *pem,
                                    size_t pemlen) {
  if (der == nullptr || derlen == nullptr || pem == nullptr || !fit_label(label)) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t buf[decoded_room(TAVIK_DER_MAX_CONTAINER_BYTES)];
  size_t n = 0;
  int32_t r = from_pem(buf, TAVIK_DER_MAX_CONTAINER_BYTES, &n, label, pem, pemlen);
  if (r == TAVIK_OK && n > cap) r = TAVIK_DER_BUFFER_TOO_SMALL;
  if (r == TAVIK_OK) {
    std::memcpy(der, buf, n);
    *derlen = n;
  }
  secure_wipe(buf, sizeof buf);
  return r;
}
