// The tavik tool's public key and signature files: a strict parser, and the signed form of a file
// with its trusted comment. Everything here is public data; nothing is allocated.
#include "tavik_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "base64.h"
#include "fips202.h"
#include "key_id.h"

namespace {

// What a version 3 signature covers: the trusted comment's length as 4 bytes big-endian, the
// comment, then the file, signed under the context V3_CONTEXT. The context keeps these messages
// apart from everything else the key signs, raw messages included; the length keeps comment and
// file apart.
constexpr char V3_CONTEXT[] = TAVIK_FILE_V3_CONTEXT;
constexpr uint64_t V3_CONTEXT_BYTES = sizeof V3_CONTEXT - 1;
static_assert(V3_CONTEXT_BYTES == 23);
// Version 2 signed this label (23 characters and a zero byte) in front of the same length, comment
// and file, as a plain message: a raw signature of such bytes passes for one.
constexpr char V2_LABEL[] = "tavik file signature v2";  // with its terminating zero: 24 bytes
static_assert(sizeof V2_LABEL == 24);

// Absorbs the label of version 2 (none for version 3), the comment's length and the comment.
template <typename State, typename Update>
int32_t bind_comment(State *st, Update update, uint32_t version, const char *comment, size_t n) {
  const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  if (version == 2) update(st, reinterpret_cast<const uint8_t *>(V2_LABEL), sizeof V2_LABEL);
  update(st, len, sizeof len);
  return update(st, reinterpret_cast<const uint8_t *>(comment), n);
}

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

// Decodes base64 from the lines of `rest` until its end (or from one string), ignoring spaces, tabs
// and line ends, into exactly `want` (at most 2573) bytes at out. Refuses other characters,
// missing or misplaced padding and nonzero bits after the last byte.
int32_t decode_base64(Text rest, uint8_t *out, size_t want) {
  constexpr size_t MAX_BYTES = TAVIK_SIG_BYTES;
  static_assert(TAVIK_PK_BYTES <= MAX_BYTES);
  uint8_t bytes[(MAX_BYTES + 2) / 3 * 3];
  if (want > MAX_BYTES) return TAVIK_FILE_BAD_LENGTH;
  size_t chars = 0;
  for (size_t i = 0; i < rest.n; ++i) chars += tavik::base64_is_space(rest.p[i]) ? 0 : 1;
  if (chars > (want + 2) / 3 * 4) return TAVIK_FILE_BAD_LENGTH;
  size_t got = 0;
  if (!tavik::base64_decode_text(bytes, sizeof bytes, &got, rest.p, rest.n)) return TAVIK_FILE_BAD_BASE64;
  if (got != want) return TAVIK_FILE_BAD_LENGTH;
  std::memcpy(out, bytes, want);
  return TAVIK_OK;
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
// `names` (names_v1 for version 1; names_v2 for versions 2 and 3, which only signatures have;
// exactly these, in this order), and the text after the "data:" line.
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
  } else if ((v.is("2") || v.is("3")) && names_v2 != nullptr) {  // version 3 keeps 2's fields
    *version = v.p[0] == '2' ? 2 : 3;
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
  tavik::files::hex_key_id(pk, own);
  if (id != nullptr && !id->is(own)) return TAVIK_FILE_KEY_ID_MISMATCH;
  std::memcpy(out->pk, pk, sizeof pk);
  std::memcpy(out->key_id, own, sizeof own);
  return TAVIK_OK;
}

// Starts st on the message a signature of sig's version covers, up to the file's bytes: 0,
// TAVIK_FILE_OTHER_KEY, TAVIK_FILE_LEGACY_VERSION (versions 1 and 2 without
// TAVIK_FILE_ALLOW_LEGACY), or -2.
int32_t start_verify(tavik_verify_state *st, const tavik_public_key_file *pk, const tavik_signature_file *sig,
                     uint32_t flags) {
  if (st == nullptr || pk == nullptr || sig == nullptr || sig->version < 1 || sig->version > 3 ||
      sig->trusted_comment_len > TAVIK_FILE_COMMENT_MAX || (flags & ~TAVIK_FILE_ALLOW_LEGACY) != 0)
    return TAVIK_ILLEGAL_PARAMETER;
  if (std::memcmp(pk->key_id, sig->key_id, 16) != 0) return TAVIK_FILE_OTHER_KEY;
  if (sig->version < 3 && (flags & TAVIK_FILE_ALLOW_LEGACY) == 0) return TAVIK_FILE_LEGACY_VERSION;
  const int32_t r = sig->version == 3 ? tavik_verify_init_ctx(st, pk->pk, reinterpret_cast<const uint8_t *>(V3_CONTEXT),
                                                              V3_CONTEXT_BYTES)
                                      : tavik_verify_init(st, pk->pk);
  if (r != TAVIK_OK || sig->version == 1) return r;
  return bind_comment(st, tavik_verify_update, sig->version, sig->trusted_comment, sig->trusted_comment_len);
}

// The state behind tavik_file_verify_state: the scheme's stream, the signature, and the file's
// first bytes, as many as the version 2 label has.
constexpr uint64_t FILE_VERIFY_TAG = 0x7461766b46566572ULL;
struct FileVerify {
  uint64_t tag;
  tavik_verify_state scheme;
  uint8_t sig[TAVIK_SIG_BYTES];
  uint8_t head[sizeof V2_LABEL];
  uint32_t head_len;
  uint32_t version;
};
static_assert(sizeof(FileVerify) <= sizeof(tavik_file_verify_state) &&
              alignof(FileVerify) <= alignof(tavik_file_verify_state));

FileVerify *live(tavik_file_verify_state *st) {
  if (st == nullptr) return nullptr;
  FileVerify *v = std::launder(reinterpret_cast<FileVerify *>(st));
  return v->tag == FILE_VERIFY_TAG && v->head_len <= sizeof v->head ? v : nullptr;
}

// True when n bytes at p share a byte with the state.
bool overlaps(const void *p, size_t n, const tavik_file_verify_state *st) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(st);
  return n != 0 && (a >= b ? a - b < sizeof *st : b - a < n);
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
  const Text untrusted = version >= 2 ? values[1] : none, trusted = version >= 2 ? values[2] : none;
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
  return start_verify(st, pk, sig, 0);
}

int32_t tavik_file_verify_init_flags(tavik_file_verify_state *st, const tavik_public_key_file *pk,
                                     const tavik_signature_file *sig, uint32_t flags) {
  // The state is cleared first: the key and the signature must lie outside it.
  if (st == nullptr || overlaps(pk, sizeof *pk, st) || overlaps(sig, sizeof *sig, st)) return TAVIK_ILLEGAL_PARAMETER;
  FileVerify *v = new (st) FileVerify{};
  const int32_t r = start_verify(&v->scheme, pk, sig, flags);
  if (r != TAVIK_OK) return r;
  std::memcpy(v->sig, sig->sig, sizeof v->sig);
  v->version = sig->version;
  v->tag = FILE_VERIFY_TAG;
  return TAVIK_OK;
}

int32_t tavik_file_verify_update(tavik_file_verify_state *st, const uint8_t *data, size_t len) {
  FileVerify *v = live(st);
  if (v == nullptr || (data == nullptr && len > 0) || overlaps(data, len, st)) return TAVIK_ILLEGAL_PARAMETER;
  const size_t keep = std::min(len, sizeof v->head - v->head_len);
  if (keep > 0) std::memcpy(v->head + v->head_len, data, keep);
  v->head_len += uint32_t(keep);
  return tavik_verify_update(&v->scheme, data, len);
}

int32_t tavik_file_verify_final(tavik_file_verify_state *st) {
  FileVerify *v = live(st);
  if (v == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  // A version 1 signature covers the file alone: when the file is a version 2 message, it is also
  // that message's signature, trusted comment and all, and may have been made as one.
  const bool labelled = v->version == 1 && v->head_len == sizeof V2_LABEL &&
                        std::memcmp(v->head, V2_LABEL, sizeof V2_LABEL) == 0;
  const int32_t r = labelled ? TAVIK_FILE_LEGACY_LABELLED : tavik_verify_final(&v->scheme, v->sig, TAVIK_SIG_BYTES);
  std::memset(st, 0, sizeof *st);  // finished; the state held public data only
  return r;
}

int32_t tavik_file_verify_stream_flags(const tavik_public_key_file *pk, const tavik_signature_file *sig, FILE *f,
                                       uint32_t flags) {
  if (f == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  tavik_file_verify_state st;
  const int32_t r = tavik_file_verify_init_flags(&st, pk, sig, flags);
  if (r != TAVIK_OK) return r;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) tavik_file_verify_update(&st, buf, n);
  if (std::ferror(f)) {
    std::memset(&st, 0, sizeof st);
    return TAVIK_FILE_READ_ERROR;
  }
  return tavik_file_verify_final(&st);
}

int32_t tavik_file_verify_stream(const tavik_public_key_file *pk, const tavik_signature_file *sig, FILE *f) {
  return tavik_file_verify_stream_flags(pk, sig, f, 0);
}

int32_t tavik_file_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk, const char *trusted_comment,
                                    size_t len) {
  if (st == nullptr || (trusted_comment == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  if (len > 0 && !clean_comment(trusted_comment, len)) return TAVIK_ILLEGAL_PARAMETER;
  // A damaged key is refused before the state is touched: its public part, rebuilt from the secret
  // fields, must match the hash and t0 the key stores.
  uint8_t pk[TAVIK_PK_BYTES];
  if (sk == nullptr || tavik_pk_from_sk(pk, sk) != TAVIK_OK) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t r =
      tavik_sign_init_ctx_hedged(st, sk, reinterpret_cast<const uint8_t *>(V3_CONTEXT), V3_CONTEXT_BYTES);
  if (r != TAVIK_OK) return r;
  return bind_comment(st, tavik_sign_update, 3, trusted_comment, len);
}

int32_t tavik_file_mu_init(tavik_mu_state *st, const uint8_t *pk, const char *trusted_comment, size_t len) {
  if (st == nullptr || pk == nullptr || (trusted_comment == nullptr && len > 0)) return TAVIK_ILLEGAL_PARAMETER;
  if (len > 0 && !clean_comment(trusted_comment, len)) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t r = tavik_mu_init(st, pk, reinterpret_cast<const uint8_t *>(V3_CONTEXT), V3_CONTEXT_BYTES);
  if (r != TAVIK_OK) return r;
  return bind_comment(st, tavik_mu_update, 3, trusted_comment, len);
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
    case TAVIK_FILE_LEGACY_VERSION:
      return "a legacy signature (version 1 or 2), which a raw signature by the same key can pass for; "
             "verified only when legacy versions are allowed";
    case TAVIK_FILE_BUFFER_TOO_SMALL: return "the output does not fit";
    case TAVIK_FILE_LEGACY_LABELLED:
      return "a version 1 signature of a file that begins with the version 2 label: refused always";
    default: return "";
  }
}

}  // extern "C"

namespace tavik::files {

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

}  // namespace tavik::files
