// Contexts and external mu: the hash that binds a digest to a context, and the one-shot calls that
// sign and verify under a context or from a digest made elsewhere.
#include <cstring>

#include "fips202.h"
#include "params.h"
#include "scheme.h"
#include "tavik.h"
#include "wipe.h"

using namespace tavik;
using namespace tavik::scheme;

static_assert(TAVIK_MU_BYTES == CRH_BYTES && TAVIK_MAX_CONTEXT_BYTES < 256, "the length is one byte");

namespace {

// Stack below digest_prefix that the context's hash and its callees may use: the hash's input and
// a SHAKE256 state with the permutation's spills, under 2 KiB.
constexpr size_t CONTEXT_SCRUB_BYTES = 4096;

}  // namespace

namespace tavik::scheme {

bool context_of(Context *c, const uint8_t *ctx, uint64_t ctxlen) {
  if (ctxlen > TAVIK_MAX_CONTEXT_BYTES || (ctx == nullptr && ctxlen != 0)) return false;
  *c = {ctx, uint32_t(ctxlen)};
  return true;
}

ContextHash::ContextHash(Context c) : inlen(uint32_t(sizeof CONTEXT_LABEL + CRH_BYTES + 1 + c.len)) {
  std::memcpy(in, CONTEXT_LABEL, sizeof CONTEXT_LABEL);
  in[sizeof CONTEXT_LABEL + CRH_BYTES] = uint8_t(c.len);
  if (c.len != 0) std::memcpy(in + sizeof CONTEXT_LABEL + CRH_BYTES + 1, c.bytes, c.len);
}

namespace {

// tr_ctx of tr and c into out. Not inlined: its frame, and its callees', lie in what
// digest_prefix's scrub zeroes.
[[gnu::noinline]] void context_hash(uint8_t *out, const uint8_t *tr, Context c) {
  ContextHash h(c);
  std::memcpy(h.tr(), tr, CRH_BYTES);
  shake256(out, CRH_BYTES, h.in, h.inlen);
  secure_wipe(&h, sizeof h);
}

}  // namespace

// tr and tr_ctx are public, but what they leave on the stack would tell which key signed: the
// stack the hash used is zeroed, as signing zeroes its own.
const uint8_t *digest_prefix(uint8_t *prefix, const uint8_t *tr, Context c) {
  if (c.len == 0) return tr;
  context_hash(prefix, tr, c);
  scrub_stack<CONTEXT_SCRUB_BYTES>();
  return prefix;
}

}  // namespace tavik::scheme

namespace {

// tavik_sign_ctx and tavik_sign_ctx_hedged.
int32_t sign_ctx(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg, uint64_t msglen,
                 uint8_t *sig, bool hedged) {
  Context c;
  if (!context_of(&c, ctx, ctxlen)) return TAVIK_ILLEGAL_PARAMETER;
  return sign_message(sk, c, msg, msglen, sig, hedged);
}

// tavik_sign_mu and tavik_sign_mu_hedged: the stored key checked as every signing call checks it.
int32_t sign_mu(const uint8_t *sk, const uint8_t *mu, uint8_t *sig, bool hedged) {
  if (sk == nullptr || mu == nullptr || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_digest(sk, mu, sig, nullptr, rnd); });
}

}  // namespace

extern "C" {

int32_t tavik_sign_ctx(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg, uint64_t msglen,
                       uint8_t *sig) {
  ready();
  return sign_ctx(sk, ctx, ctxlen, msg, msglen, sig, false);
}

int32_t tavik_sign_ctx_hedged(const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *msg,
                              uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_ctx(sk, ctx, ctxlen, msg, msglen, sig, true);
}

int32_t tavik_verify_ctx(const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen, const uint8_t *sig, uint64_t siglen,
                         const uint8_t *msg, uint64_t msglen) {
  ready();
  Context c;
  if (!context_of(&c, ctx, ctxlen)) return TAVIK_ILLEGAL_PARAMETER;
  if (pk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(nullptr, pk, c, sig, msg, msglen);
}

int32_t tavik_sign_mu(const uint8_t *sk, const uint8_t *mu, uint8_t *sig) {
  ready();
  return sign_mu(sk, mu, sig, false);
}

int32_t tavik_sign_mu_hedged(const uint8_t *sk, const uint8_t *mu, uint8_t *sig) {
  ready();
  return sign_mu(sk, mu, sig, true);
}

int32_t tavik_verify_mu(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *mu) {
  ready();
  if (pk == nullptr || sig == nullptr || mu == nullptr || siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_with(nullptr, pk, nullptr, sig,
                     [&](const uint8_t *, uint8_t *digest) { std::memcpy(digest, mu, CRH_BYTES); });
}

}  // extern "C"
