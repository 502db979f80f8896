// One-shot hybrid signing and verification.
#include <cstring>

#include "halves.h"
#include "wipe.h"

namespace {

using namespace tavik::hybrid;

int32_t sign(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg, uint64_t msglen,
             uint8_t *sig, bool hedged) {
  if (sk == nullptr || sig == nullptr || !context_ok(ctx, ctxlen) || (msg == nullptr && msglen > 0))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  // The representative is made before sig is written: sig may overlap ctx or msg.
  Head head;
  make_head(head, ctx, ctxlen);
  uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES];
  message_hash(digest, msg, msglen);
  Representative rep;
  join(rep, head, digest);
  Ed25519Key ed;
  if (!ed25519_key_of(ed, sk)) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  const int32_t rc = sign_representative(sk, ed, rep, hedged, sig);
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  return rc;
}

int32_t verify(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig, uint64_t siglen,
               const uint8_t *msg, uint64_t msglen, uint32_t *failed) {
  if (pk == nullptr || sig == nullptr || siglen != TAVIK_HYBRID_SIG_BYTES || !context_ok(ctx, ctxlen) ||
      (msg == nullptr && msglen > 0))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Head head;
  make_head(head, ctx, ctxlen);
  uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES];
  message_hash(digest, msg, msglen);
  Representative rep;
  join(rep, head, digest);
  const uint32_t bad = verify_representative(pk, sig, rep);
  if (failed != nullptr) *failed = bad;
  return bad == 0 ? TAVIK_HYBRID_OK : TAVIK_HYBRID_INVALID_SIGNATURE;
}

}  // namespace

extern "C" {

int32_t tavik_hybrid_sign(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                          uint64_t msglen, uint8_t *sig) {
  return sign(sk, ctx, ctxlen, msg, msglen, sig, true);
}

int32_t tavik_hybrid_sign_deterministic(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen,
                                        const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  return sign(sk, ctx, ctxlen, msg, msglen, sig, false);
}

int32_t tavik_hybrid_verify(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig,
                            uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  return verify(pk, ctx, ctxlen, sig, siglen, msg, msglen, nullptr);
}

int32_t tavik_hybrid_verify_halves(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig,
                                   uint64_t siglen, const uint8_t *msg, uint64_t msglen, uint32_t *failed) {
  return verify(pk, ctx, ctxlen, sig, siglen, msg, msglen, failed);
}

}  // extern "C"
