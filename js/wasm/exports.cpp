// The calls the JavaScript package (js/core.js) makes into the module: thin wrappers over the
// public C calls, with lengths as 32-bit numbers and the hedged/deterministic choice as a flag.
// Buffers are taken from the glue's allocator (tavik_wasm_alloc) by the package; the scheme itself
// allocates nothing. tavik_wasm_free zeroes a buffer before it goes back, so no secret the package
// copied in (a secret key, a seed, a signing state) outlives its call.
#include <cstdint>
#include <cstdlib>

#include "signature.h"
#include "tavik.h"
#include "wipe.h"
#include "randombytes.h"

#define TAVIK_WASM_EXPORT(name) extern "C" __attribute__((export_name(#name), visibility("default")))

TAVIK_WASM_EXPORT(tavik_wasm_alloc) uint8_t *tavik_wasm_alloc(uint32_t len) {
  return static_cast<uint8_t *>(std::malloc(len != 0 ? len : 1));
}

TAVIK_WASM_EXPORT(tavik_wasm_free) void tavik_wasm_free(uint8_t *p, uint32_t len) {
  if (p == nullptr) return;
  tavik::secure_wipe(p, len);
  std::free(p);
}

TAVIK_WASM_EXPORT(tavik_wasm_version) const char *tavik_wasm_version() { return tavik_version(); }

// The name of the path of kernels the module runs on (chosen at this first call if not before).
TAVIK_WASM_EXPORT(tavik_wasm_backend) const char *tavik_wasm_backend() {
  return tavik::backend_name(tavik::active_backend());
}

// A key pair from a seed drawn from the host's random source; the seed is left in seed[0..32) for
// the package, which keeps it with the secret key.
TAVIK_WASM_EXPORT(tavik_wasm_keygen) int32_t tavik_wasm_keygen(uint8_t *pk, uint8_t *sk, uint8_t *seed) {
  if (!tavik::randombytes(seed, TAVIK_SEED_BYTES)) {
    tavik::secure_wipe(seed, TAVIK_SEED_BYTES);
    return TAVIK_NO_RANDOMNESS;
  }
  return sig_keygen_from_seed(pk, sk, seed);
}

TAVIK_WASM_EXPORT(tavik_wasm_keygen_from_seed)
int32_t tavik_wasm_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  return sig_keygen_from_seed(pk, sk, seed);
}

TAVIK_WASM_EXPORT(tavik_wasm_pk_from_sk) int32_t tavik_wasm_pk_from_sk(uint8_t *pk, const uint8_t *sk) {
  return tavik_pk_from_sk(pk, sk);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign)
int32_t tavik_wasm_sign(const uint8_t *sk, const uint8_t *ctx, uint32_t ctxlen, const uint8_t *msg, uint32_t msglen,
                        uint8_t *sig, int32_t hedged) {
  return hedged != 0 ? tavik_sign_ctx_hedged(sk, ctx, ctxlen, msg, msglen, sig)
                     : tavik_sign_ctx(sk, ctx, ctxlen, msg, msglen, sig);
}

TAVIK_WASM_EXPORT(tavik_wasm_verify)
int32_t tavik_wasm_verify(const uint8_t *pk, const uint8_t *ctx, uint32_t ctxlen, const uint8_t *sig, uint32_t siglen,
                          const uint8_t *msg, uint32_t msglen) {
  return tavik_verify_ctx(pk, ctx, ctxlen, sig, siglen, msg, msglen);
}

// Streaming. The states live in buffers of the sizes tavik_wasm_state_bytes gives, from
// tavik_wasm_alloc; kind 0 signing, 1 verification, 2 mu.
TAVIK_WASM_EXPORT(tavik_wasm_state_bytes) uint32_t tavik_wasm_state_bytes(int32_t kind) {
  return kind == 0 ? sizeof(tavik_sign_state) : kind == 1 ? sizeof(tavik_verify_state) : sizeof(tavik_mu_state);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign_init)
int32_t tavik_wasm_sign_init(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint32_t ctxlen,
                             int32_t hedged) {
  return hedged != 0 ? tavik_sign_init_ctx_hedged(st, sk, ctx, ctxlen) : tavik_sign_init_ctx(st, sk, ctx, ctxlen);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign_update)
int32_t tavik_wasm_sign_update(tavik_sign_state *st, const uint8_t *msg, uint32_t len) {
  return tavik_sign_update(st, msg, len);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign_final) int32_t tavik_wasm_sign_final(tavik_sign_state *st, uint8_t *sig) {
  return tavik_sign_final(st, sig);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign_state_wipe) void tavik_wasm_sign_state_wipe(tavik_sign_state *st) {
  tavik_sign_state_wipe(st);
}

TAVIK_WASM_EXPORT(tavik_wasm_verify_init)
int32_t tavik_wasm_verify_init(tavik_verify_state *st, const uint8_t *pk, const uint8_t *ctx, uint32_t ctxlen) {
  return tavik_verify_init_ctx(st, pk, ctx, ctxlen);
}

TAVIK_WASM_EXPORT(tavik_wasm_verify_update)
int32_t tavik_wasm_verify_update(tavik_verify_state *st, const uint8_t *msg, uint32_t len) {
  return tavik_verify_update(st, msg, len);
}

TAVIK_WASM_EXPORT(tavik_wasm_verify_final)
int32_t tavik_wasm_verify_final(tavik_verify_state *st, const uint8_t *sig, uint32_t siglen) {
  return tavik_verify_final(st, sig, siglen);
}

TAVIK_WASM_EXPORT(tavik_wasm_mu_init)
int32_t tavik_wasm_mu_init(tavik_mu_state *st, const uint8_t *pk, const uint8_t *ctx, uint32_t ctxlen) {
  return tavik_mu_init(st, pk, ctx, ctxlen);
}

TAVIK_WASM_EXPORT(tavik_wasm_mu_update)
int32_t tavik_wasm_mu_update(tavik_mu_state *st, const uint8_t *msg, uint32_t len) {
  return tavik_mu_update(st, msg, len);
}

TAVIK_WASM_EXPORT(tavik_wasm_mu_final) int32_t tavik_wasm_mu_final(tavik_mu_state *st, uint8_t *mu) {
  return tavik_mu_final(st, mu);
}

TAVIK_WASM_EXPORT(tavik_wasm_sign_mu)
int32_t tavik_wasm_sign_mu(const uint8_t *sk, const uint8_t *mu, uint8_t *sig, int32_t hedged) {
  return hedged != 0 ? tavik_sign_mu_hedged(sk, mu, sig) : tavik_sign_mu(sk, mu, sig);
}

TAVIK_WASM_EXPORT(tavik_wasm_verify_mu)
int32_t tavik_wasm_verify_mu(const uint8_t *pk, const uint8_t *sig, uint32_t siglen, const uint8_t *mu) {
  return tavik_verify_mu(pk, sig, siglen, mu);
}
