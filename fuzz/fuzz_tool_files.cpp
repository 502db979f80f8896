// libFuzzer target: the reader of the tool's public key and signature files on hostile text. The
// first byte picks the reader (public key file, inline key, signature file) and whether legacy
// versions are allowed. Reading must never crash or read out of bounds; a refusal leaves the
// output as it was; what is accepted holds what the header promises (a key whose id is its own,
// comments within bounds and free of control bytes), and an accepted signature goes through
// verification with a verdict, never an error: a legacy one is refused unless allowed, and a
// version 1 one may be refused for the file it is checked against.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *text = reinterpret_cast<const char *>(data + 1);
  const size_t len = size - 1;
  static tavik_public_key_file k, before_k;
  static tavik_signature_file s, before_s;
  std::memset(&k, 0x5a, sizeof k);
  std::memset(&s, 0x5a, sizeof s);
  before_k = k;
  before_s = s;
  int32_t r;
  switch (data[0] % 3) {
    case 0:
    case 1:
      r = data[0] % 3 == 0 ? tavik_public_key_file_parse(&k, text, len) : tavik_public_key_file_from_base64(&k, text, len);
      if (r != TAVIK_OK) {
        if (std::memcmp(&k, &before_k, sizeof k) != 0) std::abort();
        break;
      }
      if (std::strlen(k.key_id) != 16) std::abort();
      break;
    default:
      r = tavik_signature_file_parse(&s, text, len);
      if (r != TAVIK_OK) {
        if (std::memcmp(&s, &before_s, sizeof s) != 0) std::abort();
        break;
      }
      if (s.version < 1 || s.version > 3 || s.trusted_comment_len > TAVIK_FILE_COMMENT_MAX ||
          s.untrusted_comment_len > TAVIK_FILE_COMMENT_MAX || std::strlen(s.trusted_comment) != s.trusted_comment_len ||
          std::strlen(s.untrusted_comment) != s.untrusted_comment_len)
        std::abort();
      for (uint32_t i = 0; i < s.trusted_comment_len; ++i) {
        const unsigned char c = static_cast<unsigned char>(s.trusted_comment[i]);
        if (c < 0x20 || c == 0x7f) std::abort();
      }
      {
        tavik_public_key_file any{};
        std::memcpy(any.key_id, s.key_id, sizeof any.key_id);
        const uint32_t flags = data[0] & 4 ? TAVIK_FILE_ALLOW_LEGACY : 0;
        tavik_file_verify_state st;
        const int32_t r0 = tavik_file_verify_init_flags(&st, &any, &s, flags);
        if (r0 == TAVIK_FILE_LEGACY_VERSION && s.version < 3 && flags == 0) break;
        if (r0 != TAVIK_OK) std::abort();
        tavik_file_verify_update(&st, data, size);
        const int32_t v = tavik_file_verify_final(&st);
        if (v != TAVIK_OK && v != TAVIK_INVALID_SIGNATURE && !(v == TAVIK_FILE_LEGACY_LABELLED && s.version == 1))
          std::abort();
      }
  }
  return 0;
}
