// libFuzzer target: the hybrid pair's container decoders on hostile input. The first byte picks the
// decoder (public or secret key, DER or PEM) and whether the rest is the input itself or edits (set,
// insert or delete a byte; three bytes each) to a valid container of that kind. Decoding must never
// crash or read out of bounds; what it accepts must be what the encoder writes (an accepted public
// key's DER re-encodes to the same bytes, an accepted secret key re-encodes in its form and decodes
// to the same key), and an accepted secret key is always one whose halves agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"

namespace {

constexpr size_t ROOM = TAVIK_HYBRID_SK_PEM_MAX_BYTES + 4096;

struct Baselines {
  uint8_t bytes[4][TAVIK_HYBRID_SK_PEM_MAX_BYTES];
  size_t len[4];
  Baselines() {
    uint8_t seed[TAVIK_HYBRID_SEED_BYTES] = {5}, pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES];
    if (tavik_hybrid_keygen_from_seed(pk, sk, seed) != 0 ||
        tavik_hybrid_pk_to_der(bytes[0], sizeof bytes[0], &len[0], pk) != 0 ||
        tavik_hybrid_pk_to_pem(reinterpret_cast<char *>(bytes[1]), sizeof bytes[1], &len[1], pk) != 0 ||
        tavik_hybrid_sk_to_der(bytes[2], sizeof bytes[2], &len[2], seed, sk) != 0 ||
        tavik_hybrid_sk_to_pem(reinterpret_cast<char *>(bytes[3]), sizeof bytes[3], &len[3], nullptr, sk) != 0)
      std::abort();
  }
};

// Applies edits (op and offset's high bits, offset's low byte, value) to base in buf.
size_t edit(uint8_t *buf, const uint8_t *base, size_t len, const uint8_t *edits, size_t n) {
  std::memcpy(buf, base, len);
  for (size_t i = 0; i + 3 <= n; i += 3) {
    const size_t op = edits[i] >> 6, at = (size_t(edits[i] & 63) << 8 | edits[i + 1]) % (len + 1);
    if (op == 1 && len < ROOM) {
      std::memmove(buf + at + 1, buf + at, len - at);
      buf[at] = edits[i + 2];
      ++len;
    } else if (op == 2 && at < len) {
      std::memmove(buf + at, buf + at + 1, len - at - 1);
      --len;
    } else if (at < len) {
      buf[at] = edits[i + 2];
    }
  }
  return len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const Baselines base;
  static uint8_t edited[ROOM];
  const uint8_t kind = data[0] % 4;
  const uint8_t *in = data + 1;
  size_t n = size - 1;
  if (data[0] & 4) {
    n = edit(edited, base.bytes[kind], base.len[kind], in, n);
    in = edited;
  }
  const char *text = reinterpret_cast<const char *>(in);
  static uint8_t out[TAVIK_HYBRID_SK_PEM_MAX_BYTES];
  size_t len = 0;
  if (kind < 2) {
    uint8_t pk[TAVIK_HYBRID_PK_BYTES], pk2[TAVIK_HYBRID_PK_BYTES];
    const int32_t r = kind == 0 ? tavik_hybrid_pk_from_der(pk, in, n) : tavik_hybrid_pk_from_pem(pk, text, n);
    if (r != 0) {
      if (tavik_der_error_string(r)[0] == '\0') std::abort();
      return 0;
    }
    if (kind == 0) {
      if (tavik_hybrid_pk_to_der(out, sizeof out, &len, pk) != 0 || len != n || std::memcmp(out, in, n) != 0)
        std::abort();
    } else if (tavik_hybrid_pk_to_pem(reinterpret_cast<char *>(out), sizeof out, &len, pk) != 0 ||
               tavik_hybrid_pk_from_pem(pk2, reinterpret_cast<const char *>(out), len) != 0 ||
               std::memcmp(pk, pk2, sizeof pk) != 0) {
      std::abort();
    }
    return 0;
  }
  uint8_t sk[TAVIK_HYBRID_SK_BYTES], seed[TAVIK_HYBRID_SEED_BYTES], sk2[TAVIK_HYBRID_SK_BYTES],
      pk[TAVIK_HYBRID_PK_BYTES];
  uint32_t form = 0;
  const int32_t r = kind == 2 ? tavik_hybrid_sk_from_der(sk, seed, &form, in, n)
                              : tavik_hybrid_sk_from_pem(sk, seed, &form, text, n);
  if (r != 0) {
    if (tavik_der_error_string(r)[0] == '\0') std::abort();
    return 0;
  }
  const uint8_t *s = form & TAVIK_FORM_SEED ? seed : nullptr, *k = form & TAVIK_FORM_KEY ? sk : nullptr;
  if (tavik_hybrid_pk_from_sk(pk, sk) != 0 || tavik_hybrid_sk_to_der(out, sizeof out, &len, s, k) != 0 ||
      tavik_hybrid_sk_from_der(sk2, nullptr, nullptr, out, len) != 0 || std::memcmp(sk, sk2, sizeof sk) != 0)
    std::abort();
  return 0;
}
