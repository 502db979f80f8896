#include "signature.h"

#include <cstring>

#include "Polynomial.h"
#include "Rounding.h"
#include "fips202.h"
#include "io.h"
#include "params.h"
#include "randombytes.h"
#include "wipe.h"

using namespace tavik;

namespace {

constexpr int32_t kOk = TAVIK_OK;
constexpr int32_t kInvalid = TAVIK_INVALID_SIGNATURE;
constexpr int32_t kIllegal = TAVIK_ILLEGAL_PARAMETER;

// msglen in [1, MAX_MSG_BYTES], tested as one unsigned comparison.
bool msglen_ok(uint64_t msglen) { return msglen - 1 <= MAX_MSG_BYTES - 1; }

// Polynomial i of a vector.
uint32_t *poly(uint32_t *v, uint32_t i) { return v + i * N; }

// t0x = (t0 XOR 48) - t0 + Q: adding it to t0 flips bits 4 and 5 of the stored t0 modulo Q.
void perturb_t0(uint32_t *t0x, const uint32_t *t0) {
  for (uint32_t i = 0; i < K * N; ++i) t0x[i] = (t0[i] ^ 48u) - t0[i] + Q;
}

// Key pair from the 32-byte seed; pk and sk are non-null.
void keygen(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  uint8_t seedbuf[3 * SEED_BYTES];  // sampling seed, rho, key
  uint32_t A[K * L * N];
  uint32_t s1[L * N];
  uint32_t t[K * N];  // s2, then t = A*s1 + s2
  uint32_t t1[K * N];
  uint32_t t0[K * N];  // product scratch, then the low part of t

  std::memcpy(seedbuf, seed, SEED_BYTES);
  shake256(seedbuf, sizeof seedbuf, seedbuf, SEED_BYTES);
  const uint8_t *rho = seedbuf + SEED_BYTES;
  const uint8_t *key = seedbuf + 2 * SEED_BYTES;

  Generate_A(A, rho);
  PolyVec_uniform_eta(s1, seedbuf, 0, L, ETA);
  PolyVec_uniform_eta(t, seedbuf, int32_t(L), K, ETA);
  pack_sk1(sk, rho, key, s1, t);  // before s1 turns into NTT form and s2 into t

  int32_t a_flag = 1, s1_flag = 0;
  for (uint32_t i = 0; i < K; ++i) {
    PolyVec_mult(t0, A + i * L * N, &a_flag, L, s1, &s1_flag, L);
    PolyVec_add(poly(t, i), poly(t, i), t0, 1);
  }
  PolyVec_Power2Round(t1, t0, t);

  pack_pk(pk, rho, t1);
  shake256(sk + SK1_BYTES, CRH_BYTES, pk, PK_BYTES);  // tr of the finished public key
  pack_sk2(sk + SK1_BYTES, t0);

  secure_wipe(seedbuf, sizeof seedbuf);
  secure_wipe(s1, sizeof s1);
  secure_wipe(t, sizeof t);
  secure_wipe(t0, sizeof t0);
}

// Working storage of one signing call. Everything but A and the hash input (tr, message) is secret
// or reveals something of an abandoned attempt.
struct SignState {
  uint8_t seeds[2 * SEED_BYTES + CRH_BYTES];  // rho, key, mu: key || mu is the mask seed
  uint8_t hash_in[CRH_BYTES + MAX_MSG_BYTES];  // tr || message
  uint32_t A[K * L * N];
  uint32_t s1[L * N], s2[K * N], t0[K * N], t0x[K * N];
  uint32_t y[L * N], z[L * N];
  uint32_t w[K * N], w1[K * N], w0[K * N];
  uint32_t c[N], c_saved[N];
  uint32_t product[K * N];  // c*s1; then c*t0 polynomial by polynomial; finally the hint
  uint32_t ct0x[K * N];
  uint32_t candidate[N], r1[N], r0[N];
  uint8_t choice_flags[K];
  // Domain flags: s1 as a whole, s2, t0 and t0x per polynomial, each transformed on first use.
  int32_t s1_flag, s2_flag[K], t0_flag[K], t0x_flag[K];

  void wipe() {
    secure_wipe(seeds, sizeof seeds);
    secure_wipe(s1, sizeof s1);
    secure_wipe(s2, sizeof s2);
    secure_wipe(t0, sizeof t0);
    secure_wipe(t0x, sizeof t0x);
    secure_wipe(y, sizeof y);
    secure_wipe(z, sizeof z);
    secure_wipe(w, sizeof w);
    secure_wipe(w0, sizeof w0);
    secure_wipe(w1, sizeof w1);  // high parts and challenges of abandoned attempts
    secure_wipe(c, sizeof c);
    secure_wipe(c_saved, sizeof c_saved);
    secure_wipe(r1, sizeof r1);
    secure_wipe(product, sizeof product);
    secure_wipe(ct0x, sizeof ct0x);
    secure_wipe(candidate, sizeof candidate);
    secure_wipe(r0, sizeof r0);
  }
};

// One try of polynomial i with variant f (0: v = w0[i], e = c*t0[i]; 1: both shifted by c*t0x[i]).
// True when v keeps the high parts w1[i] with a small low part and e is small.
bool try_variant(SignState &st, uint32_t i, uint32_t f, int32_t *c_flag) {
  const uint32_t *v = poly(st.w0, i);
  if (f != 0) {
    PolyVec_mult(poly(st.ct0x, i), st.c, c_flag, 1, poly(st.t0x, i), &st.t0x_flag[i], 1);
    PolyVec_sub(st.candidate, poly(st.w0, i), poly(st.ct0x, i), 1);
    v = st.candidate;
  }
  PolyVec_decompose(st.r1, st.r0, v, 1);
  if (PolyVec_check_norm(st.r0, 1, R0_BOUND) != 0) return false;
  if (PolyVec_compare(st.r1, poly(st.w1, i), 1) != 0) return false;
  const uint32_t *e = poly(st.product, i);
  if (f != 0) {
    PolyVec_add(st.candidate, poly(st.product, i), poly(st.ct0x, i), 1);
    e = st.candidate;
  }
  return PolyVec_check_norm(e, 1, CT0_BOUND) == 0;
}

// Signs with the prepared state; returns after the first successful attempt.
void sign_attempts(SignState &st, uint8_t *sig, SignStats *stats) {
  const uint8_t *mask_seed = st.seeds + SEED_BYTES;  // key || mu
  const uint8_t *mu = st.seeds + 2 * SEED_BYTES;
  int32_t a_flag = 1;
  uint32_t nonce = 0;
  for (;;) {
    if (stats != nullptr) ++stats->attempts;
    PolyVec_uniform_gamma1m1(st.choice_flags, st.y, mask_seed, nonce);  // nonces nonce .. nonce + 3
    nonce += 4;
    PolyVec_assignment(st.z, st.y, L);
    int32_t y_flag = 0;
    for (uint32_t i = 0; i < K; ++i) PolyVec_mult(poly(st.w, i), st.A + i * L * N, &a_flag, L, st.y, &y_flag, L);
    PolyVec_decompose(st.w1, st.w0, st.w, K);
    challenge(st.c, mu, st.w1);
    PolyVec_assignment(st.c_saved, st.c, 1);
    int32_t c_flag = 0;

    PolyVec_mult(st.product, st.c, &c_flag, 1, st.s1, &st.s1_flag, L);
    PolyVec_add(st.z, st.z, st.product, L);
    PolyVec_freeze(st.z, L);
    if (PolyVec_check_norm(st.z, L, Z_BOUND) != 0) {
      if (stats != nullptr) ++stats->z_rejects;
      continue;
    }

    // Polynomial by polynomial: w0[i] = w[i] - c*s2[i] and product[i] = c*t0[i] are made only
    // when polynomial i is examined, so an abandoned attempt skips the products it never reads.
    bool accepted = true;
    for (uint32_t i = 0; i < K && accepted; ++i) {
      PolyVec_mult(st.candidate, st.c, &c_flag, 1, poly(st.s2, i), &st.s2_flag[i], 1);
      PolyVec_sub(poly(st.w0, i), poly(st.w, i), st.candidate, 1);
      PolyVec_mult(poly(st.product, i), st.c, &c_flag, 1, poly(st.t0, i), &st.t0_flag[i], 1);
      uint32_t f = st.choice_flags[i];
      if (try_variant(st, i, f, &c_flag)) continue;
      f = 1 - f;
      st.choice_flags[i] = uint8_t(f);
      accepted = try_variant(st, i, f, &c_flag);
    }
    if (!accepted) {
      if (stats != nullptr) ++stats->variant_rejects;
      continue;
    }

    for (uint32_t i = 0; i < K; ++i) {
      PolyVec_add(poly(st.w, i), poly(st.w0, i), poly(st.product, i), 1);  // the verifier's w'
      if (st.choice_flags[i] != 0) PolyVec_sub(poly(st.w0, i), poly(st.w0, i), poly(st.ct0x, i), 1);
    }
    if (PolyVec_make_hint(st.product, st.w, st.w0) > OMEGA) {
      if (stats != nullptr) ++stats->hint_rejects;
      continue;
    }
    pack_signature(sig, st.z, st.product, st.c_saved);  // z is still frozen from its norm check
    return;
  }
}

}  // namespace

namespace tavik {

int32_t sign_with_stats(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                        uint64_t *siglen, SignStats *stats) {
  if (sk == nullptr || msg == nullptr || sig == nullptr || siglen == nullptr) return kIllegal;
  if (!msglen_ok(msglen)) return kIllegal;

  SignState st;
  uint8_t *rho = st.seeds;
  uint8_t *key = st.seeds + SEED_BYTES;
  uint8_t *mu = st.seeds + 2 * SEED_BYTES;
  unpack_sk1(st.A, rho, key, st.s1, st.s2, sk);
  unpack_sk2(st.hash_in, st.t0, sk + SK1_BYTES);
  perturb_t0(st.t0x, st.t0);
  std::memcpy(st.hash_in + CRH_BYTES, msg, msglen);
  shake256(mu, CRH_BYTES, st.hash_in, CRH_BYTES + msglen);
  st.s1_flag = 0;
  for (uint32_t i = 0; i < K; ++i) st.s2_flag[i] = st.t0_flag[i] = st.t0x_flag[i] = 0;

  sign_attempts(st, sig, stats);
  *siglen = SIG_BYTES;
  st.wipe();
  return kOk;
}

}  // namespace tavik

extern "C" {

int32_t sig_keygen_from_seed(uint8_t *pk, uint8_t *sk, const uint8_t *seed) {
  if (pk == nullptr || sk == nullptr || seed == nullptr) return kIllegal;
  keygen(pk, sk, seed);
  return kOk;
}

int32_t sig_keygen(uint8_t *pk, uint8_t *sk) {
  if (pk == nullptr || sk == nullptr) return kIllegal;
  uint8_t seed[SEED_BYTES];
  randombytes(seed, sizeof seed);
  keygen(pk, sk, seed);
  secure_wipe(seed, sizeof seed);
  return kOk;
}

int32_t sig_sign(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig, uint64_t *siglen) {
  return sign_with_stats(sk, msg, msglen, sig, siglen, nullptr);
}

int32_t sig_verf(const uint8_t *pk, const uint8_t *sig, uint64_t siglen, const uint8_t *msg, uint64_t msglen) {
  if (pk == nullptr || msg == nullptr) return kIllegal;
  if (sig == nullptr) return kIllegal;
  if (!msglen_ok(msglen)) return kIllegal;
  if (siglen != SIG_BYTES) return kIllegal;

  uint32_t z[L * N], h[K * N], c[N];
  // The signature is judged before the matrix is expanded: a malformed one costs no SHAKE128.
  const int32_t non_canonical = unpack_signature(z, h, c, sig);
  if (PolyVec_check_norm(z, L, Z_BOUND) != 0) return kInvalid;
  uint32_t ones = 0;
  for (uint32_t i = 0; i < K * N; ++i) ones += h[i];
  if (ones > OMEGA) return kInvalid;
  if (non_canonical != 0) return kInvalid;

  uint8_t rho[SEED_BYTES];
  uint32_t A[K * L * N], t1[K * N];
  unpack_pk(A, rho, t1, pk);

  uint8_t hash_in[CRH_BYTES + MAX_MSG_BYTES];
  uint8_t mu[CRH_BYTES];
  shake256(hash_in, CRH_BYTES, pk, PK_BYTES);
  std::memcpy(hash_in + CRH_BYTES, msg, msglen);
  shake256(mu, CRH_BYTES, hash_in, CRH_BYTES + msglen);

  uint32_t w[K * N], product[K * N], c_saved[N], c_new[N];
  int32_t a_flag = 1, z_flag = 0, c_flag = 0, t1_flag = 0;
  for (uint32_t i = 0; i < K; ++i) PolyVec_mult(poly(w, i), A + i * L * N, &a_flag, L, z, &z_flag, L);
  PolyVec_assignment(c_saved, c, 1);
  PolyVec_mult(product, c, &c_flag, 1, t1, &t1_flag, K);
  PolyVec_sub(w, w, product, K);
  PolyVec_use_hint(product, h, w);  // w1'
  challenge(c_new, mu, product);
  return PolyVec_compare(c_new, c_saved, 1) == 0 ? kOk : kInvalid;
}

}  // extern "C"
