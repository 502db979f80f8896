// libFuzzer target: sig_sign on an arbitrary 3056-byte secret key. The input is the key (zero
// padded when shorter) followed by the message (one zero byte when empty, cut at 3300 bytes).
// Signing must return 0, give the same signature twice, and never read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavik.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t sk[TAVIK_SK_BYTES] = {};
  const size_t key_bytes = size < sizeof sk ? size : sizeof sk;
  std::memcpy(sk, data, key_bytes);
  const uint8_t zero = 0;
  const uint8_t *msg = size > sizeof sk ? data + sizeof sk : &zero;
  size_t msglen = size > sizeof sk ? size - sizeof sk : 1;
  if (msglen > TAVIK_MAX_MSG_BYTES) msglen = TAVIK_MAX_MSG_BYTES;

  uint8_t sig1[TAVIK_SIG_BYTES], sig2[TAVIK_SIG_BYTES];
  uint64_t len1 = 0, len2 = 0;
  if (sig_sign(sk, msg, msglen, sig1, &len1) != 0 || len1 != TAVIK_SIG_BYTES) std::abort();
  if (sig_sign(sk, msg, msglen, sig2, &len2) != 0 || len2 != len1) std::abort();
  if (std::memcmp(sig1, sig2, sizeof sig1) != 0) std::abort();
  return 0;
}
