// The scheme's three calls, and the one-shot calls over messages of any length.
#include "signature.h"

#include <cstdint>

#include "params.h"
#include "randombytes.h"
#include "scheme/scheme.h"
#include "wipe.h"

using namespace tavik;
using namespace tavik::scheme;

namespace {

// True when the PK_BYTES at pk and the SK_BYTES at sk share a byte.
bool keys_overlap(const uint8_t *pk, const uint8_t *sk) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(pk), s = reinterpret_cast<uintptr_t>(sk);
  return p < s + SK_BYTES && s < p + PK_BYTES;
}

// msglen in [1, MAX_MSG_BYTES], tested as one unsigned comparison.
bool msglen_ok(uint64_t msglen) { return msglen - 1 <= MAX_MSG_BYTES - 1; }

}  // namespace

namespace tavik {

int32_t sign_with_stats(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                        uint64_t *siglen, SignStats *stats) {
  ready();
  if (sk == nullptr || msg == nullptr || sig == nullptr || siglen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!msglen_ok(msglen)) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t result = sign_any(sk, Context{}, msg, msglen, sig, stats, nullptr);
  if (result != TAVIK_OK) return result;
  *siglen = SIG_BYTES;
  return TAVIK_OK;
}

}  // namespace tavik

extern "C" {

int32_t sig_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  ready();
  if (pk == nullptr || sk == nullptr || seed == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (keys_overlap(pk, sk)) return TAVIK_ILLEGAL_PARAMETER;
  keygen(pk, sk, seed);
  scrub_after_keygen();
  return TAVIK_OK;
}

int32_t sig_keygen(uint8_t *pk, uint8_t *sk) {
  ready();
  if (pk == nullptr || sk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (keys_overlap(pk, sk)) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t seed[SEED_BYTES];
  if (!randombytes(seed, sizeof seed)) {
    secure_wipe(seed, sizeof seed);
    return TAVIK_NO_RANDOMNESS;
  }
  keygen(pk, sk, seed);
  secure_wipe(seed, sizeof seed);
  scrub_after_keygen();
  return TAVIK_OK;
}

int32_t sig_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, uint64_t *siglen) {
  return sign_with_stats(sk, msg, msglen, sig, siglen, nullptr);
}

int32_t sig_verf(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  ready();
  if (pk == nullptr || msg == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!msglen_ok(msglen)) return TAVIK_ILLEGAL_PARAMETER;
  if (siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(nullptr, pk, Context{}, sig, msg, msglen);
}

int32_t tavik_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_message(sk, Context{}, msg, msglen, sig, false);
}

int32_t tavik_sign_hedged(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_message(sk, Context{}, msg, msglen, sig, true);
}

int32_t tavik_verify(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  ready();
  if (pk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(nullptr, pk, Context{}, sig, msg, msglen);
}

}  // extern "C"
