// The tavik tool's public key and signature files: a strict parser, and the signed form of a file
// with its trusted comment. Everything here is public data; nothing is allocated.
#include "tavik_files.h"

#include <cstdio>
#include <cstring>

#include "fips202.h"

namespace {

// What a version 2 signature covers: this label (23 characters and a zero byte), the trusted
// comment's length as 4 bytes big-endian, the comment, then the file. The label keeps these
// messages apart from other uses of a key; the length keeps comment and file apart.
constexpr char V2_LABEL[] = "tavik file signature v2";  // with its terminating zero: 24 bytes
static_assert(sizeof V2_LABEL == 24);

struct Text {
  const char *p;
  size_t n;
  bool is(const char *s) const { return n == std::strlen(s) && std::memcmp(p, s, n) == 0; }
  bool starts(const char *s) const { return n >= std::strlen(s) && std::memcmp(p, s, std::strlen(s)) == 0; }
};

// The next line of `rest` (without "\n" and one "\r" before it); false at the end of the text.
bool next_line(Text &rest, Text *line) {
  if (rest.n == 0) return false;
  const void *nl = std::memchr(rest.p, '\n', rest.n);
  const size_t len = nl ? size_t(static_cast<const char *>(nl) - rest.p) : rest.n;
  *line = {rest.p, len};
  rest = nl ? Text{rest.p + len + 1, rest.n - len - 1} : Text{rest.p + len, 0};
  if (line->n > 0 && line->p[line->n - 1] == '\r') --line->n;
  return true;
}

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes base64 from the lines of `rest` until its end (or from one string), ignoring spaces, tabs
// and line ends, into exactly `want` bytes at out. Refuses other characters, missing or misplaced
// padding and nonzero bits after the last byte.
int32_t decode_base64(Text rest, uint8_t *out, size_t want) {
  size_t got = 0, pad = 0;
  uint32_t acc = 0;
  unsigned quad = 0;  // characters of the current group of four
  for (size_t i = 0; i < rest.n; ++i) {
    const unsigned char c = static_cast<unsigned char>(rest.p[i]);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      if (quad < 2) return TAVIK_FILE_BAD_BASE64;
      ++pad;
      ++quad;
      if (quad == 4) quad = 0;
      continue;
    }
    const int v = b64_value(c);
    if (v < 0 || pad > 0) return TAVIK_FILE_BAD_BASE64;
    acc = acc << 6 | uint32_t(v);
    if (++quad == 4) {
      if (got + 3 > want) return TAVIK_FILE_BAD_LENGTH;
      out[got++] = uint8_t(acc >> 16);
      out[got++] = uint8_t(acc >> 8);
      out[got++] = uint8_t(acc);
      acc = 0;
      quad = 0;
    }
  }
  if (quad != 0) return TAVIK_FILE_BAD_BASE64;  // a group cut short
  if (pad > 0) {
    // The last group was "xx==" or "xxx=": its bits sit in acc, shifted by the characters it had.
    const size_t bytes = 3 - pad;
    if (pad > 2) return TAVIK_FILE_BAD_BASE64;
    const unsigned chars = unsigned(4 - pad);
    const uint32_t bits = acc << (6 * (4 - chars));  // as if the padding were zero characters
    if (bits & ((1u << (8 * (3 - bytes))) - 1)) return TAVIK_FILE_BAD_BASE64;
    if (got + bytes > want) return TAVIK_FILE_BAD_LENGTH;
    for (size_t b = 0; b < bytes; ++b) out[got++] = uint8_t(bits >> (16 - 8 * b));
  }
  return got == want ? TAVIK_OK : TAVIK_FILE_BAD_LENGTH;
}

void hex_key_id(const uint8_t *pk, char *out) {
  uint8_t h[8];
  tavik::shake256(h, sizeof h, pk, TAVIK_PK_BYTES);
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = digits[h[i] >> 4];
    out[2 * i + 1] = digits[h[i] & 15];
  }
  out[16] = '\0';
}

bool clean_comment(const char *p, size_t n) {
  if (n > TAVIK_FILE_COMMENT_MAX) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

enum class Kind { public_key, signature };

// The header of a file of kind `want`: the kind line's version, the values of the fields named in
// `names` (exactly these, in this order), and the text after the "data:" line.
int32_t read_header(Text text, Kind want, uint32_t *version, const char *const *names_v1,
                    const char *const *names_v2, Text *values, Text *data) {
  if (text.n > TAVIK_FILE_MAX_BYTES) return TAVIK_FILE_TOO_LARGE;
  Text rest = text, line{};
  if (!next_line(rest, &line)) return TAVIK_FILE_NOT_TAVIK;
  const char *const kinds[] = {"tavik public key v", "tavik signature v", "tavik secret key v"};
  const char *mine = kinds[want == Kind::public_key ? 0 : 1];
  if (!line.starts(mine)) {
    for (const char *k : kinds) {
      if (line.starts(k)) return TAVIK_FILE_WRONG_KIND;
    }
    return TAVIK_FILE_NOT_TAVIK;
  }
  const Text v{line.p + std::strlen(mine), line.n - std::strlen(mine)};
  const char *const *names;
  if (v.is("1")) {
    *version = 1;
    names = names_v1;
  } else if (v.is("2") && names_v2 != nullptr) {
    *version = 2;
    names = names_v2;
  } else {
    return TAVIK_FILE_UNKNOWN_VERSION;
  }
  size_t i = 0;
  for (;;) {
    if (!next_line(rest, &line)) return TAVIK_FILE_BAD_FIELDS;  // no data line
    if (line.is("data:")) break;
    const void *colon = nullptr;
    for (size_t j = 0; j + 1 < line.n; ++j) {
      if (line.p[j] == ':' && line.p[j + 1] == ' ') {
        colon = line.p + j;
        break;
      }
    }
    if (colon == nullptr || colon == line.p || names[i] == nullptr) return TAVIK_FILE_BAD_FIELDS;
    const size_t name_len = size_t(static_cast<const char *>(colon) - line.p);
    if (!Text{line.p, name_len}.is(names[i])) return TAVIK_FILE_BAD_FIELDS;
    values[i++] = {line.p + name_len + 2, line.n - name_len - 2};
  }
  if (names[i] != nullptr) return TAVIK_FILE_BAD_FIELDS;
  *data = rest;
  return TAVIK_OK;
}

bool well_formed_id(Text id) {
  if (id.n != 16) return false;
  for (size_t i = 0; i < 16; ++i) {
    const char c = id.p[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

int32_t public_key_of(tavik_public_key_file *out, Text b64, const Text *id) {
  uint8_t pk[TAVIK_PK_BYTES];
  const int32_t r = decode_base64(b64, pk, sizeof pk);
  if (r != TAVIK_OK) return r;
  char own[17];
  hex_key_id(pk, own);
  if (id != nullptr && !id->is(own)) return TAVIK_FILE_KEY_ID_MISMATCH;
  std::memcpy(out->pk, pk, sizeof pk);
  std::memcpy(out->key_id, own, sizeof own);
  return TAVIK_OK;
}

}  // namespace

extern "C" {

int32_t tavik_public_key_file_parse(tavik_public_key_file *out, const char *text, size_t len) {
  if (out == nullptr || (text == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  static const char *const names[] = {"key-id", nullptr};
  uint32_t version = 0;
  Text values[1], data{};
  int32_t r = read_header({text, len}, Kind::public_key, &version, names, nullptr, values, &data);
  if (r != TAVIK_OK) return r;
  if (!well_formed_id(values[0])) return TAVIK_FILE_BAD_KEY_ID;
  return public_key_of(out, data, &values[0]);
}

int32_t tavik_public_key_file_from_base64(tavik_public_key_file *out, const char *b64, size_t len) {
  if (out == nullptr || (b64 == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  if (len > TAVIK_FILE_MAX_BYTES) return TAVIK_FILE_TOO_LARGE;
  return public_key_of(out, {b64, len}, nullptr);
}

int32_t tavik_signature_file_parse(tavik_signature_file *out, const char *text, size_t len) {
  if (out == nullptr || (text == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  static const char *const v1[] = {"key-id", nullptr};
  static const char *const v2[] = {"key-id", "untrusted-comment", "trusted-comment", nullptr};
  uint32_t version = 0;
  Text values[3], data{};
  int32_t r = read_header({text, len}, Kind::signature, &version, v1, v2, values, &data);
  if (r != TAVIK_OK) return r;
  if (!well_formed_id(values[0])) return TAVIK_FILE_BAD_KEY_ID;
  const Text none{"", 0};
  const Text untrusted = version == 2 ? values[1] : none, trusted = version == 2 ? values[2] : none;
  if (!clean_comment(untrusted.p, untrusted.n) || !clean_comment(trusted.p, trusted.n))
    return TAVIK_FILE_BAD_COMMENT;
  uint8_t sig[TAVIK_SIG_BYTES];
  r = decode_base64(data, sig, sizeof sig);
  if (r != TAVIK_OK) return r;
  out->version = version;
  std::memcpy(out->key_id, values[0].p, 16);
  out->key_id[16] = '\0';
  std::memcpy(out->sig, sig, sizeof sig);
  out->trusted_comment_len = uint32_t(trusted.n);
  std::memcpy(out->trusted_comment, trusted.p, trusted.n);
  out->trusted_comment[trusted.n] = '\0';
  out->untrusted_comment_len = uint32_t(untrusted.n);
  std::memcpy(out->untrusted_comment, untrusted.p, untrusted.n);
  out->untrusted_comment[untrusted.n] = '\0';
  return TAVIK_OK;
}

int32_t tavik_file_verify_init(tavik_verify_state *st, const tavik_public_key_file *pk,
                               const tavik_signature_file *sig) {
  if (st == nullptr || pk == nullptr || sig == nullptr || (sig->version != 1 && sig->version != 2) ||
      sig->trusted_comment_len > TAVIK_FILE_COMMENT_MAX)
    return TAVIK_ILLEGAL_PARAMETER;
  if (std::memcmp(pk->key_id, sig->key_id, 16) != 0) return TAVIK_FILE_OTHER_KEY;
  int32_t r = tavik_verify_init(st, pk->pk);
  if (r != TAVIK_OK || sig->version == 1) return r;
  const uint32_t n = sig->trusted_comment_len;
  const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  tavik_verify_update(st, reinterpret_cast<const uint8_t *>(V2_LABEL), sizeof V2_LABEL);
  tavik_verify_update(st, len, sizeof len);
  return tavik_verify_update(st, reinterpret_cast<const uint8_t *>(sig->trusted_comment), n);
}

int32_t tavik_file_verify_stream(const tavik_public_key_file *pk, const tavik_signature_file *sig, FILE *f) {
  if (f == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  tavik_verify_state st;
  const int32_t r = tavik_file_verify_init(&st, pk, sig);
  if (r != TAVIK_OK) return r;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) tavik_verify_update(&st, buf, n);
  if (std::ferror(f)) {
    return TAVIK_FILE_READ_ERROR;
  }
  return tavik_verify_final(&st, sig->sig, TAVIK_SIG_BYTES);
}

int32_t tavik_file_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk, const char *trusted_comment,
                                    size_t len) {
  if (st == nullptr || (trusted_comment == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  if (len > 0 && !clean_comment(trusted_comment, len)) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t r = tavik_sign_init_hedged(st, sk);
  if (r != TAVIK_OK) return r;
  const uint8_t n[4] = {uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
  tavik_sign_update(st, reinterpret_cast<const uint8_t *>(V2_LABEL), sizeof V2_LABEL);
  tavik_sign_update(st, n, sizeof n);
  return tavik_sign_update(st, reinterpret_cast<const uint8_t *>(trusted_comment), len);
}

const char *tavik_file_error_string(int32_t code) {
  switch (code) {
    case TAVIK_OK: return "valid";
    case TAVIK_INVALID_SIGNATURE: return "invalid signature: the file, its trusted comment or the signature was changed";
    case TAVIK_FILE_OTHER_KEY: return "signed with another key";
    case TAVIK_ILLEGAL_PARAMETER: return "illegal parameter";
    case TAVIK_FILE_TOO_LARGE: return "larger than any tavik file";
    case TAVIK_FILE_NOT_TAVIK: return "not a tavik file";
    case TAVIK_FILE_WRONG_KIND: return "a tavik file of another kind";
    case TAVIK_FILE_UNKNOWN_VERSION: return "unknown format version";
    case TAVIK_FILE_BAD_FIELDS: return "malformed, missing or unexpected header fields";
    case TAVIK_FILE_BAD_KEY_ID: return "malformed key id";
    case TAVIK_FILE_BAD_COMMENT: return "comment too long or with control bytes";
    case TAVIK_FILE_BAD_BASE64: return "bad base64";
    case TAVIK_FILE_BAD_LENGTH: return "data of the wrong length";
    case TAVIK_FILE_KEY_ID_MISMATCH: return "key id is not the key's own";
    case TAVIK_FILE_READ_ERROR: return "read error";
    default: return "";
  }
}

}  // extern "C"
