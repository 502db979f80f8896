// The three calls of the scheme (declared for C in tavik.h) and the signing statistics.
#pragma once
#include <cstdint>

#include "cpu.h"
#include "tavik.h"

namespace tavik {

struct Kernels;
class NttVec;

// The scheme's check of a set of kernels, which a vector path passes before it is used: one key
// pair from a fixed seed, one signature and one verification made with k in use in the calling
// thread, their bytes compared with a pinned digest, after a check of the eight-state Keccak
// kernels against the four-state ones. True when every byte matches and the signature verifies.
bool self_test(const Kernels &k);
// The path the scheme runs on: chosen, with self_test, at the first call into the library or at
// the first call of either of these.
Backend active_backend();
// Why that path was chosen, in a few words (for the benchmark and the console).
const char *backend_reason();
// The width of the Keccak lanes the path hashes its scheduled SHAKE jobs on (4 or 8; 1 on the
// scalar path, which hashes one stream at a time), and why it was chosen (a measurement of both,
// or TAVIK_LANES).
uint32_t backend_lanes();
const char *backend_lanes_reason();
// The vector width in bits of the arithmetic kernels the path runs (32 scalar, 256 avx2, 256 or
// 512 avx512), and why (the path's only width, a measurement of both, or TAVIK_ARITH).
uint32_t backend_arith_bits();
const char *backend_arith_reason();

// Why signing attempts ended; filled by sign_with_stats.
struct SignStats {
  uint64_t attempts = 0;        // attempts made, the successful one included
  uint64_t z_rejects = 0;       // ended on the norm of z
  uint64_t variant_rejects = 0; // both candidates failed for some polynomial
  uint64_t hint_rejects = 0;    // more than 96 hint ones
  uint64_t second_variants = 0; // polynomials of the signature kept with their second candidate
  // Input: 0, or a number of attempts below MAX_SIGN_ATTEMPTS after which signing gives up
  // already (for self-tests, which should end quickly on faulty kernels).
  uint64_t max_attempts = 0;
  bool gave_up = false;
  // Input: sign a stored key as it stands, without the check that its parts agree (for the model's
  // comparison, which signs keys whose t0 it chose).
  bool unchecked_key = false;
};

// Every signing call gives up after this many attempts, writes no signature and returns
// TAVIK_SIGNING_FAILED.
constexpr uint64_t MAX_SIGN_ATTEMPTS = TAVIK_MAX_SIGN_ATTEMPTS;

// One candidate of one polynomial in signing: all ones when v keeps the high parts w1 with every
// centred low part below 2093728 and every centred coefficient of e is below 130976, else 0.
// Reads every coefficient.
uint32_t sign_candidate_ok(const uint32_t *v, const uint32_t *e, const uint32_t *w1);

// sig_sign with its attempt statistics added to *stats (stats may be null).
int32_t sign_with_stats(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                        uint64_t *siglen, SignStats *stats);

// Hedged signing of msg[0..msglen) with the TAVIK_HEDGE_BYTES at rnd in place of fresh random
// bytes: the seam that makes hedged signatures reproducible in tests. Arguments as tavik_sign.
int32_t sign_hedged_with(const uint8_t *sk, const uint8_t *msg, uint64_t msglen, uint8_t *sig,
                         const uint8_t *rnd);

// The public key's t1 and the secret key's t0 from A (K*L polynomials in NTT form, only read), s1
// (L polynomials in ordinary form, below 2Q; left in NTT form) and s2: t = A*s1 + s2, split by
// Power2Round into t1 in [0, 511] and t0 = Q + r, r in [-4095, 4096]. t holds s2 on entry and t
// on return; t0 is also the products' scratch. For key generation and tavik_pk_from_sk.
void derive_t1_t0(uint32_t *t1, uint32_t *t0, uint32_t *t, NttVec A, uint32_t *s1);
// One row of that: t_row (s2's row on entry) += a_row * s1 (L polynomials each, NTT form), then
// split into t1_row and t0_row (also the product's scratch).
void derive_t_row(uint32_t *t1_row, uint32_t *t0_row, uint32_t *t_row, NttVec a_row, NttVec s1_ntt);

// True when the secret key's stored hash of its public key and stored t0 are those rebuilt from
// its rho, s1 and s2 (the check of tavik_pk_from_sk). Leaves its secrets on the stack below the
// caller, which must scrub it.
bool secret_key_intact(const uint8_t *sk);
// The same check for signing, which has A (in NTT form) expanded from the key's rho and s1 and s2
// unpacked (ordinary form; only read): t = A*s1 + s2 rebuilt, the hash of its public key compared
// with the stored tr and its t0 with the stored t0, in constant time; only the verdict is public.
// A key whose SK_BYTES at sk have the check value of a key found intact so before in this process
// (key_check.h: stored_key_seen) is taken as intact without the rebuild; a key found intact is
// remembered so. Not inlined; it wipes its secrets.
[[gnu::noinline]] bool stored_key_agrees(const uint8_t *sk, NttVec A, const uint32_t *s1, const uint32_t *s2);

}  // namespace tavik
