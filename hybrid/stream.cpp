// Streaming hybrid signing and verification: the message's SHA-512 is taken piece by piece, and
// both halves sign or verify the representative at the final call.
#include <sodium.h>

#include <cstring>
#include <new>

#include "ct.h"
#include "halves.h"
#include "wipe.h"

namespace {

using namespace tavik::hybrid;

constexpr uint64_t kSignTag = 0x7461766b48795367ULL;
constexpr uint64_t kSignHedgedTag = 0x7461766b48794867ULL;
constexpr uint64_t kVerifyTag = 0x7461766b48795672ULL;

struct SignState {
  uint64_t tag;
  uint8_t sk[TAVIK_HYBRID_SK_BYTES];
  Head head;
  crypto_hash_sha512_state hash;
};
struct VerifyState {
  uint64_t tag;
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  Head head;
  crypto_hash_sha512_state hash;
};
static_assert(sizeof(SignState) <= sizeof(tavik_hybrid_sign_state) &&
              alignof(SignState) <= alignof(tavik_hybrid_sign_state));
static_assert(sizeof(VerifyState) <= sizeof(tavik_hybrid_verify_state) &&
              alignof(VerifyState) <= alignof(tavik_hybrid_verify_state));

template <typename Opaque>
bool in_state(const void *p, uint64_t n, const Opaque *st) {
  return overlaps(p, size_t(n), st, sizeof *st);
}

// The state in p when it is live (its tag one of those its init calls write, and its head's length
// one make_head can write), else null.
template <typename T, typename Opaque>
T *live(Opaque *p, uint64_t tag_a, uint64_t tag_b) {
  if (p == nullptr) return nullptr;
  T *s = std::launder(reinterpret_cast<T *>(p));
  const uint64_t tag = tavik::ct::declassify(s->tag);  // the tag is public in a secret struct
  if (tag != tag_a && tag != tag_b) return nullptr;
  return s->head.len <= sizeof s->head.bytes ? s : nullptr;
}

template <typename T, typename Opaque>
T *start(Opaque *p, uint64_t tag, const uint8_t *ctx, uint64_t ctxlen) {
  tavik::secure_wipe(p, sizeof *p);
  T *s = new (p) T;
  s->tag = tag;
  make_head(s->head, ctx, ctxlen);
  crypto_hash_sha512_init(&s->hash);
  return s;
}

// The representative of the message absorbed so far; the state's own hash is left as it was.
void representative_of(Representative &rep, const Head &head, const crypto_hash_sha512_state &hash) {
  crypto_hash_sha512_state h = hash;
  uint8_t digest[TAVIK_HYBRID_MESSAGE_HASH_BYTES];
  crypto_hash_sha512_final(&h, digest);
  join(rep, head, digest);
}

int32_t sign_init(tavik_hybrid_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen, bool hedged) {
  if (st == nullptr || sk == nullptr || !context_ok(ctx, ctxlen) || in_state(sk, TAVIK_HYBRID_SK_BYTES, st) ||
      in_state(ctx, ctxlen, st))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Ed25519Key ed;
  const bool intact = ed25519_key_of(ed, sk);
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  if (!intact) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  SignState *s = start<SignState>(st, hedged ? kSignHedgedTag : kSignTag, ctx, ctxlen);
  std::memcpy(s->sk, sk, TAVIK_HYBRID_SK_BYTES);
  return TAVIK_HYBRID_OK;
}

template <typename T, typename Opaque>
int32_t update(Opaque *st, const uint8_t *msg, uint64_t len, uint64_t tag_a, uint64_t tag_b) {
  T *s = live<T>(st, tag_a, tag_b);
  if (s == nullptr || (msg == nullptr && len > 0) || in_state(msg, len, st)) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (len > 0) crypto_hash_sha512_update(&s->hash, msg, len);
  return TAVIK_HYBRID_OK;
}

int32_t verify_final(tavik_hybrid_verify_state *st, const uint8_t *sig, uint64_t siglen, uint32_t *failed) {
  VerifyState *s = live<VerifyState>(st, kVerifyTag, kVerifyTag);
  if (s == nullptr || sig == nullptr || siglen != TAVIK_HYBRID_SIG_BYTES || in_state(sig, siglen, st) ||
      in_state(failed, sizeof *failed, st))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Representative rep;
  representative_of(rep, s->head, s->hash);
  const uint32_t bad = verify_representative(s->pk, sig, rep);
  tavik::secure_wipe(st, sizeof *st);
  if (failed != nullptr) *failed = bad;
  return bad == 0 ? TAVIK_HYBRID_OK : TAVIK_HYBRID_INVALID_SIGNATURE;
}

}  // namespace

extern "C" {

int32_t tavik_hybrid_sign_init(tavik_hybrid_sign_state *st, const uint8_t *sk, const uint8_t *ctx, uint64_t ctxlen) {
  return sign_init(st, sk, ctx, ctxlen, true);
}

int32_t tavik_hybrid_sign_init_deterministic(tavik_hybrid_sign_state *st, const uint8_t *sk, const uint8_t *ctx,
                                             uint64_t ctxlen) {
  return sign_init(st, sk, ctx, ctxlen, false);
}

int32_t tavik_hybrid_sign_update(tavik_hybrid_sign_state *st, const uint8_t *msg, uint64_t len) {
  return update<SignState>(st, msg, len, kSignTag, kSignHedgedTag);
}

int32_t tavik_hybrid_sign_final(tavik_hybrid_sign_state *st, uint8_t *sig) {
  SignState *s = live<SignState>(st, kSignTag, kSignHedgedTag);
  if (s == nullptr || sig == nullptr || in_state(sig, TAVIK_HYBRID_SIG_BYTES, st))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Ed25519Key ed;
  if (!ed25519_key_of(ed, s->sk)) return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  Representative rep;
  representative_of(rep, s->head, s->hash);
  const int32_t rc = sign_representative(s->sk, ed, rep, s->tag == kSignHedgedTag, sig);
  tavik::secure_wipe(ed.seed_pk, sizeof ed.seed_pk);
  // A damaged tavik half leaves the state as it was, as the core's final call does.
  if (rc != TAVIK_HYBRID_ILLEGAL_PARAMETER) tavik::secure_wipe(st, sizeof *st);
  return rc;
}

void tavik_hybrid_sign_state_wipe(tavik_hybrid_sign_state *st) {
  if (st != nullptr) tavik::secure_wipe(st, sizeof *st);
}

int32_t tavik_hybrid_verify_init(tavik_hybrid_verify_state *st, const uint8_t *pk, const uint8_t *ctx,
                                 uint64_t ctxlen) {
  if (st == nullptr || pk == nullptr || !context_ok(ctx, ctxlen) || in_state(pk, TAVIK_HYBRID_PK_BYTES, st) ||
      in_state(ctx, ctxlen, st))
    return TAVIK_HYBRID_ILLEGAL_PARAMETER;
  VerifyState *s = start<VerifyState>(st, kVerifyTag, ctx, ctxlen);
  std::memcpy(s->pk, pk, TAVIK_HYBRID_PK_BYTES);
  return TAVIK_HYBRID_OK;
}

int32_t tavik_hybrid_verify_update(tavik_hybrid_verify_state *st, const uint8_t *msg, uint64_t len) {
  return update<VerifyState>(st, msg, len, kVerifyTag, kVerifyTag);
}

int32_t tavik_hybrid_verify_final(tavik_hybrid_verify_state *st, const uint8_t *sig, uint64_t siglen) {
  return verify_final(st, sig, siglen, nullptr);
}

int32_t tavik_hybrid_verify_final_halves(tavik_hybrid_verify_state *st, const uint8_t *sig, uint64_t siglen,
                                         uint32_t *failed) {
  return verify_final(st, sig, siglen, failed);
}

}  // extern "C"
