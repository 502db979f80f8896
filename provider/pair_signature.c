/* Signatures of "tavik-ed25519", the hybrid pair: the tavik half and the Ed25519 half over the
   pair's message representative, valid only when both verify (libtavik-hybrid). The operations
   are the single scheme's (signature.c): whole messages, never digests, signing hedged, and the
   "context-string" parameter passed to the pair's context; these are the library's calls they
   make for the pair. */
#include "tavik_prov.h"

_Static_assert(TAVIK_HYBRID_MAX_CONTEXT_BYTES == TAVIK_MAX_CONTEXT_BYTES, "the pair takes the contexts the scheme takes");

static int32_t pair_sign(TAVIK_KEY *key, const uint8_t *c, size_t clen, const uint8_t *m, size_t mlen, uint8_t *sig) {
  return tavik_hybrid_sign(TAVIK_KEY_SK(key), c, clen, m, mlen, sig);
}

static int32_t pair_verify(TAVIK_KEY *key, const uint8_t *c, size_t clen, const uint8_t *sig, size_t siglen,
                           const uint8_t *m, size_t mlen) {
  return tavik_hybrid_verify(key->pub, c, clen, sig, siglen, m, mlen);
}

static int32_t pair_sign_init(void *st, TAVIK_KEY *key, const uint8_t *c, size_t clen) {
  return tavik_hybrid_sign_init(st, TAVIK_KEY_SK(key), c, clen);
}

static int32_t pair_verify_init(void *st, TAVIK_KEY *key, const uint8_t *c, size_t clen) {
  return tavik_hybrid_verify_init(st, key->pub, c, clen);
}

static int32_t pair_sign_update(void *st, const uint8_t *m, size_t len) { return tavik_hybrid_sign_update(st, m, len); }
static int32_t pair_sign_final(void *st, uint8_t *sig) { return tavik_hybrid_sign_final(st, sig); }
static void pair_sign_state_wipe(void *st) { tavik_hybrid_sign_state_wipe(st); }
static int32_t pair_verify_update(void *st, const uint8_t *m, size_t len) {
  return tavik_hybrid_verify_update(st, m, len);
}
static int32_t pair_verify_final(void *st, const uint8_t *sig, size_t siglen) {
  return tavik_hybrid_verify_final(st, sig, siglen);
}

const TAVIK_SIG_CALLS tavik_pair_sig_calls = {
    .sign_state_bytes = sizeof(tavik_hybrid_sign_state),
    .verify_state_bytes = sizeof(tavik_hybrid_verify_state),
    .sign = pair_sign,
    .verify = pair_verify,
    .sign_init = pair_sign_init,
    .sign_update = pair_sign_update,
    .sign_final = pair_sign_final,
    .sign_state_wipe = pair_sign_state_wipe,
    .verify_init = pair_verify_init,
    .verify_update = pair_verify_update,
    .verify_final = pair_verify_final,
};
