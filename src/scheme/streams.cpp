// Streaming: a message given in pieces, its digest absorbed in the caller's state, signed or
// verified at the final call.
#include <cstring>

#include "fips202.h"
#include "opaque.h"
#include "params.h"
#include "scheme.h"
#include "tavik.h"
#include "wipe.h"

using namespace tavik;
using namespace tavik::scheme;

namespace {

struct SignStream {
  uint64_t tag;
  Shake256Stream h;            // absorbing tr (tr_ctx under a context) || message
  const ExpandedSk *expanded;  // the key when the state was started from an expanded key
  uint8_t sk[SK_BYTES];        // the key otherwise
  bool hedged;                 // the final call signs hedged
};

struct VerifyStream {
  uint64_t tag;
  Shake256Stream h;            // absorbing tr (tr_ctx under a context) || message
  const ExpandedPk *expanded;  // the key when the state was started from an expanded key
  uint8_t pk[PK_BYTES];        // the key otherwise, and its hash tr
  uint8_t tr[CRH_BYTES];
};

// The digest of a message under a public key, mu = SHAKE256(tr || message) (tr_ctx under a context),
// absorbing the message.
struct MuStream {
  uint64_t tag;
  Shake256Stream h;
};
constexpr uint64_t MU_TAG = 0x7461766b4d755374ULL;

static_assert(fits<SignStream, tavik_sign_state> && fits<VerifyStream, tavik_verify_state> &&
              fits<MuStream, tavik_mu_state>);

// ctx[0..ctxlen) into *c for a state started in st (not null): false for a bad context or one
// that shares a byte with the state.
template <typename Opaque>
bool context_for(Context *c, const uint8_t *ctx, uint64_t ctxlen, const Opaque *st) {
  return context_of(c, ctx, ctxlen) && !in_state(ctx, c->len, st);
}

// Starts a streaming signature from an expanded key.
int32_t sign_init_expanded(tavik_sign_state *st, const tavik_expanded_sk *xsk, const uint8_t *ctx, uint64_t ctxlen,
                           bool hedged) {
  const ExpandedSk *x = intact_expanded(xsk);
  Context c;
  if (st == nullptr || x == nullptr || !context_for(&c, ctx, ctxlen, st)) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t prefix[CRH_BYTES];
  start_stream<SignStream, SIGN_TAG>(st, x, digest_prefix(prefix, x->key.tr, c))->hedged = hedged;
  secure_wipe(prefix, sizeof prefix);  // tr_ctx: public, but it would tell which key signs
  return TAVIK_OK;
}

// Starts a streaming signature from a stored key.
int32_t sign_init(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, bool hedged) {
  Context c;
  if (st == nullptr || sk == nullptr || in_state(sk, SK_BYTES, st) || !context_for(&c, ctx, ctxlen, st))
    return TAVIK_ILLEGAL_PARAMETER;
  uint8_t prefix[CRH_BYTES];
  SignStream *s = start_stream<SignStream, SIGN_TAG>(st, static_cast<const ExpandedSk *>(nullptr),
                                                     digest_prefix(prefix, sk + SK1_BYTES, c));
  std::memcpy(s->sk, sk, SK_BYTES);
  s->hedged = hedged;
  secure_wipe(prefix, sizeof prefix);  // tr_ctx: public, but it would tell which key signs
  return TAVIK_OK;
}

// Starts a streaming verification under a stored public key.
int32_t verify_init(tavik_verify_state *st, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen) {
  Context c;
  if (st == nullptr || pk == nullptr || in_state(pk, PK_BYTES, st) || !context_for(&c, ctx, ctxlen, st))
    return TAVIK_ILLEGAL_PARAMETER;
  uint8_t tr[CRH_BYTES], prefix[CRH_BYTES];
  shake256(tr, CRH_BYTES, pk, PK_BYTES);
  VerifyStream *s = start_stream<VerifyStream, VERIFY_TAG>(st, static_cast<const ExpandedPk *>(nullptr),
                                                           digest_prefix(prefix, tr, c));
  std::memcpy(s->pk, pk, PK_BYTES);
  std::memcpy(s->tr, tr, CRH_BYTES);  // kept, so that the final call does not hash pk again
  return TAVIK_OK;
}

// Starts a streaming verification under an expanded public key.
int32_t verify_init_expanded(tavik_verify_state *st, const tavik_expanded_pk *xpk, const uint8_t *ctx,
                             uint64_t ctxlen) {
  Context c;
  if (st == nullptr || !context_for(&c, ctx, ctxlen, st)) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedPk *x = intact_expanded_pk(xpk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t prefix[CRH_BYTES];
  start_stream<VerifyStream, VERIFY_TAG>(st, x, digest_prefix(prefix, x->key.tr, c));
  return TAVIK_OK;
}

}  // namespace

extern "C" {

int32_t tavik_sign_init(tavik_sign_state *st, const uint8_t *sk) {
  ready();
  return sign_init(st, sk, nullptr, 0, false);
}

int32_t tavik_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk) {
  ready();
  return sign_init(st, sk, nullptr, 0, true);
}

int32_t tavik_sign_init_expanded(tavik_sign_state *st, const tavik_expanded_sk *xsk) {
  ready();
  return sign_init_expanded(st, xsk, nullptr, 0, false);
}

int32_t tavik_sign_init_expanded_hedged(tavik_sign_state *st, const tavik_expanded_sk *xsk) {
  ready();
  return sign_init_expanded(st, xsk, nullptr, 0, true);
}

int32_t tavik_sign_init_ctx(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen) {
  ready();
  return sign_init(st, sk, ctx, ctxlen, false);
}

int32_t tavik_sign_init_ctx_hedged(tavik_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen) {
  ready();
  return sign_init(st, sk, ctx, ctxlen, true);
}

int32_t tavik_sign_init_expanded_ctx(tavik_sign_state *st, const tavik_expanded_sk *xsk, const uint8_t *ctx,
                                     uint64_t ctxlen) {
  ready();
  return sign_init_expanded(st, xsk, ctx, ctxlen, false);
}

int32_t tavik_sign_init_expanded_ctx_hedged(tavik_sign_state *st, const tavik_expanded_sk *xsk, const uint8_t *ctx,
                                            uint64_t ctxlen) {
  ready();
  return sign_init_expanded(st, xsk, ctx, ctxlen, true);
}

int32_t tavik_sign_update(tavik_sign_state *st, const uint8_t *msg, uint64_t len) {
  ready();
  SignStream *s = live_stream<SignStream, SIGN_TAG>(st);
  if (s == nullptr || (msg == nullptr && len != 0) || in_state(msg, len, st)) return TAVIK_ILLEGAL_PARAMETER;
  shake256_stream_absorb(s->h, msg, len);
  return TAVIK_OK;
}

int32_t tavik_sign_final(tavik_sign_state *st, uint8_t *sig) {
  ready();
  SignStream *s = live_stream<SignStream, SIGN_TAG>(st);
  if (s == nullptr || sig == nullptr || in_state(sig, SIG_BYTES, st)) return TAVIK_ILLEGAL_PARAMETER;
  // An expanded key wiped or changed since the state was started is refused.
  if (s->expanded != nullptr && intact_expanded(s->expanded) == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t result = sign_with_hedge(s->hedged, [&](const uint8_t *rnd) {
    // The digest is finished on a copy: a stored key whose parts disagree leaves the state as it was.
    Shake256Stream h = s->h;
    uint8_t mu[CRH_BYTES];
    shake256_stream_finish(h, mu, CRH_BYTES);
    const int32_t r = s->expanded != nullptr
                          ? (sign_digest(s->expanded->key, mu, sig, nullptr, rnd) ? TAVIK_OK : TAVIK_SIGNING_FAILED)
                          : sign_digest(s->sk, mu, sig, nullptr, rnd);
    secure_wipe(&h, sizeof h);
    secure_wipe(mu, sizeof mu);
    return r;
  });
  if (result != TAVIK_ILLEGAL_PARAMETER) secure_wipe(st, sizeof *st);
  return result;
}

void tavik_sign_state_wipe(tavik_sign_state *st) {
  if (st != nullptr) secure_wipe(st, sizeof *st);
}

int32_t tavik_verify_init(tavik_verify_state *st, const uint8_t *pk) {
  ready();
  return verify_init(st, pk, nullptr, 0);
}

int32_t tavik_verify_init_expanded(tavik_verify_state *st, const tavik_expanded_pk *xpk) {
  ready();
  return verify_init_expanded(st, xpk, nullptr, 0);
}

int32_t tavik_verify_init_ctx(tavik_verify_state *st, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen) {
  ready();
  return verify_init(st, pk, ctx, ctxlen);
}

int32_t tavik_verify_init_expanded_ctx(tavik_verify_state *st, const tavik_expanded_pk *xpk, const uint8_t *ctx,
                                       uint64_t ctxlen) {
  ready();
  return verify_init_expanded(st, xpk, ctx, ctxlen);
}

int32_t tavik_verify_update(tavik_verify_state *st, const uint8_t *msg, uint64_t len) {
  ready();
  VerifyStream *s = live_stream<VerifyStream, VERIFY_TAG>(st);
  if (s == nullptr || (msg == nullptr && len != 0) || in_state(msg, len, st)) return TAVIK_ILLEGAL_PARAMETER;
  shake256_stream_absorb(s->h, msg, len);
  return TAVIK_OK;
}

int32_t tavik_verify_final(tavik_verify_state *st, const uint8_t *sig, uint64_t siglen) {
  ready();
  VerifyStream *s = live_stream<VerifyStream, VERIFY_TAG>(st);
  if (s == nullptr || sig == nullptr || siglen != SIG_BYTES || in_state(sig, SIG_BYTES, st)) return TAVIK_ILLEGAL_PARAMETER;
  // An expanded key wiped or changed since the state was started is refused.
  if (s->expanded != nullptr && intact_expanded_pk(s->expanded) == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t r = verify_with(s->expanded != nullptr ? &s->expanded->key : nullptr, s->pk, s->tr, sig,
                                [&](const uint8_t *, uint8_t *mu) { shake256_stream_finish(s->h, mu, CRH_BYTES); });
  secure_wipe(st, sizeof *st);
  return r;
}

int32_t tavik_mu_init(tavik_mu_state *st, const uint8_t *pk, const uint8_t *ctx, uint64_t ctxlen) {
  ready();
  Context c;
  if (st == nullptr || pk == nullptr || in_state(pk, PK_BYTES, st) || !context_for(&c, ctx, ctxlen, st))
    return TAVIK_ILLEGAL_PARAMETER;
  uint8_t tr[CRH_BYTES], prefix[CRH_BYTES];
  shake256(tr, CRH_BYTES, pk, PK_BYTES);
  MuStream *s = start<MuStream, MU_TAG>(st);
  shake256_stream_init(s->h);
  shake256_stream_absorb(s->h, digest_prefix(prefix, tr, c), CRH_BYTES);
  return TAVIK_OK;
}

int32_t tavik_mu_update(tavik_mu_state *st, const uint8_t *msg, uint64_t len) {
  ready();
  MuStream *s = live_stream<MuStream, MU_TAG>(st);
  if (s == nullptr || (msg == nullptr && len != 0) || in_state(msg, len, st)) return TAVIK_ILLEGAL_PARAMETER;
  shake256_stream_absorb(s->h, msg, len);
  return TAVIK_OK;
}

int32_t tavik_mu_final(tavik_mu_state *st, uint8_t *mu) {
  ready();
  MuStream *s = live_stream<MuStream, MU_TAG>(st);
  if (s == nullptr || mu == nullptr || in_state(mu, CRH_BYTES, st)) return TAVIK_ILLEGAL_PARAMETER;
  shake256_stream_finish(s->h, mu, CRH_BYTES);
  secure_wipe(st, sizeof *st);
  return TAVIK_OK;
}

void tavik_mu_state_wipe(tavik_mu_state *st) {
  if (st != nullptr) secure_wipe(st, sizeof *st);
}

}  // extern "C"
