// Key generation: the key pair of a seed, the public key's rows and their hash made as the
// matrix is expanded.
#include <cstring>

#include "Polynomial.h"
#include "Rounding.h"
#include "ct.h"
#include "fips202.h"
#include "fips202x4.h"
#include "io.h"
#include "params.h"
#include "scheme.h"
#include "shake_lanes.h"
#include "signature.h"

namespace tavik {

using scheme::poly;

namespace {

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

}  // namespace

void derive_t1_t0(uint32_t *t1, uint32_t *t0, uint32_t *t, NttVec A, uint32_t *s1) {
  const NttVec s1_ntt = polyvec_ntt(s1, L);
  for (uint32_t i = 0; i < K; ++i) derive_t_row(t1 + i * N, t0 + i * N, t + i * N, A.from(i * L), s1_ntt);
}

void derive_t_row(uint32_t *t1_row, uint32_t *t0_row, uint32_t *t_row, NttVec a_row, NttVec s1_ntt) {
  polyvec_mult_ntt(t0_row, a_row, L, s1_ntt, L);
  PolyVec_add(t_row, t_row, t0_row, 1);
  polyvec_power2round(t1_row, t0_row, t_row, 1);
}

namespace scheme {

// Not inlined: its frame lies in what the caller's scrub_stack() zeroes.
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

}  // namespace scheme

}  // namespace tavik
