// Expanded keys: a key prepared once, kept with its keyed check value in the caller's storage, and
// the calls that sign and verify with it.
#include <cstddef>
#include <cstring>

#include "opaque.h"
#include "scheme.h"
#include "signature.h"
#include "tavik.h"

using namespace tavik;
using namespace tavik::scheme;

namespace {

// tavik_sign_expanded(_ctx) and tavik_sign_expanded(_ctx)_hedged, once the context is checked.
int32_t sign_expanded(const tavik_expanded_sk *xsk, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                      bool hedged) {
  if ((msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedSk *x = intact_expanded(xsk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_any(x->key, ctx, msg, msglen, sig, nullptr, rnd); });
}

// tavik_sign_expanded(_ctx) and tavik_sign_expanded(_ctx)_hedged: the context checked first.
int32_t sign_expanded(const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                      uint64_t msglen, uint8_t *sig, bool hedged) {
  Context c;
  if (!context_of(&c, ctx, ctxlen)) return TAVIK_ILLEGAL_PARAMETER;
  return sign_expanded(xsk, c, msg, msglen, sig, hedged);
}

// tavik_verify_expanded(_ctx).
int32_t verify_expanded(const tavik_expanded_pk *xpk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig,
                        uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  Context c;
  if (!context_of(&c, ctx, ctxlen)) return TAVIK_ILLEGAL_PARAMETER;
  if ((msg == nullptr && msglen != 0) || sig == nullptr || siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedPk *x = intact_expanded_pk(xpk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(&x->key, nullptr, c, sig, msg, msglen);
}

// tavik_sign_expanded_mu and tavik_sign_expanded_mu_hedged.
int32_t sign_expanded_mu(const tavik_expanded_sk *xsk, const uint8_t *mu, uint8_t *sig, bool hedged) {
  if (mu == nullptr || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedSk *x = intact_expanded(xsk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) {
    return sign_digest(x->key, mu, sig, nullptr, rnd) ? TAVIK_OK : TAVIK_SIGNING_FAILED;
  });
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
  return sign_expanded(xsk, Context{}, msg, msglen, sig, false);
}

int32_t tavik_sign_expanded_hedged(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_expanded(xsk, Context{}, msg, msglen, sig, true);
}

int32_t tavik_verify_expanded(const tavik_expanded_pk *xpk, const uint8_t *sig, uint64_t siglen,
                              const uint8_t *msg, uint64_t msglen) {
  ready();
  return verify_expanded(xpk, nullptr, 0, sig, siglen, msg, msglen);
}

int32_t tavik_sign_expanded_ctx(const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen,
                                const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_expanded(xsk, ctx, ctxlen, msg, msglen, sig, false);
}

int32_t tavik_sign_expanded_ctx_hedged(const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen,
                                       const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_expanded(xsk, ctx, ctxlen, msg, msglen, sig, true);
}

int32_t tavik_verify_expanded_ctx(const tavik_expanded_pk *xpk, const uint8_t *ctx, uint64_t ctxlen,
                                  const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  ready();
  return verify_expanded(xpk, ctx, ctxlen, sig, siglen, msg, msglen);
}

int32_t tavik_sign_expanded_mu(const tavik_expanded_sk *xsk, const uint8_t *mu, uint8_t *sig) {
  ready();
  return sign_expanded_mu(xsk, mu, sig, false);
}

int32_t tavik_sign_expanded_mu_hedged(const tavik_expanded_sk *xsk, const uint8_t *mu, uint8_t *sig) {
  ready();
  return sign_expanded_mu(xsk, mu, sig, true);
}

int32_t tavik_verify_expanded_mu(const tavik_expanded_pk *xpk, const uint8_t *sig, uint64_t siglen,
                                 const uint8_t *mu) {
  ready();
  if (sig == nullptr || mu == nullptr || siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedPk *x = intact_expanded_pk(xpk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return verify_with(&x->key, nullptr, nullptr, sig,
                     [&](const uint8_t *, uint8_t *digest) { std::memcpy(digest, mu, CRH_BYTES); });
}

}  // extern "C"
