// Expanded keys: a key prepared once, kept with its keyed check value in the caller's storage, and
// the calls that sign and verify with it.
#include <cstddef>

#include "opaque.h"
#include "scheme.h"
#include "signature.h"
#include "tavik.h"

using namespace tavik;
using namespace tavik::scheme;

namespace {

// tavik_sign_expanded and tavik_sign_expanded_hedged.
int32_t sign_expanded(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, bool hedged) {
  if ((msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedSk *x = intact_expanded(xsk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_any(x->key, msg, msglen, sig, nullptr, rnd); });
}

}  // namespace

extern "C" {

// A damaged stored key is refused before anything is written. The preparation writes every field
// of the key; start() zeroes the rest of the storage.
int32_t tavik_expand_sk(tavik_expanded_sk *xsk, const uint8_t *sk) {
  ready();
  if (xsk == nullptr || sk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!key_check_ready()) return TAVIK_NO_RANDOMNESS;
  const bool intact = secret_key_intact(sk);
  scrub_stack<EXPAND_SCRUB_BYTES>();
  if (!intact) return TAVIK_ILLEGAL_PARAMETER;
  ExpandedSk *x = start<ExpandedSk, EXPANDED_SK_TAG>(xsk, offsetof(ExpandedSk, tag));
  prepare_sign_key(x->key, sk, nullptr, false);  // checked above
  x->seal();
  scrub_stack<EXPAND_SCRUB_BYTES>();
  return TAVIK_OK;
}

int32_t tavik_expand_pk(tavik_expanded_pk *xpk, const uint8_t *pk) {
  ready();
  if (xpk == nullptr || pk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!key_check_ready()) return TAVIK_NO_RANDOMNESS;
  ExpandedPk *x = start<ExpandedPk, EXPANDED_PK_TAG>(xpk, offsetof(ExpandedPk, tag));
  prepare_verify_key(x->key, pk);
  x->seal();
  return TAVIK_OK;
}

void tavik_expanded_sk_wipe(tavik_expanded_sk *xsk) {
  if (xsk != nullptr) secure_wipe(xsk, sizeof *xsk);
}

int32_t tavik_sign_expanded(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_expanded(xsk, msg, msglen, sig, false);
}

int32_t tavik_sign_expanded_hedged(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_expanded(xsk, msg, msglen, sig, true);
}

int32_t tavik_verify_expanded(const tavik_expanded_pk *xpk, const uint8_t *sig, uint64_t siglen,
                              const uint8_t *msg, uint64_t msglen) {
  ready();
  if ((msg == nullptr && msglen != 0) || sig == nullptr || siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedPk *x = intact_expanded_pk(xpk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(&x->key, nullptr, sig, msg, msglen);
}

}  // extern "C"
