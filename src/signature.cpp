#include "signature.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <new>

#include "Polynomial.h"
#include "Rounding.h"
#include "ct.h"
#include "fips202.h"
#include "fips202x4.h"
#include "io.h"
#include "key_check.h"
#include "kernels.h"
#include "params.h"
#include "path.h"
#include "randombytes.h"
#include "shake_lanes.h"
#include "wipe.h"

using namespace tavik;

namespace {

// The work that decides the Keccak lane width (defined with the self-test, whose signature it checks).
void lanes_work(const Kernels &k, uint32_t width);

// Chooses the path of kernels at the first call into the scheme; every public entry starts with it.
// The self-test calls none of them: it runs on the kernels it is handed.
void ready() { path_choose(self_test, lanes_work); }

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

// Prefix of the hashed input that derives a hedged signature's mask key (domain separation from
// every other SHAKE256 input of the scheme).
constexpr uint8_t HEDGE_LABEL[16] = {'t', 'a', 'v', 'i', 'k', '-', 'c', ' ', 'h', 'e', 'd', 'g', 'e', ' ', 'v', '1'};
static_assert(TAVIK_HEDGE_BYTES == SEED_BYTES);

// True when the PK_BYTES at pk and the SK_BYTES at sk share a byte.
bool keys_overlap(const uint8_t *pk, const uint8_t *sk) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(pk), s = reinterpret_cast<uintptr_t>(sk);
  return p < s + SK_BYTES && s < p + PK_BYTES;
}

// msglen in [1, MAX_MSG_BYTES], tested as one unsigned comparison.
bool msglen_ok(uint64_t msglen) { return msglen - 1 <= MAX_MSG_BYTES - 1; }

// Polynomial i of a vector.
uint32_t *poly(uint32_t *v, uint32_t i) { return v + i * N; }

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

// The public key as key generation writes it, a row of t1 at a time, its hash tr taking the whole
// blocks written so far beside whatever permutations run next (tr.next_block()).
struct PublicKeyRows {
  uint8_t *pk;
  Shake256Beside tr;

  PublicKeyRows(uint8_t *key, const uint8_t *rho) : pk(key), tr(key, PK_BYTES) {
    std::memcpy(pk, rho, SEED_BYTES);
    tr.written(SEED_BYTES);
  }
  // Row i of t = A*s1 + s2 (t holds s2 and becomes t), split into t1 and t0; row i of t1 goes
  // into the key.
  void add(uint32_t i, uint32_t *t1, uint32_t *t0, uint32_t *t, NttVec a_row, NttVec s1_ntt) {
    derive_t_row(poly(t1, i), poly(t0, i), poly(t, i), a_row, s1_ntt);
    TAVIK_DECLASSIFY(poly(t1, i), N * sizeof t1[0]);  // public: t1 is the rest of the public key
    pack_pk_row(pk, poly(t1, i), i);
    tr.written(SEED_BYTES + (i + 1) * POLY_T1_BYTES);
  }
};

// keygen's matrix, t and tr at eight Keccak lanes: the secrets' streams run in the lanes of the
// whole matrix's expansion. Each row of t is made as soon as its rows of the matrix and of s2, and
// s1, are complete; its row of t1 goes into pk, and tr takes the whole blocks of pk written so far
// beside the permutations still to run (six of its eleven blocks, where it ran alone after them).
// s1 and t (s2) are written here; t1 and t0 as derive_t1_t0. Not inlined: its 20 KiB matrix is
// on the stack only at that width.
[[gnu::noinline]] void keygen_in_eight_lanes(uint8_t *pk, uint8_t *sk, const uint8_t *seedbuf, uint32_t *s1,
                                             uint32_t *t, uint32_t *t1, uint32_t *t0) {
  const uint8_t *rho = seedbuf + SEED_BYTES;
  uint32_t A[K * L * N];
  pack_sk1_seeds(sk, rho, seedbuf + 2 * SEED_BYTES);
  PublicKeyRows key(pk, rho);
  auto made = [&](uint32_t i) {
    if (i == 0) {  // s1 is complete: packed, then turned into NTT form
      for (uint32_t j = 0; j < L; ++j) pack_sk1_secret(sk, poly(s1, j), j);
      polyvec_ntt(s1, L);
    }
    pack_sk1_secret(sk, poly(t, i), L + i);  // before s2 turns into t
    key.add(i, t1, t0, t, NttVec::of_ntt_form(A + i * L * N), NttVec::of_ntt_form(s1));
  };
  const RowsMade rows = {[](void *ctx, uint32_t i) { (*static_cast<decltype(made) *>(ctx))(i); }, &made, &key.tr};
  generate_a_and_secrets(A, rho, s1, t, seedbuf, ETA, &rows);
  key.tr.finish(sk + SK1_BYTES, CRH_BYTES);  // tr of the finished public key
}

// The same at four lanes and on paths without lanes: a row of the matrix at a time. Each row of t1
// goes into pk as soon as it is made, and tr takes the whole blocks of pk written so far beside
// the permutations of the next row. Not inlined: its row of the matrix is on the stack only here.
[[gnu::noinline]] void keygen_row_by_row(uint8_t *pk, uint8_t *sk, const uint8_t *seedbuf, uint32_t *s1,
                                         uint32_t *t, uint32_t *t1, uint32_t *t0) {
  const uint8_t *rho = seedbuf + SEED_BYTES;
  uint32_t a_row[L * N];
  polyvec_uniform_eta(s1, seedbuf, 0, L, ETA);
  polyvec_uniform_eta(t, seedbuf, int32_t(L), K, ETA);
  pack_sk1(sk, rho, seedbuf + 2 * SEED_BYTES, s1, t);  // before s1 turns into NTT form and s2 into t
  const NttVec s1_ntt = polyvec_ntt(s1, L);
  PublicKeyRows key(pk, rho);
  for (uint32_t i = 0; i < K; ++i) {
    generate_a_row(a_row, rho, i, key.tr);
    key.add(i, t1, t0, t, NttVec::of_ntt_form(a_row), s1_ntt);
  }
  key.tr.finish(sk + SK1_BYTES, CRH_BYTES);  // tr of the finished public key
}

// Key pair from the 32-byte seed; pk and sk are non-null. Not inlined: its frame lies in what the
// caller's scrub_stack() zeroes, which is the only wipe of its secrets.
[[gnu::noinline]] void keygen(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  uint8_t seedbuf[3 * SEED_BYTES];  // sampling seed, rho, key
  uint32_t s1[L * N];
  uint32_t t[K * N];  // s2, then t = A*s1 + s2
  uint32_t t1[K * N];
  uint32_t t0[K * N];  // product scratch, then the low part of t

  std::memcpy(seedbuf, seed, SEED_BYTES);
  shake256(seedbuf, sizeof seedbuf, seedbuf, SEED_BYTES);
  TAVIK_DECLASSIFY(seedbuf + SEED_BYTES, SEED_BYTES);  // public: rho opens the public key

  if (keccak_eight_lanes()) keygen_in_eight_lanes(pk, sk, seedbuf, s1, t, t1, t0);
  else keygen_row_by_row(pk, sk, seedbuf, s1, t, t1, t0);
  pack_sk2(sk + SK1_BYTES, t0);
  // Nothing is wiped here: every caller zeroes this whole frame and its callees' right after
  // (scrub_after_keygen; the self-test's key is no secret), which covers the seeds, s1, t and t0,
  // and the matrix and t1 too (public, but they follow from the seed). Wiping them here as well
  // zeroed 40 KiB twice per key.
}

// NTT form of count polynomials in place, reduced to [0, Q): the same bytes on every path.
void canonical_ntt(uint32_t *v, uint32_t count) {
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

// A message and where its digest mu = SHAKE256(tr || msg) goes, for the one-shot calls, which
// hash it beside the matrix expansion of the key they prepare.
struct Message {
  const uint8_t *msg;
  uint64_t msglen;
  uint8_t *mu;
};

// The side hash of the matrix expansion that writes m's digest from the 48 bytes at tr (the out of
// the hash before it when after_previous).
SideHash digest_beside(const Message &m, const uint8_t *tr, bool after_previous) {
  return {m.mu, CRH_BYTES, tr, CRH_BYTES, m.msg, m.msglen, after_previous};
}

// m: the message signed, or null. check: return whether the key's parts agree (stored_key_agrees:
// the public part rebuilt from the secrets against the stored tr and t0, or the same bytes found
// intact before in this process), else return true. The key is read once, into a copy that
// everything here works from, so that what was checked is what is signed. Not inlined:
// tavik_expand_sk scrubs the stack it used.
[[gnu::noinline]] bool prepare_sign_key(SignKey &k, const uint8_t *stored, const Message *m, bool check) {
  uint32_t s1[L * N];
  uint8_t sk[SK_BYTES];
  std::memcpy(sk, stored, SK_BYTES);
  // tr heads the secret key's tail: mu needs nothing unpacked first.
  const SideHash digest = m != nullptr ? digest_beside(*m, sk + SK1_BYTES, false) : SideHash{};
  generate_a_and_shake256(k.A, sk, &digest, m != nullptr ? 1 : 0);  // rho heads the key
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

// mu = SHAKE256(tr || msg), with the message read where it lies.
void message_digest(uint8_t *mu, const uint8_t *tr, const uint8_t *msg, uint64_t msglen) {
  shake256_pair(mu, CRH_BYTES, tr, CRH_BYTES, msg, msglen);
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

// The result of signing with the key sk prepared into k: TAVIK_ILLEGAL_PARAMETER when the key's
// parts disagree (nothing signed), else TAVIK_OK when sign(k) made the signature, else
// TAVIK_SIGNING_FAILED. k is wiped whole: its public parts would tell which key signed.
template <typename Sign>
int32_t sign_checked(SignKey &k, bool agree, Sign sign) {
  const int32_t result = !agree ? TAVIK_ILLEGAL_PARAMETER : sign(k) ? TAVIK_OK : TAVIK_SIGNING_FAILED;
  secure_wipe(&k, sizeof k);
  return result;
}

// Signature of the digest mu under the secret key sk, whose parts must agree (sign_checked).
int32_t sign_digest(const uint8_t *sk, const uint8_t *mu, uint8_t *sig, SignStats *stats, const uint8_t *rnd) {
  SignKey k;
  const bool agree = prepare_sign_key(k, sk, nullptr, true);
  return sign_checked(k, agree, [&](const SignKey &key) { return sign_digest(key, mu, sig, stats, rnd); });
}

// The signature fields, decoded and screened before any hashing.
struct SignatureFields {
  uint32_t z[L * N], h[K * N], c[N];
};

// Decodes sig into f; false when z reaches its bound, the hint has more than 96 ones, or a field
// is not in its one accepted encoding. Needs no key, so a malformed signature costs no SHAKE.
bool screen_signature(SignatureFields &f, const uint8_t *sig) {
  const int32_t non_canonical = unpack_signature(f.z, f.h, f.c, sig);
  if (PolyVec_check_norm(f.z, L, Z_BOUND) != 0) return false;
  uint32_t ones = 0;
  for (uint32_t i = 0; i < K * N; ++i) ones += f.h[i];
  if (ones > OMEGA) return false;
  return non_canonical == 0;
}

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
// expansion, and so is the digest of m (when not null) once tr is done.
void prepare_verify_key(VerifyKey &k, const uint8_t *pk, const uint8_t *tr = nullptr, const Message *m = nullptr) {
  uint8_t rho[SEED_BYTES];
  if (tr != nullptr) {
    unpack_pk(k.A, rho, k.t1, pk);
    std::memcpy(k.tr, tr, CRH_BYTES);
  } else {
    SideHash side[2] = {{k.tr, CRH_BYTES, nullptr, 0, pk, PK_BYTES, false}, {}};
    if (m != nullptr) side[1] = digest_beside(*m, k.tr, true);
    generate_a_and_shake256(k.A, pk, side, m != nullptr ? 2 : 1);  // rho heads the key
    unpack_t1(k.t1, pk);
  }
  canonical_ntt(k.t1, K);
}

// Verdict for screened fields f against the prepared key k and the digest mu: 0 valid, 1 invalid.
// Consumes f (z and c are transformed in place); k is only read. Not inlined, so that its 12 KiB
// of polynomials are not on the stack beside the key's preparation in the one-shot call.
[[gnu::noinline]] int32_t verify_digest(const VerifyKey &k, SignatureFields &f, const uint8_t *mu) {
  uint32_t w[K * N], w1[K * N], c_saved[N], c_new[N];
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  // w' = A*z - c*t1, row by row; the vector paths take c*t1 into the row's sum before its one
  // inverse transform.
  for (uint32_t i = 0; i < K; ++i) polyvec_inner_product_minus(poly(w, i), k.a().from(i * L), z, L, c, k.high().from(i));
  PolyVec_use_hint(w1, f.h, w);
  challenge_vartime(c_new, mu, w1);  // public: w1 follows from the public key and the signature
  return PolyVec_compare(c_new, c_saved, 1) == 0 ? TAVIK_OK : TAVIK_INVALID_SIGNATURE;
}

// Messages of any length, one shot, under the prepared key k; rnd as for sign_digest. Arguments are
// checked by the callers. True when the signature was made.
int32_t sign_any(const SignKey &k, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd) {
  uint8_t mu[CRH_BYTES];
  message_digest(mu, k.tr, msg, msglen);
  const bool made = sign_digest(k, mu, sig, stats, rnd);
  secure_wipe(mu, sizeof mu);
  return made ? TAVIK_OK : TAVIK_SIGNING_FAILED;
}

// From a stored key, whose parts must agree (sign_checked).
int32_t sign_any(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, SignStats *stats,
                 const uint8_t *rnd) {
  SignKey k;
  uint8_t mu[CRH_BYTES];
  const Message m = {msg, msglen, mu};
  const bool agree = prepare_sign_key(k, sk, &m, stats == nullptr || !stats->unchecked_key);
  const int32_t result =
      sign_checked(k, agree, [&](const SignKey &key) { return sign_digest(key, mu, sig, stats, rnd); });
  secure_wipe(mu, sizeof mu);
  return result;
}

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

// Row i of w1 packed into out (POLY_W1_BYTES): the corrected high part, by the hints h, of row i
// of A*z - c*t1, from that row of A (a_row, NTT form), t1 in pk, and z and c transformed.
void verify_w1_row(uint8_t *out, const uint32_t *a_row, const uint8_t *pk, uint32_t i, NttVec z, NttVec c,
                   const uint32_t *h) {
  uint32_t t1_row[N], w1_row[N];
  decompress(t1_row, pk + SEED_BYTES + i * POLY_T1_BYTES, IO_T1);
  polyvec_ntt(t1_row, 1);  // below 18Q is all the product needs: this row is used once
  polyvec_inner_product_minus(w1_row, NttVec::of_ntt_form(a_row), z, L, c, NttVec::of_ntt_form(t1_row));
  polyvec_use_hint(w1_row, h + i * N, w1_row, 1);
  pack_w1_row(out, w1_row);
}

// The verdict once c_hash (mu || packed w1) has all its input: 0 when the challenge it draws is the
// signature's c (c_saved), else 1.
int32_t challenge_verdict(Shake256Beside &c_hash, uint64_t inlen, const uint32_t *c_saved) {
  uint32_t c_new[N];
  c_hash.written(inlen);
  challenge_vartime_of(c_new, c_hash);  // public: w1 follows from the public key and the signature
  return PolyVec_compare(c_new, c_saved, 1) == 0 ? TAVIK_OK : TAVIK_INVALID_SIGNATURE;
}

// verify_any's one shot under a plain public key, a row of the matrix at a time (four Keccak lanes,
// or none): tr, then the message digest, then the challenge hash ride beside the permutations of
// the rows, the challenge hash taking w1 as its rows are made, instead of running after them.
// Each hash takes the rows from the one after the row where the hash before it ends. Not inlined:
// its frame is not on the stack beside the eight-lane form's.
[[gnu::noinline]] int32_t verify_row_by_row(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                            uint64_t msglen) {
  uint32_t a_row[L * N], c_saved[N];
  uint8_t tr[CRH_BYTES];
  uint8_t hashed[CRH_BYTES + W1_PACKED_BYTES];  // mu || packed w1: the challenge hash's input
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  Shake256Beside tr_hash(pk, PK_BYTES), mu_hash(tr, CRH_BYTES, msg, msglen), c_hash(hashed, sizeof hashed);
  tr_hash.written(PK_BYTES);
  mu_hash.written(msglen);
  bool tr_done = false, mu_done = false;
  // The hash to ride beside row i: the first one not yet done, once the one before it is finished.
  const auto next_hash = [&](uint32_t i) -> Shake256Beside & {
    if (!tr_done) {
      if (!tr_hash.padded()) return tr_hash;
      tr_hash.finish(tr, CRH_BYTES);
      tr_done = true;
    }
    if (!mu_done) {
      if (!mu_hash.padded()) return mu_hash;
      mu_hash.finish(hashed, CRH_BYTES);
      mu_done = true;
    }
    c_hash.written(CRH_BYTES + i * POLY_W1_BYTES);  // mu, then the rows of w1 before row i
    return c_hash;
  };
  for (uint32_t i = 0; i < K; ++i) {
    generate_a_row(a_row, pk, i, next_hash(i));  // rho heads the key
    verify_w1_row(hashed + CRH_BYTES + i * POLY_W1_BYTES, a_row, pk, i, z, c, f.h);
  }
  // What did not ride beside the rows (a long message's digest, say) runs alone now.
  if (!tr_done) tr_hash.finish(tr, CRH_BYTES);
  if (!mu_done) mu_hash.finish(hashed, CRH_BYTES);
  return challenge_verdict(c_hash, sizeof hashed, c_saved);
}

// The same where a stream costs less in a lane of the scheduled expansion than beside four
// (Kernels::side_hashes_in_lanes): tr, then the message digest, take lanes of the expansion of all
// rows but the last; the challenge hash then takes w1 of those rows beside the last row's
// permutations, so that only its blocks holding the last row of w1 run alone. Not inlined, as
// the row-by-row form.
[[gnu::noinline]] int32_t verify_in_lanes_then_last_row(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                                        uint64_t msglen) {
  uint32_t a_head[(K - 1) * L * N], c_saved[N];
  uint8_t tr[CRH_BYTES];
  uint8_t hashed[CRH_BYTES + W1_PACKED_BYTES];  // mu || packed w1: the challenge hash's input
  PolyVec_assignment(c_saved, f.c, 1);
  const NttVec z = polyvec_ntt(f.z, L), c = polyvec_ntt(f.c, 1);
  const Message m = {msg, msglen, hashed};
  const SideHash side[2] = {{tr, CRH_BYTES, nullptr, 0, pk, PK_BYTES, false}, digest_beside(m, tr, true)};
  generate_a_and_shake256(a_head, pk, side, 2, K - 1);  // rho heads the key
  for (uint32_t i = 0; i + 1 < K; ++i)
    verify_w1_row(hashed + CRH_BYTES + i * POLY_W1_BYTES, a_head + i * L * N, pk, i, z, c, f.h);
  Shake256Beside c_hash(hashed, sizeof hashed);
  c_hash.written(CRH_BYTES + (K - 1) * POLY_W1_BYTES);
  generate_a_row(a_head, pk, K - 1, c_hash);  // the first row's place is free again
  verify_w1_row(hashed + CRH_BYTES + (K - 1) * POLY_W1_BYTES, a_head, pk, K - 1, z, c, f.h);
  return challenge_verdict(c_hash, sizeof hashed, c_saved);
}

// The same at eight Keccak lanes: the public key's hash, then the message digest, in the lanes of
// the whole matrix's expansion. Not inlined: its prepared key is on the stack only at that width.
[[gnu::noinline]] int32_t verify_in_eight_lanes(const uint8_t *pk, SignatureFields &f, const uint8_t *msg,
                                                uint64_t msglen) {
  VerifyKey k;
  uint8_t mu[CRH_BYTES];
  const Message m = {msg, msglen, mu};
  prepare_verify_key(k, pk, nullptr, &m);
  return verify_digest(k, f, mu);
}

int32_t verify_any(const VerifyKey *xk, const uint8_t *pk, const uint8_t *sig, const uint8_t *msg, uint64_t msglen) {
  if (xk != nullptr)
    return verify_with(xk, pk, nullptr, sig, [&](const uint8_t *tr, uint8_t *mu) { message_digest(mu, tr, msg, msglen); });
  SignatureFields f;
  if (!screen_signature(f, sig)) return TAVIK_INVALID_SIGNATURE;
  if (keccak_eight_lanes()) return verify_in_eight_lanes(pk, f, msg, msglen);
  if (kernels().side_hashes_in_lanes) return verify_in_lanes_then_last_row(pk, f, msg, msglen);
  return verify_row_by_row(pk, f, msg, msglen);
}

// Expanded keys and streaming states, built in the caller's opaque storage. The tag tells a live
// one from a wiped (finished) or never-initialised one.
constexpr uint64_t SIGN_TAG = 0x7461766b5369676eULL;
constexpr uint64_t VERIFY_TAG = 0x7461766b56657266ULL;
constexpr uint64_t EXPANDED_SK_TAG = 0x7461766b58534b31ULL;
constexpr uint64_t EXPANDED_PK_TAG = 0x7461766b58504b31ULL;

// An expanded key and its keyed check value (key_check.h), made when it was expanded.
template <typename Key>
struct alignas(64) Expanded {
  Key key;
  KeyCheckValue check;
  uint64_t tag;

  static_assert(sizeof(Key) % 8 == 0 && sizeof(Key) <= KEY_CHECK_MAX_BYTES);
  void seal() { check = key_check_of(&key, sizeof key, active_backend()); }
  // True when the key is as it was expanded in this process.
  bool intact() const { return key_check_matches(&key, sizeof key, check, active_backend()); }
};
using ExpandedSk = Expanded<SignKey>;
using ExpandedPk = Expanded<VerifyKey>;
static_assert(sizeof(SignKey) == sizeof(SignKey::A) + sizeof(SignKey::s1_pairs) + sizeof(SignKey::t0) +
                                     sizeof(SignKey::s2_t0x) + sizeof(SignKey::key) + sizeof(SignKey::tr) &&
                  sizeof(VerifyKey) == sizeof(VerifyKey::A) + sizeof(VerifyKey::t1) + sizeof(VerifyKey::tr),
              "no padding: every byte of a key is covered and meaningful");

struct SignStream {
  uint64_t tag;
  Shake256Stream h;            // absorbing tr || message
  const ExpandedSk *expanded;  // the key when the state was started from an expanded key
  uint8_t sk[SK_BYTES];        // the key otherwise
  bool hedged;                 // the final call signs hedged
};

struct VerifyStream {
  uint64_t tag;
  Shake256Stream h;            // absorbing tr || message
  const ExpandedPk *expanded;  // the key when the state was started from an expanded key
  uint8_t pk[PK_BYTES];        // the key otherwise, and its hash tr
  uint8_t tr[CRH_BYTES];
};


template <typename Inner, typename Opaque>
constexpr bool fits = sizeof(Inner) <= sizeof(Opaque) && alignof(Inner) <= alignof(Opaque);
static_assert(fits<ExpandedSk, tavik_expanded_sk> && fits<ExpandedPk, tavik_expanded_pk>);
static_assert(fits<SignStream, tavik_sign_state> && fits<VerifyStream, tavik_verify_state>);

// The object of type T inside the opaque storage p when it is live, else null.
template <typename T, uint64_t Tag, typename Opaque>
T *live(Opaque *p) {
  if (p == nullptr) return nullptr;
  T *s = std::launder(reinterpret_cast<T *>(p));
  return ct::declassify(s->tag) == Tag ? s : nullptr;  // the tag is public in a secret struct
}

// The streaming state in p when it is live and its sponge position lies within a block (a state
// whose position was overwritten would make the next absorb write outside it), else null.
template <typename T, uint64_t Tag, typename Opaque>
T *live_stream(Opaque *p) {
  T *s = live<T, Tag>(p);
  return s != nullptr && s->h.pos < SHAKE256_RATE ? s : nullptr;
}

// True when n bytes at p share a byte with the state at st.
template <typename Opaque>
bool in_state(const void *p, uint64_t n, const Opaque *st) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(st);
  return n != 0 && (a >= b ? a - b < sizeof *st : b - a < n);
}

// Starts T in the opaque storage p, whose bytes from `from` on are zeroed first.
template <typename T, uint64_t Tag, typename Opaque>
T *start(Opaque *p, size_t from = 0) {
  secure_wipe(reinterpret_cast<uint8_t *>(p) + from, sizeof *p - from);
  T *s = new (p) T;
  s->tag = Tag;
  return s;
}

// Starts a streaming state in st: the expanded key or null, and the digest absorbing tr.
template <typename Stream, uint64_t Tag, typename Opaque, typename Expanded>
Stream *start_stream(Opaque *st, const Expanded *expanded, const uint8_t *tr) {
  Stream *s = start<Stream, Tag>(st);
  s->expanded = expanded;
  shake256_stream_init(s->h);
  shake256_stream_absorb(s->h, tr, CRH_BYTES);
  return s;
}

// The expanded key in p (its opaque storage, or a pointer kept in a streaming state) when it is
// live and unchanged since it was expanded in this process, else null.
template <typename X, uint64_t Tag, typename Opaque>
const X *intact(const Opaque *p) {
  const X *x = live<const X, Tag>(p);
  return x != nullptr && x->intact() ? x : nullptr;
}
template <typename Opaque>
const ExpandedSk *intact_expanded(const Opaque *p) { return intact<ExpandedSk, EXPANDED_SK_TAG>(p); }
template <typename Opaque>
const ExpandedPk *intact_expanded_pk(const Opaque *p) { return intact<ExpandedPk, EXPANDED_PK_TAG>(p); }

// tavik_sign and tavik_sign_hedged.
int32_t sign_message(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, bool hedged) {
  if (sk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_any(sk, msg, msglen, sig, nullptr, rnd); });
}

// tavik_sign_expanded and tavik_sign_expanded_hedged.
int32_t sign_expanded(const tavik_expanded_sk *xsk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, bool hedged) {
  if ((msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedSk *x = intact_expanded(xsk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_with_hedge(hedged, [&](const uint8_t *rnd) { return sign_any(x->key, msg, msglen, sig, nullptr, rnd); });
}

// Starts a streaming signature from an expanded key.
int32_t sign_init_expanded(tavik_sign_state *st, const tavik_expanded_sk *xsk, bool hedged) {
  const ExpandedSk *x = intact_expanded(xsk);
  if (st == nullptr || x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  start_stream<SignStream, SIGN_TAG>(st, x, x->key.tr)->hedged = hedged;
  return TAVIK_OK;
}

// Starts a streaming signature from a stored key.
int32_t sign_init(tavik_sign_state *st, const uint8_t *sk, bool hedged) {
  if (st == nullptr || sk == nullptr || in_state(sk, SK_BYTES, st)) return TAVIK_ILLEGAL_PARAMETER;
  SignStream *s = start_stream<SignStream, SIGN_TAG>(st, static_cast<const ExpandedSk *>(nullptr), sk + SK1_BYTES);
  std::memcpy(s->sk, sk, SK_BYTES);
  s->hedged = hedged;
  return TAVIK_OK;
}

// The self-test's message: the bytes 0, 1, ..., 58.
constexpr std::array<uint8_t, 59> PINNED_MSG = [] {
  std::array<uint8_t, 59> m{};
  for (uint32_t i = 0; i < m.size(); ++i) m[i] = uint8_t(i);
  return m;
}();

// The self-test's key pair and signature, pk || signature in keys_sig: the key of the seed 1, 8,
// 15, ... and the signature of PINNED_MSG under it, on the kernels in use. False when signing
// failed. The key's secret part is wiped.
bool pinned_signature(uint8_t *keys_sig) {
  uint8_t seed[SEED_BYTES];
  uint8_t sk[SK_BYTES];
  for (uint32_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(7 * i + 1);
  keygen(keys_sig, sk, seed);
  // Faulty kernels can fail every attempt: the pinned signature takes 3 attempts, so 64 ends it.
  SignStats stats;
  stats.max_attempts = 64;
  const bool signed_ok =
      sign_any(sk, PINNED_MSG.data(), PINNED_MSG.size(), keys_sig + PK_BYTES, &stats, nullptr) == TAVIK_OK;
  secure_wipe(sk, sizeof sk);
  return signed_ok;
}

// The pinned key and signature once made: by the self-test that passed (the same bytes on every
// path), else by the first lanes_work. Written and read only while the path's choice runs, on one
// thread.
struct Pinned {
  uint8_t keys_sig[PK_BYTES + SIG_BYTES];
  bool made = false;
};
Pinned pinned;

// The work that decides the Keccak lane width: verifying the pinned signature. It runs the lanes'
// users side by side as they run in use (the matrix expansion, the public key's hash and the
// message digest in its lanes, the challenge hash) with the arithmetic between them. The
// expansion alone misleads: on a processor whose eight lanes tie with four on the expansion,
// verification gains 8% at eight. All of it is public.
void lanes_work(const Kernels &k, uint32_t width) {
  const KernelsInThread use(k);
  if (!pinned.made) pinned.made = pinned_signature(pinned.keys_sig);
  const KeccakLanesInThread lanes(width);
  verify_any(nullptr, pinned.keys_sig, pinned.keys_sig + PK_BYTES, PINNED_MSG.data(), PINNED_MSG.size());
}

}  // namespace

namespace tavik {

void derive_t1_t0(uint32_t *t1, uint32_t *t0, uint32_t *t, NttVec A, uint32_t *s1) {
  const NttVec s1_ntt = polyvec_ntt(s1, L);
  for (uint32_t i = 0; i < K; ++i) derive_t_row(t1 + i * N, t0 + i * N, t + i * N, A.from(i * L), s1_ntt);
}

void derive_t_row(uint32_t *t1_row, uint32_t *t0_row, uint32_t *t_row, NttVec a_row, NttVec s1_ntt) {
  polyvec_mult_ntt(t0_row, a_row, L, s1_ntt, L);
  PolyVec_add(t_row, t_row, t0_row, 1);
  polyvec_power2round(t1_row, t0_row, t_row, 1);
}

uint32_t sign_candidate_ok(const uint32_t *v, const uint32_t *e, const uint32_t *w1) {
  return ct::mask_zero(poly_candidate_check(v, e, w1, R0_BOUND, CT0_BOUND));
}

int32_t sign_with_stats(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                        uint64_t *siglen, SignStats *stats) {
  ready();
  if (sk == nullptr || msg == nullptr || sig == nullptr || siglen == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!msglen_ok(msglen)) return TAVIK_ILLEGAL_PARAMETER;
  const int32_t result = sign_any(sk, msg, msglen, sig, stats, nullptr);
  if (result != TAVIK_OK) return result;
  *siglen = SIG_BYTES;
  return TAVIK_OK;
}

namespace {

// SHAKE256(pk || signature), 32 bytes, for the seed 1, 8, 15, ... and the message 0, 1, ..., 58.
constexpr uint8_t SELF_TEST_DIGEST[32] = {
    0xFF, 0xFF, 0xC6, 0x79, 0x89, 0xD2, 0x25, 0x1D, 0xA9, 0x83, 0xE4, 0x8C, 0xAF, 0xF1, 0x2B, 0x6F,
    0x5E, 0x54, 0xAF, 0x2C, 0xDE, 0x09, 0x4A, 0xD2, 0x4C, 0xB9, 0x16, 0xFE, 0xB7, 0x2D, 0x34, 0x60};

}  // namespace

bool self_test(const Kernels &k) {
  // The eight-state kernels first: the scheme's run below uses them only at that width.
  if (!keccak_lanes_check(k)) return false;
  const KernelsInThread use(k);
  uint8_t keys_sig[PK_BYTES + SIG_BYTES];
  uint8_t digest[32];
  if (!pinned_signature(keys_sig)) return false;
  if (verify_any(nullptr, keys_sig, keys_sig + PK_BYTES, PINNED_MSG.data(), PINNED_MSG.size()) != TAVIK_OK) return false;
  shake256(digest, sizeof digest, keys_sig, sizeof keys_sig);
  if (std::memcmp(digest, SELF_TEST_DIGEST, sizeof digest) != 0) return false;
  std::memcpy(pinned.keys_sig, keys_sig, sizeof keys_sig);  // for the lane width's measurement
  pinned.made = true;
  return true;
}

Backend active_backend() { return path_choose(self_test, lanes_work); }

const char *backend_reason() {
  ready();
  return path_reason();
}

uint32_t backend_lanes() {
  ready();
  return path_lanes();
}

const char *backend_lanes_reason() {
  ready();
  return path_lanes_reason();
}

uint32_t backend_arith_bits() {
  ready();
  return path_arith_bits();
}

const char *backend_arith_reason() {
  ready();
  return path_arith_reason();
}

int32_t sign_hedged_with(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, const uint8_t *rnd) {
  ready();
  if (sk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr || rnd == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  return sign_any(sk, msg, msglen, sig, nullptr, rnd);
}

}  // namespace tavik

namespace {

// Zeroes the stack keygen() and its callees used, as deep as the lane width in use takes them.
[[gnu::always_inline]] inline void scrub_after_keygen() {
  if (keccak_eight_lanes()) scrub_stack<KEYGEN_SCRUB_BYTES_EIGHT_LANES>();
  else scrub_stack<KEYGEN_SCRUB_BYTES>();
}

}  // namespace

extern "C" {

int32_t sig_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  ready();
  if (pk == nullptr || sk == nullptr || seed == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (keys_overlap(pk, sk)) return TAVIK_ILLEGAL_PARAMETER;
  keygen(pk, sk, seed);
  scrub_after_keygen();
  return TAVIK_OK;
}

int32_t sig_keygen(uint8_t *pk, uint8_t *sk) {
  ready();
  if (pk == nullptr || sk == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (keys_overlap(pk, sk)) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t seed[SEED_BYTES];
  if (!randombytes(seed, sizeof seed)) {
    secure_wipe(seed, sizeof seed);
    return TAVIK_NO_RANDOMNESS;
  }
  keygen(pk, sk, seed);
  secure_wipe(seed, sizeof seed);
  scrub_after_keygen();
  return TAVIK_OK;
}

int32_t sig_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, uint64_t *siglen) {
  return sign_with_stats(sk, msg, msglen, sig, siglen, nullptr);
}

int32_t sig_verf(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  ready();
  if (pk == nullptr || msg == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (!msglen_ok(msglen)) return TAVIK_ILLEGAL_PARAMETER;
  if (siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(nullptr, pk, sig, msg, msglen);
}

int32_t tavik_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_message(sk, msg, msglen, sig, false);
}

int32_t tavik_sign_hedged(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig) {
  ready();
  return sign_message(sk, msg, msglen, sig, true);
}

int32_t tavik_verify(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  ready();
  if (pk == nullptr || (msg == nullptr && msglen != 0) || sig == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  if (siglen != SIG_BYTES) return TAVIK_ILLEGAL_PARAMETER;
  return verify_any(nullptr, pk, sig, msg, msglen);
}

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

int32_t tavik_sign_init(tavik_sign_state *st, const uint8_t *sk) {
  ready();
  return sign_init(st, sk, false);
}

int32_t tavik_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk) {
  ready();
  return sign_init(st, sk, true);
}

int32_t tavik_sign_init_expanded(tavik_sign_state *st, const tavik_expanded_sk *xsk) {
  ready();
  return sign_init_expanded(st, xsk, false);
}

int32_t tavik_sign_init_expanded_hedged(tavik_sign_state *st, const tavik_expanded_sk *xsk) {
  ready();
  return sign_init_expanded(st, xsk, true);
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
  if (st == nullptr || pk == nullptr || in_state(pk, PK_BYTES, st)) return TAVIK_ILLEGAL_PARAMETER;
  uint8_t tr[CRH_BYTES];
  shake256(tr, CRH_BYTES, pk, PK_BYTES);
  VerifyStream *s = start_stream<VerifyStream, VERIFY_TAG>(st, static_cast<const ExpandedPk *>(nullptr), tr);
  std::memcpy(s->pk, pk, PK_BYTES);
  std::memcpy(s->tr, tr, CRH_BYTES);  // kept, so that the final call does not hash pk again
  return TAVIK_OK;
}

int32_t tavik_verify_init_expanded(tavik_verify_state *st, const tavik_expanded_pk *xpk) {
  ready();
  if (st == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  const ExpandedPk *x = intact_expanded_pk(xpk);
  if (x == nullptr) return TAVIK_ILLEGAL_PARAMETER;
  start_stream<VerifyStream, VERIFY_TAG>(st, x, x->key.tr);
  return TAVIK_OK;
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

}  // extern "C"
