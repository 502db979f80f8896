// The tavik tool's public key and signature files written as the tool writes them, for applications
// that make them without the tool. Everything here is public data; nothing is allocated.
#include <cstring>

#include "key_id.h"
#include "tavik_files.h"

namespace {

constexpr size_t LINE_CHARS = 64;
static_assert(TAVIK_FILE_SIGNATURE_VERSION == 3, "the kind line written below");
constexpr size_t base64_chars(size_t bytes) { return (bytes + 2) / 3 * 4; }
constexpr size_t data_chars(size_t bytes) { return base64_chars(bytes) + (base64_chars(bytes) + LINE_CHARS - 1) / LINE_CHARS; }
// The kind line, "key-id: " and 16 digits and a line end, "data:\n", the data, a NUL.
static_assert(TAVIK_PUBLIC_KEY_FILE_CHARS == 20 + 25 + 6 + data_chars(TAVIK_PK_BYTES) + 1);
// And the comments' lines: "untrusted-comment: ", "trusted-comment: ", each at most 1024 bytes.
static_assert(TAVIK_SIGNATURE_FILE_MAX_CHARS ==
              19 + 25 + 19 + 17 + 2 * (TAVIK_FILE_COMMENT_MAX + 1) + 6 + data_chars(TAVIK_SIG_BYTES) + 1);

// Appends to a buffer of fixed room; `full` once anything did not fit.
struct Out {
  char *p;
  size_t cap, n = 0;
  bool full = false;
  void put(const char *s, size_t len) {
    if (n + len >= cap) full = true;  // the NUL needs its place too
    if (!full) std::memcpy(p + n, s, len);
    n += len;
  }
  void put(const char *s) { put(s, std::strlen(s)); }
  // base64 of the standard alphabet with padding, in lines of LINE_CHARS, each ended by "\n".
  void base64_lines(const uint8_t *d, size_t len) {
    static const char A[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t col = 0;
    for (size_t i = 0; i < len; i += 3) {
      const uint32_t w = uint32_t(d[i]) << 16 | (i + 1 < len ? uint32_t(d[i + 1]) << 8 : 0) | (i + 2 < len ? d[i + 2] : 0);
      const char q[4] = {A[w >> 18], A[w >> 12 & 63], i + 1 < len ? A[w >> 6 & 63] : '=', i + 2 < len ? A[w & 63] : '='};
      for (const char c : q) {
        put(&c, 1);
        if (++col == LINE_CHARS) {
          put("\n");
          col = 0;
        }
      }
    }
    if (col != 0) put("\n");
  }
  int32_t end(size_t *outlen) {
    if (full) return TAVIK_FILE_BUFFER_TOO_SMALL;
    p[n] = '\0';
    *outlen = n;
    return TAVIK_OK;
  }
};

bool hex_id(const char *id) {
  for (int i = 0; i < 16; ++i) {
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f'))) return false;
  }
  return id[16] == '\0';
}

bool clean(const char *c, uint32_t len) {
  if (len > TAVIK_FILE_COMMENT_MAX || std::strlen(c) != len) return false;
  for (uint32_t i = 0; i < len; ++i) {
    const unsigned char b = static_cast<unsigned char>(c[i]);
    if (b < 0x20 || b == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" {

int32_t tavik_public_key_file_from_key(tavik_public_key_file *out, const uint8_t *pk) {
  if (out == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  char id[17];
  tavik::files::hex_key_id(pk, id);
  std::memmove(out->pk, pk, TAVIK_PK_BYTES);
  std::memcpy(out->key_id, id, sizeof id);
  return TAVIK_OK;
}

int32_t tavik_public_key_file_format(char *out, size_t cap, size_t *outlen, const tavik_public_key_file *pk) {
  if (out == nullptr || outlen == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  char id[17];
  tavik::files::hex_key_id(pk->pk, id);
  if (std::memcmp(id, pk->key_id, sizeof id) != 0) return TAVIK_ILLEGAL_PARAMETER;
  Out o{out, cap};
  o.put("tavik public key v1\nkey-id: ");
  o.put(id);
  o.put("\ndata:\n");
  o.base64_lines(pk->pk, TAVIK_PK_BYTES);
  return o.end(outlen);
}

int32_t tavik_signature_file_format(char *out, size_t cap, size_t *outlen, const tavik_signature_file *sig) {
  if (out == nullptr || outlen == nullptr || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (sig->version != TAVIK_FILE_SIGNATURE_VERSION || !hex_id(sig->key_id) ||
      !clean(sig->trusted_comment, sig->trusted_comment_len) || !clean(sig->untrusted_comment, sig->untrusted_comment_len))
    return TAVIK_ILLEGAL_PARAMETER;
  Out o{out, cap};
  o.put("tavik signature v3\nkey-id: ");
  o.put(sig->key_id);
  o.put("\nuntrusted-comment: ");
  o.put(sig->untrusted_comment, sig->untrusted_comment_len);
  o.put("\ntrusted-comment: ");
  o.put(sig->trusted_comment, sig->trusted_comment_len);
  o.put("\ndata:\n");
  o.base64_lines(sig->sig, TAVIK_SIG_BYTES);
  return o.end(outlen);
}

}  // extern "C"
