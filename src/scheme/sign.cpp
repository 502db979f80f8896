// Signing: the secret key prepared, the attempts, the hedge, and the signature of a digest or of a
// message under a prepared or a stored key.
#include <cstring>

#include "Polynomial.h"
#include "Rounding.h"
#include "ct.h"
#include "fips202.h"
#include "io.h"
#include "key_check.h"
#include "params.h"
#include "scheme.h"
#include "shake_lanes.h"
#include "signature.h"
#include "wipe.h"

namespace tavik::scheme {

namespace {

// Prefix of the hashed input that derives a hedged signature's mask key (domain separation from
// every other SHAKE256 input of the scheme).
constexpr uint8_t HEDGE_LABEL[16] = {'t', 'a', 'v', 'i', 'k', '-', 'c', ' ', 'h', 'e', 'd', 'g', 'e', ' ', 'v', '1'};
static_assert(TAVIK_HEDGE_BYTES == SEED_BYTES);

// Largest |s| a stored s1 or s2 field decodes to, for any key.
constexpr uint32_t S_MAX = (1u << S_BITS) - 1 - ETA;

// Signing's perturbation of t0 is t0x = (t0 XOR 48) - t0 + Q (adding it to t0 flips bits 4 and 5
// of the stored t0 modulo Q), so d = t0x - Q is one of -48, -16, 16, 48. s2 (Q + s, s in [-2, 5]
// for any key) becomes s2 + 64 * d: one product by the challenge c then carries c*s2 in its
// centred residue modulo 1024 (|c*s2| <= 300) and c*d above it (a multiple of 16,
// |c*d| <= 2880), which polyvec_split_pair separates; c*t0x is c*d modulo Q.
void pack_s2_t0x(uint32_t *s2, const uint32_t *t0) {
  static_assert(TAU * S_MAX < 512 && TAU * S_MAX + 64 * TAU * 48 <= HALF_Q);
  for (uint32_t i = 0; i < K * N; ++i) s2[i] += 64 * ((t0[i] ^ 48u) - t0[i]);
}

// s1 (Q + s, s in [-2, 5]) in pairs: pairs[j] = s1[j] + 1024 s[j + L/2], so that the product by c
// carries c*s1[j] in its centred residue modulo 1024 and c*s1[j + L/2] above it
// (|c*s| <= 300 each): two inverse transforms give the four products.
void pack_s1_pairs(uint32_t *pairs, const uint32_t *s1) {
  static_assert(L % 2 == 0 && TAU * S_MAX < 512 && TAU * S_MAX * 1025 <= HALF_Q);
  for (uint32_t i = 0; i < L / 2 * N; ++i) pairs[i] = s1[i] + 1024 * (s1[i + L / 2 * N] - Q);
}

}  // namespace

[[gnu::noinline]] bool prepare_sign_key(SignKey &k, const uint8_t *stored, const Message *m, bool check) {
  uint32_t s1[L * N];
  uint8_t sk[SK_BYTES], prefix[CRH_BYTES];
  std::memcpy(sk, stored, SK_BYTES);
  // tr heads the secret key's tail: mu needs nothing unpacked first, and is made from the copy.
  const SideHash digest =
      m != nullptr ? digest_beside(*m, digest_prefix(prefix, sk + SK1_BYTES, m->ctx), false) : SideHash{};
  generate_a_and_shake256(k.A, sk, &digest, m != nullptr ? 1 : 0);  // rho heads the key
  secure_wipe(prefix, sizeof prefix);  // tr_ctx: public, but it would tell which key signed
  unpack_sk1_secrets(k.key, s1, k.s2_t0x, sk);
  unpack_sk2(k.tr, k.t0, sk + SK1_BYTES);
  const bool agree = !check || stored_key_agrees(sk, k.a(), s1, k.s2_t0x);
  secure_wipe(sk, sizeof sk);
  pack_s1_pairs(k.s1_pairs, s1);
  secure_wipe(s1, sizeof s1);
  pack_s2_t0x(k.s2_t0x, k.t0);
  canonical_ntt(k.s1_pairs, L / 2);
  canonical_ntt(k.s2_t0x, K);
  canonical_ntt(k.t0, K);
  return agree;
}

namespace {

// Working storage of signing one message. Everything is secret or reveals something of an
// abandoned attempt. A, s1_pairs, s2_t0x and t0 are views of the prepared key, which is only read.
struct SignState {
  // The rest is left as it is: every buffer is written before it is read.
  explicit SignState(const SignKey &k) : A(k.a()), s1_pairs(k.pairs()), s2_t0x(k.s2_perturbed()), t0(k.low()) {}

  uint8_t seeds[SEED_BYTES + CRH_BYTES];  // key || mu: the mask seed
  NttVec A, s1_pairs, s2_t0x, t0;
  uint32_t y[L * N];  // y, then its NTT form
  uint32_t z[L * N];
  uint32_t w1[K * N];
  uint32_t w0[K * N];  // w - c*s2 (v of variant 0), polynomial by polynomial; composed: the kept v
  uint32_t c[N];       // c, then its NTT form
  uint32_t c_saved[N];
  // Values whose lives do not overlap share storage, each under its own name.
  union {
    uint32_t w[K * N];        // A*y, until w0 is made from it
    uint32_t w_prime[K * N];  // w0 + c*t0, the verifier's w', for the hint
  };
  union {
    uint32_t cs1[L * N];   // c*s1, until it is added into z
    uint32_t ct0[K * N];   // c*t0, polynomial by polynomial, until w' and the kept v are composed
    uint32_t hint[K * N];  // the hint of the signature
  };
  union {
    uint32_t cs1_pairs[L / 2 * N];  // c times the pairs of s1, until split into cs1
    uint32_t ct0x[K * N];           // c*t0x, polynomial by polynomial
  };
  union {
    uint32_t cs2_t0x[N];  // c*(s2 + 64 (t0x - Q)) of one polynomial, until split
    uint32_t v1[N];       // v of variant 1
    uint32_t v_moved[N];  // w0 - c*t0x in the composition, kept where the flag is 1
  };
  union {
    uint32_t cs2[N];  // c*s2 of one polynomial, until w0 is made
    uint32_t e1[N];   // e of variant 1
  };
  uint8_t choice_flags[K];

  void wipe() {
    secure_wipe(seeds, sizeof seeds);
    secure_wipe(y, sizeof y);
    secure_wipe(z, sizeof z);
    secure_wipe(w, sizeof w);  // and w_prime
    secure_wipe(w0, sizeof w0);
    secure_wipe(w1, sizeof w1);  // high parts and challenges of abandoned attempts
    secure_wipe(c, sizeof c);
    secure_wipe(c_saved, sizeof c_saved);
    secure_wipe(ct0, sizeof ct0);  // and cs1 and hint, which share its storage
    secure_wipe(ct0x, sizeof ct0x);  // and cs1_pairs
    secure_wipe(v1, sizeof v1);      // and cs2_t0x, v_moved
    secure_wipe(e1, sizeof e1);      // and cs2
    secure_wipe(choice_flags, sizeof choice_flags);
  }
};

uint32_t candidate_ok(SignState &st, const uint32_t *v, const uint32_t *e, uint32_t i) {
  return sign_candidate_ok(v, e, poly(st.w1, i));
}

// Polynomial i of an attempt whose z passed: makes w0[i] = w[i] - c*s2[i], ct0[i] = c*t0[i],
// ct0x[i] = c*t0x[i] and both candidates (variant 0: v = w0[i], e = c*t0[i]; variant 1: both
// shifted by c*t0x[i]), and keeps in choice_flags[i], by masks, its variant when it passes, else
// the other one. Returns all ones when some variant passes; *second counts the polynomials kept
// with their second variant.
uint32_t choose_variant(SignState &st, uint32_t i, NttVec c, uint32_t *second) {
  uint32_t *w0 = poly(st.w0, i), *ct0 = poly(st.ct0, i), *ct0x = poly(st.ct0x, i);
  polyvec_mult_ntt(st.cs2_t0x, c, 1, st.s2_t0x.from(i), 1);
  polyvec_split_pair(st.cs2, ct0x, st.cs2_t0x, 6, 1);
  PolyVec_sub(w0, poly(st.w, i), st.cs2, 1);
  polyvec_mult_ntt(ct0, c, 1, st.t0.from(i), 1);

  const uint32_t ok0 = candidate_ok(st, w0, ct0, i);
  PolyVec_sub(st.v1, w0, ct0x, 1);
  PolyVec_add(st.e1, ct0, ct0x, 1);
  const uint32_t ok1 = candidate_ok(st, st.v1, st.e1, i);

  const uint32_t first = ct::mask_bit(st.choice_flags[i]);
  const uint32_t kept = first ^ ~ct::select(first, ok1, ok0);
  st.choice_flags[i] = uint8_t(kept & 1);
  *second += (kept ^ first) & 1;
  return ok0 | ok1;
}

// Once every polynomial has a kept variant: w_prime[i] = w0[i] + c*t0[i], the verifier's w', and
// w0[i] becomes the kept v (minus c*t0x[i] where the flag is 1, chosen by mask).
void compose_kept(SignState &st) {
  for (uint32_t i = 0; i < K; ++i) {
    uint32_t *w0 = poly(st.w0, i);
    PolyVec_add(poly(st.w_prime, i), w0, poly(st.ct0, i), 1);
    PolyVec_sub(st.v_moved, w0, poly(st.ct0x, i), 1);
    ct::cmov(w0, st.v_moved, N, ct::mask_bit(st.choice_flags[i]));
  }
}

// The masks of the attempt after the current one, drawn with the current one's when the Keccak
// lanes are eight wide. They are a function of the mask seed and the nonce alone, so drawing
// them early changes neither which attempt is kept nor any byte of the signature.
struct MasksAhead {
  uint32_t y[L * N];
  uint8_t choice_flags[K];
  bool held = false;  // y holds the masks of the next attempt (public: attempts are counted)
};

// The masks and choice flags of the attempt at nonce into st.y and st.choice_flags. ahead: null
// to draw one attempt's; else they come from it when it holds them, or are drawn with the next
// attempt's, which it keeps, when there is a next attempt.
void draw_masks(SignState &st, uint32_t nonce, MasksAhead *ahead, bool next_may_run) {
  const uint8_t *mask_seed = st.seeds;  // key || mu
  if (ahead != nullptr && ahead->held) {
    PolyVec_assignment(st.y, ahead->y, L);
    std::memcpy(st.choice_flags, ahead->choice_flags, K);  // the nonce is a multiple of 4: both wrote them
    ahead->held = false;
  } else if (ahead != nullptr && next_may_run) {
    polyvec_uniform_gamma1m1_two(st.choice_flags, st.y, ahead->choice_flags, ahead->y, mask_seed, nonce);
    ahead->held = true;
  } else {
    polyvec_uniform_gamma1m1(st.choice_flags, st.y, mask_seed, nonce);  // nonces nonce .. nonce + 3
  }
}

// Signs with the prepared state; returns true after the first successful attempt, false (nothing
// written) after MAX_SIGN_ATTEMPTS (or stats->max_attempts, when lower) without one. ahead: null,
// or where the masks of the next attempt wait (draw_masks). Nothing secret steers a branch or an
// index: the three decisions that end an attempt are made public below, each where it is taken,
// because the scheme reveals them (the time of a call shows how many attempts it made); every
// other outcome is combined by masks.
[[gnu::noinline]] bool sign_attempts(SignState &st, uint8_t *sig, SignStats *stats, MasksAhead *ahead) {
  const uint8_t *mu = st.seeds + SEED_BYTES;
  uint32_t nonce = 0;
  uint64_t limit = MAX_SIGN_ATTEMPTS;
  if (stats != nullptr && stats->max_attempts != 0 && stats->max_attempts < limit) limit = stats->max_attempts;
  for (uint64_t attempt = 0;; ++attempt) {
    if (attempt == limit) {
      if (stats != nullptr) stats->gave_up = true;
      return false;
    }
    if (stats != nullptr) ++stats->attempts;
    draw_masks(st, nonce, ahead, attempt + 1 < limit);
    nonce += 4;
    PolyVec_assignment(st.z, st.y, L);
    const NttVec y = polyvec_ntt(st.y, L);
    for (uint32_t i = 0; i < K; ++i) polyvec_mult_ntt(poly(st.w, i), st.A.from(i * L), L, y, L);
    polyvec_highbits(st.w1, st.w, K);  // the low parts are made per polynomial below
    challenge(st.c, mu, st.w1);
    PolyVec_assignment(st.c_saved, st.c, 1);
    const NttVec c = polyvec_ntt(st.c, 1);

    polyvec_mult_ntt(st.cs1_pairs, c, 1, st.s1_pairs, L / 2);
    polyvec_split_pair(st.cs1, st.cs1 + L / 2 * N, st.cs1_pairs, 10, L / 2);
    PolyVec_add(st.z, st.z, st.cs1, L);
    PolyVec_freeze(st.z, L);
    // Public: an attempt abandoned for the norm of z, which reveals nothing more of the attempt.
    if (ct::declassify(PolyVec_check_norm(st.z, L, Z_BOUND)) != 0) {
      if (stats != nullptr) ++stats->z_rejects;
      continue;
    }

    uint32_t passed = ~0u, second = 0;
    for (uint32_t i = 0; i < K; ++i) passed &= choose_variant(st, i, c, &second);
    // Public: an attempt abandoned because both candidates of some polynomial failed (which one
    // stays secret).
    if (ct::declassify(passed) == 0) {
      if (stats != nullptr) ++stats->variant_rejects;
      continue;
    }
    compose_kept(st);

    const uint32_t ones = PolyVec_make_hint(st.hint, st.w_prime, st.w0);
    // Public: an attempt abandoned for more than 96 hint ones (the count itself stays secret).
    if (ct::declassify(uint32_t(ones > OMEGA)) != 0) {
      if (stats != nullptr) ++stats->hint_rejects;
      continue;
    }
    // Public: z, the hint and the challenge are the signature.
    TAVIK_DECLASSIFY(st.z, sizeof st.z);
    TAVIK_DECLASSIFY(st.hint, sizeof st.hint);
    TAVIK_DECLASSIFY(st.c_saved, sizeof st.c_saved);
    if (stats != nullptr) stats->second_variants += second;
    pack_signature(sig, st.z, st.hint, st.c_saved);  // z is still frozen from its norm check
    return true;
  }
}

// sign_attempts with the masks of two attempts drawn at once; those left unused are wiped. Not
// inlined: its frame, with the masks ahead, lies in what scrub_stack() zeroes.
[[gnu::noinline]] bool sign_attempts_masks_ahead(SignState &st, uint8_t *sig, SignStats *stats) {
  MasksAhead ahead;
  const bool made = sign_attempts(st, sig, stats, &ahead);
  secure_wipe(&ahead, sizeof ahead);
  return made;
}

// The mask key of a hedged signature: SHAKE256(label || key || rnd || mu), 32 bytes.
void hedged_mask_key(uint8_t *out, const uint8_t *key, const uint8_t *rnd, const uint8_t *mu) {
  uint8_t in[sizeof HEDGE_LABEL + 2 * SEED_BYTES + CRH_BYTES];
  std::memcpy(in, HEDGE_LABEL, sizeof HEDGE_LABEL);
  std::memcpy(in + sizeof HEDGE_LABEL, key, SEED_BYTES);
  std::memcpy(in + sizeof HEDGE_LABEL + SEED_BYTES, rnd, SEED_BYTES);
  std::memcpy(in + sizeof HEDGE_LABEL + 2 * SEED_BYTES, mu, CRH_BYTES);
  shake256(out, SEED_BYTES, in, sizeof in);
  secure_wipe(in, sizeof in);
}

}  // namespace

// mu = SHAKE256(tr || msg), with the message read where it lies.
void message_digest(uint8_t *mu, const uint8_t *tr, const uint8_t *msg, uint64_t msglen) {
  shake256_pair(mu, CRH_BYTES, tr, CRH_BYTES, msg, msglen);
}

// Signature of the digest mu under the prepared key k, which is left as it was; true when made.
// rnd: null for the deterministic signature, else the hedge's TAVIK_HEDGE_BYTES random bytes,
// which replace the key in the mask seed by the hash of both.
bool sign_digest(const SignKey &k, const uint8_t *mu, uint8_t *sig, SignStats *stats, const uint8_t *rnd) {
  SignState st(k);
  if (rnd != nullptr) {
    hedged_mask_key(st.seeds, k.key, rnd, mu);
  } else {
    std::memcpy(st.seeds, k.key, SEED_BYTES);
  }
  std::memcpy(st.seeds + SEED_BYTES, mu, CRH_BYTES);

  // Not inlined: their frames lie in what scrub_stack() zeroes. Eight Keccak lanes draw two
  // attempts' masks at once.
  if (keccak_eight_lanes()) {
    const bool made = sign_attempts_masks_ahead(st, sig, stats);
    st.wipe();
    scrub_stack<SIGN_SCRUB_BYTES_EIGHT_LANES>();
    return made;
  }
  const bool made = sign_attempts(st, sig, stats, nullptr);
  st.wipe();
  scrub_stack<SIGN_SCRUB_BYTES>();
  return made;
}

namespace {

// The result of signing with the key sk prepared into k: TAVIK_ILLEGAL_PARAMETER when the key's
// parts disagree (nothing signed), else TAVIK_OK when sign(k) made the signature, else
// TAVIK_SIGNING_FAILED. k is wiped whole: its public parts would tell which key signed.
template <typename Sign>
int32_t sign_checked(SignKey &k, bool agree, Sign sign) {
  const int32_t result = !agree ? TAVIK_ILLEGAL_PARAMETER : sign(k) ? TAVIK_OK : TAVIK_SIGNING_FAILED;
  secure_wipe(&k, sizeof k);
  return result;
}

}  // namespace

// Signature of the digest mu under the secret key sk, whose parts must agree (sign_checked).
int32_t sign_digest(const uint8_t *sk, const uint8_t *mu, uint8_t *sig, SignStats *stats, const uint8_t *rnd) {
  SignKey k;
  const bool agree = prepare_sign_key(k, sk, nullptr, true);
  return sign_checked(k, agree, [&](const SignKey &key) { return sign_digest(key, mu, sig, stats, rnd); });
}

int32_t sign_any(const SignKey &k, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd) {
  uint8_t mu[CRH_BYTES], prefix[CRH_BYTES];
  message_digest(mu, digest_prefix(prefix, k.tr, ctx), msg, msglen);
  const bool made = sign_digest(k, mu, sig, stats, rnd);
  secure_wipe(mu, sizeof mu);
  secure_wipe(prefix, sizeof prefix);  // tr_ctx: public, but it would tell which key signed
  return made ? TAVIK_OK : TAVIK_SIGNING_FAILED;
}

// From a stored key, whose parts must agree (sign_checked). The digest is made under ctx from the
// copy of the key that is checked (prepare_sign_key).
int32_t sign_any(const uint8_t *sk, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd) {
  SignKey k;
  uint8_t mu[CRH_BYTES];
  const Message m = {msg, msglen, mu, ctx};
  const bool agree = prepare_sign_key(k, sk, &m, stats == nullptr || !stats->unchecked_key);
  const int32_t result =
      sign_checked(k, agree, [&](const SignKey &key) { return sign_digest(key, mu, sig, stats, rnd); });
  secure_wipe(mu, sizeof mu);
  return result;
}

int32_t sign_message(const uint8_t *sk, Context ctx, const uint8_t *msg, uint64_t msglen, uint8_t *sig, bool hedged) {
  if (sk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_any(sk, ctx, msg, msglen, sig, nullptr, rnd); });
}

}  // namespace tavik::scheme

namespace tavik {

uint32_t sign_candidate_ok(const uint32_t *v, const uint32_t *e, const uint32_t *w1) {
  return ct::mask_zero(poly_candidate_check(v, e, w1, R0_BOUND, CT0_BOUND));
}

int32_t sign_hedged_with(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, const uint8_t *rnd) {
  scheme::ready();
  if (sk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr || rnd == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return scheme::sign_any(sk, scheme::Context{}, msg, msglen, sig, nullptr, rnd);
}

}  // namespace tavik
