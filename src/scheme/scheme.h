// What the files of the scheme share: the keys as signing and verification prepare them, the
// message and its digest, and the calls that sign and verify with them. Private to the library.
#pragma once
#include <cstddef>
#include <cstdint>

#include "Polynomial.h"
#include "params.h"
#include "randombytes.h"
#include "shake_lanes.h"
#include "tavik.h"
#include "wipe.h"

namespace tavik {

struct SignStats;

namespace scheme {

// Chooses the path of kernels at the first call into the scheme; every public entry starts with it.
// The self-test calls none of them: it runs on the kernels it is handed.
void ready();

// Stack below the callers of keygen() and sign_attempts() that those two and their callees may use.
constexpr size_t KEYGEN_SCRUB_BYTES = 40960;  // keygen's 19 KiB and a row of the matrix, then callees: about 33 KiB
// With eight Keccak lanes the matrix expansion's scheduler reaches about 54 KiB in all.
constexpr size_t KEYGEN_SCRUB_BYTES_EIGHT_LANES = 61440;
constexpr size_t SIGN_SCRUB_BYTES = 20480;    // the attempt loop's callees (the state is wiped itself)
// With eight Keccak lanes the masks of the next attempt and the scheduler drawing two attempts'
// take the callees to about 17 KiB.
constexpr size_t SIGN_SCRUB_BYTES_EIGHT_LANES = 24576;
// Stack below tavik_expand_sk: the key's check (40 KiB of polynomials) or its preparation, and callees.
constexpr size_t EXPAND_SCRUB_BYTES = 65536;

// Polynomial i of a vector.
inline uint32_t *poly(uint32_t *v, uint32_t i) { return v + i * N; }

// NTT form of count polynomials in place, reduced to [0, Q): the same bytes on every path.
inline void canonical_ntt(uint32_t *v, uint32_t count) {
  polyvec_ntt(v, count);
  PolyVec_freeze(v, count);
}

// What signing reads of the secret key, prepared once per key: the contents of an expanded secret
// key. Everything in it is secret but A and tr.
struct SignKey {
  uint32_t A[K * L * N];
  uint32_t s1_pairs[L / 2 * N];    // NTT form of the pairs of s1 (pack_s1_pairs), canonical
  uint32_t t0[K * N];              // NTT form, canonical
  uint32_t s2_t0x[K * N];          // NTT form of s2 + 64 * (t0x - Q), canonical (pack_s2_t0x)
  uint8_t key[SEED_BYTES];
  uint8_t tr[CRH_BYTES];

  NttVec a() const { return NttVec::of_ntt_form(A); }
  NttVec pairs() const { return NttVec::of_ntt_form(s1_pairs); }
  NttVec s2_perturbed() const { return NttVec::of_ntt_form(s2_t0x); }
  NttVec low() const { return NttVec::of_ntt_form(t0); }

  // Wipes the secret parts: all but A and tr.
  void wipe() {
    secure_wipe(s1_pairs, sizeof s1_pairs);
    secure_wipe(s2_t0x, sizeof s2_t0x);
    secure_wipe(t0, sizeof t0);
    secure_wipe(key, sizeof key);
  }
};

// A context string, 0 to TAVIK_MAX_CONTEXT_BYTES bytes; 0 bytes is no context. Public.
struct Context {
  const uint8_t *bytes = nullptr;
  uint32_t len = 0;
};
// ctx[0..ctxlen) into *c; false (c not written) for ctxlen > TAVIK_MAX_CONTEXT_BYTES or a null ctx
// with ctxlen > 0.
bool context_of(Context *c, const uint8_t *ctx, uint64_t ctxlen);

// Prefix of the input of a context's hash (domain separation from every other SHAKE256 input).
inline constexpr uint8_t CONTEXT_LABEL[18] = {'t', 'a', 'v', 'i', 'k', '-', 'c', ' ', 'c',
                                              'o', 'n', 't', 'e', 'x', 't', ' ', 'v', '1'};

// The hash that binds a digest to a context c of 1 or more bytes:
// tr_ctx = SHAKE256(CONTEXT_LABEL || tr || byte(c.len) || c.bytes), 48 bytes, which the digest
// then starts with where it starts with tr without a context. The input has its room for tr, so
// that the public key's hash can write tr in place before this one runs.
struct ContextHash {
  uint8_t in[sizeof CONTEXT_LABEL + CRH_BYTES + 1 + TAVIK_MAX_CONTEXT_BYTES];
  uint32_t inlen;
  uint8_t tr_ctx[CRH_BYTES];

  // Writes the label, the length and the context; tr is left to the caller.
  explicit ContextHash(Context c);
  uint8_t *tr() { return in + sizeof CONTEXT_LABEL; }
  // The side hash of the matrix expansion that writes tr_ctx once the hash before it (tr's) is done.
  SideHash beside() { return {tr_ctx, CRH_BYTES, nullptr, 0, in, inlen, true}; }
};

// The 48 bytes the digest of a message under c starts with: tr itself without a context, else
// tr_ctx of tr, written to prefix. Returns where they are (tr or prefix).
const uint8_t *digest_prefix(uint8_t *prefix, const uint8_t *tr, Context c);

// A message and where its digest mu = SHAKE256(digest_prefix(tr, ctx) || msg) goes, for the
// one-shot calls, which hash it beside the matrix expansion of the key they prepare. ctx: the
// context signing from a stored key makes the prefix of, from the key's own tr (verification
// hands its prefix to digest_beside).
struct Message {
  const uint8_t *msg;
  uint64_t msglen;
  uint8_t *mu;
  Context ctx = {};
};

// The side hash of the matrix expansion that writes m's digest from the 48 bytes at prefix (the
// out of the hash before it when after_previous).
inline SideHash digest_beside(const Message &m, const uint8_t *prefix, bool after_previous) {
  return {m.mu, CRH_BYTES, prefix, CRH_BYTES, m.msg, m.msglen, after_previous};
}

// Prepares k from the stored key sk; m: the message signed, or null. check: return whether the
// key's parts agree (stored_key_agrees: the public part rebuilt from the secrets against the stored
// tr and t0, or the same bytes found intact before in this process), else return true. The key is
// read once, into a copy that everything works from, so that what was checked is what is signed.
// Not inlined: tavik_expand_sk scrubs the stack it used.
bool prepare_sign_key(SignKey &k, const uint8_t *sk, const Message *m, bool check);

// Key pair from the 32-byte seed; pk and sk are non-null. Its frame lies in what the caller's
// scrub_after_keygen() zeroes, which is the only wipe of its secrets.
void keygen(uint8_t *pk, uint8_t *sk, const uint8_t *seed);

// Zeroes the stack keygen() and its callees used, as deep as the lane width in use takes them.
[[gnu::always_inline]] inline void scrub_after_keygen() {
  if (keccak_eight_lanes()) scrub_stack<KEYGEN_SCRUB_BYTES_EIGHT_LANES>();
  else scrub_stack<KEYGEN_SCRUB_BYTES>();
}

// mu = SHAKE256(tr || msg), with the message read where it lies.
void message_digest(uint8_t *mu, const uint8_t *tr, const uint8_t *msg, uint64_t msglen);

// Signature of the digest mu under the prepared key k, which is left as it was; true when made.
// rnd: null for the deterministic signature, else the hedge's TAVIK_HEDGE_BYTES random bytes,
// which replace the key in the mask seed by the hash of both.
bool sign_digest(const SignKey &k, const uint8_t *mu, uint8_t *sig, SignStats *stats, const uint8_t *rnd);
// Signature of the digest mu under the secret key sk, whose parts must agree: TAVIK_ILLEGAL_PARAMETER
// when they do not (nothing signed), else TAVIK_OK or TAVIK_SIGNING_FAILED.
int32_t sign_digest(const uint8_t *sk, const uint8_t *mu, uint8_t *sig, SignStats *stats, const uint8_t *rnd);
// Messages of any length, one shot, under the prepared key k and the context ctx; rnd as for
// sign_digest. Arguments are checked by the callers. TAVIK_OK when the signature was made, else
// TAVIK_SIGNING_FAILED.
int32_t sign_any(const SignKey &k, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd);
// From a stored key, whose parts must agree (as sign_digest from a stored key).
int32_t sign_any(const uint8_t *sk, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd);
// tavik_sign_ctx and tavik_sign_ctx_hedged once the context is checked (tavik_sign and
// tavik_sign_hedged without one): the other arguments checked, the random bytes drawn, and signed.
int32_t sign_message(const uint8_t *sk, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, bool hedged);

// The signature fields, decoded and screened before any hashing.
struct SignatureFields {
  uint32_t z[L * N], h[K * N], c[N];
};

// Decodes sig into f; false when z reaches its bound, the hint has more than 96 ones, or a field
// is not in its one accepted encoding. Needs no key, so a malformed signature costs no SHAKE.
bool screen_signature(SignatureFields &f, const uint8_t *sig);

// What verification reads of the public key, prepared once per key: the contents of an expanded
// public key.
struct VerifyKey {
  uint32_t A[K * L * N];
  uint32_t t1[K * N];  // t1 * 2^13, NTT form, canonical
  uint8_t tr[CRH_BYTES];

  NttVec a() const { return NttVec::of_ntt_form(A); }
  NttVec high() const { return NttVec::of_ntt_form(t1); }
};

// tr: SHAKE256(pk) when the caller already has it, else null: tr is then hashed beside the matrix
// expansion, and so is the digest of m (when not null) once tr is done. ctx: null, or the hash of
// a context, which then runs beside the expansion between tr's and the digest's (m not null), the
// digest starting with its tr_ctx.
void prepare_verify_key(VerifyKey &k, const uint8_t *pk, const uint8_t *tr = nullptr, const Message *m = nullptr,
                        ContextHash *ctx = nullptr);

// Verdict for screened fields f against the prepared key k and the digest mu: 0 valid, 1 invalid.
// Consumes f (z and c are transformed in place); k is only read. Not inlined, so that its 12 KiB
// of polynomials are not on the stack beside the key's preparation in the one-shot call.
int32_t verify_digest(const VerifyKey &k, SignatureFields &f, const uint8_t *mu);

// Verdict for sig of msg under the context ctx and the prepared key xk or, when xk is null, under
// pk: 0 valid, 1 invalid. Arguments are checked by the callers.
int32_t verify_any(const VerifyKey *xk, const uint8_t *pk, Context ctx, const uint8_t *sig, const uint8_t *msg,
                   uint64_t msglen);

// Runs sign(rnd), which tries to make a signature and returns the call's result, with the hedge's
// fresh random bytes when hedged and with null otherwise: TAVIK_NO_RANDOMNESS when the bytes could
// not be drawn (sign is not run), else sign's result.
template <typename Sign>
int32_t sign_with_hedge(bool hedged, Sign sign) {
  uint8_t rnd[TAVIK_HEDGE_BYTES];
  int32_t result = TAVIK_NO_RANDOMNESS;
  if (!hedged || randombytes(rnd, sizeof rnd)) result = sign(hedged ? rnd : nullptr);
  secure_wipe(rnd, sizeof rnd);
  return result;
}

// Verdict for sig under the prepared key xk or, when xk is null, under pk, which is prepared only
// once the signature has passed its screening (tr: pk's hash when known, else null). digest(tr, mu)
// writes the message digest mu.
template <typename Digest>
int32_t verify_with(const VerifyKey *xk, const uint8_t *pk, const uint8_t *tr, const uint8_t *sig, Digest digest) {
  SignatureFields f;
  if (!screen_signature(f, sig)) return TAVIK_INVALID_SIGNATURE;
  VerifyKey k;
  if (xk == nullptr) {
    prepare_verify_key(k, pk, tr);
    xk = &k;
  }
  uint8_t mu[CRH_BYTES];
  digest(xk->tr, mu);
  return verify_digest(*xk, f, mu);
}

}  // namespace scheme
}  // namespace tavik
