// libFuzzer target: sig_sign on an arbitrary 3056-byte secret key, and on the intact key made from
// the input's first 32 bytes as a seed. The input is the key (zero padded when shorter) followed by
// the message (one zero byte when empty, cut at 3300 bytes).
// An arbitrary key is either refused (-2, neither the signature nor its length written) or signed
// (0, the same signature twice); the intact key always signs, twice alike, and the signature
// verifies. Nothing is read or written out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik.h"

namespace {

void sign_twice_alike(const uint8_t *sk, const uint8_t *msg, size_t msglen, int32_t *result) {
  uint8_t sig1[TAVIK_SIG_BYTES], sig2[TAVIK_SIG_BYTES];
  std::memset(sig1, 0xa5, sizeof sig1);
  uint64_t len1 = 7, len2 = 0;
  *result = sig_sign(sk, msg, msglen, sig1, &len1);
  if (*result == TAVIK_ILLEGAL_PARAMETER) {
    // Refused: nothing written.
    for (uint8_t b : sig1)
      if (b != 0xa5) std::abort();
    if (len1 != 7) std::abort();
    return;
  }
  if (*result != TAVIK_OK || len1 != TAVIK_SIG_BYTES) std::abort();
  if (sig_sign(sk, msg, msglen, sig2, &len2) != TAVIK_OK || len2 != len1) std::abort();
  if (std::memcmp(sig1, sig2, sizeof sig1) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t sk[TAVIK_SK_BYTES] = {};
  const size_t key_bytes = size < sizeof sk ? size : sizeof sk;
  std::memcpy(sk, data, key_bytes);
  const uint8_t zero = 0;
  const uint8_t *msg = size > sizeof sk ? data + sizeof sk : &zero;
  size_t msglen = size > sizeof sk ? size - sizeof sk : 1;
  if (msglen > TAVIK_MAX_MSG_BYTES) msglen = TAVIK_MAX_MSG_BYTES;

  int32_t result = 0;
  sign_twice_alike(sk, msg, msglen, &result);

  uint8_t pk[TAVIK_PK_BYTES], intact[TAVIK_SK_BYTES];
  if (sig_keygen_from_seed(pk, intact, sk) != TAVIK_OK) std::abort();
  sign_twice_alike(intact, msg, msglen, &result);
  if (result != TAVIK_OK) std::abort();
  uint8_t sig[TAVIK_SIG_BYTES];
  uint64_t siglen = 0;
  if (sig_sign(intact, msg, msglen, sig, &siglen) != TAVIK_OK) std::abort();
  if (sig_verf(pk, sig, siglen, msg, msglen) != TAVIK_OK) std::abort();
  return 0;
}
