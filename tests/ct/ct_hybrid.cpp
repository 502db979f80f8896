// Constant-time check of the hybrid library (tests/ct_check.cpp says how the check works): the
// seed of a hybrid key pair, the secret fields of both halves of its secret key and the hedge's
// random bytes are marked secret; every key generation and signing call must then come out with
// public keys and signatures, and the tool reports any branch or memory index computed from a
// secret. Under valgrind libsodium's Ed25519 is followed too; under MemorySanitizer it is not
// instrumented, and the hybrid code marks what it writes (hybrid/halves.cpp). One run, on the
// process's own path.
#include <cstdio>
#include <cstring>

#include "ct.h"
#include "params.h"
#include "randombytes_seam.h"
#include "tavik_hybrid.h"

using namespace tavik;

namespace {

int failures = 0;

void expect(bool ok, const char *what) {
  if (!ok) {
    std::printf("ct_hybrid: %s\n", what);
    ++failures;
  }
}

long secret_getrandom(long number, void *buf, size_t len, unsigned flags) {
  const long got = real_syscall3(number, buf, len, flags);
  if (got > 0) TAVIK_SECRET(buf, size_t(got));
  return got;
}

// A hybrid secret key as stored: the tavik half's key, s1, s2 and t0 secret, rho and tr public;
// the Ed25519 seed secret, its public key public.
void mark_stored_key(uint8_t *sk) {
  TAVIK_DECLASSIFY(sk, TAVIK_HYBRID_SK_BYTES);
  TAVIK_SECRET(sk + SEED_BYTES, SK1_BYTES - SEED_BYTES);
  TAVIK_SECRET(sk + SK1_BYTES + CRH_BYTES, SK_BYTES - SK1_BYTES - CRH_BYTES);
  TAVIK_SECRET(sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET, TAVIK_HYBRID_ED25519_SEED_BYTES);
}

// Every signing form under sk, each signature public and valid.
void sign_everywhere(const uint8_t *pk, const uint8_t *sk) {
  static uint8_t sig[TAVIK_HYBRID_SIG_BYTES], msg[59];
  static const uint8_t ctx[3] = {'c', 't', 'x'};
  static tavik_hybrid_sign_state st;
  for (size_t i = 0; i < sizeof msg; ++i) msg[i] = uint8_t(i);
  const auto check = [&](int32_t r, const char *what) {
    expect(r == 0, what);
    TAVIK_EXPECT_PUBLIC(sig, sizeof sig);
    expect(tavik_hybrid_verify(pk, ctx, sizeof ctx, sig, sizeof sig, msg, sizeof msg) == 0, what);
  };
  for (int m = 0; m < 4; ++m) {
    msg[0] = uint8_t(m);
    check(tavik_hybrid_sign(sk, ctx, sizeof ctx, msg, sizeof msg, sig), "tavik_hybrid_sign");
    check(tavik_hybrid_sign_deterministic(sk, ctx, sizeof ctx, msg, sizeof msg, sig), "tavik_hybrid_sign_deterministic");
  }
  using Init = int32_t (*)(tavik_hybrid_sign_state *, const uint8_t *, const uint8_t *, uint64_t);
  for (Init init : {Init(tavik_hybrid_sign_init), Init(tavik_hybrid_sign_init_deterministic)}) {
    expect(init(&st, sk, ctx, sizeof ctx) == 0, "streaming init");
    expect(tavik_hybrid_sign_update(&st, msg, 10) == 0 && tavik_hybrid_sign_update(&st, msg + 10, sizeof msg - 10) == 0,
           "streaming update");
    check(tavik_hybrid_sign_final(&st, sig), "streaming final");
  }
  static uint8_t pk2[TAVIK_HYBRID_PK_BYTES];
  expect(tavik_hybrid_pk_from_sk(pk2, sk) == 0, "tavik_hybrid_pk_from_sk");
  TAVIK_EXPECT_PUBLIC(pk2, sizeof pk2);
  expect(std::memcmp(pk, pk2, sizeof pk2) == 0, "the rebuilt public key differs");
}

}  // namespace

int main() {
  static uint8_t pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES], pk2[TAVIK_HYBRID_PK_BYTES],
      sk2[TAVIK_HYBRID_SK_BYTES];
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES];
  for (size_t j = 0; j < sizeof seed; ++j) seed[j] = uint8_t(7 * j + 1);
  TAVIK_SECRET(seed, sizeof seed);
  expect(tavik_hybrid_keygen_from_seed(pk, sk, seed) == 0, "key generation from a seed");
  TAVIK_EXPECT_PUBLIC(pk, sizeof pk);
  mark_stored_key(sk);
  randombytes_platform.syscall3 = secret_getrandom;
  sign_everywhere(pk, sk);

  // A pair joined from its two halves' keys, and one from the random source.
  expect(tavik_hybrid_keygen_from_keys(pk2, sk2, pk, sk, pk + TAVIK_PK_BYTES, sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET) == 0,
         "key pair from two keys");
  TAVIK_EXPECT_PUBLIC(pk2, sizeof pk2);
  expect(tavik_hybrid_keygen(pk2, sk2) == 0, "key generation from the random source");
  TAVIK_EXPECT_PUBLIC(pk2, sizeof pk2);
  mark_stored_key(sk2);
  sign_everywhere(pk2, sk2);
  randombytes_seam_reset();
  std::printf("ct_hybrid: %s\n", failures == 0 ? "done" : "FAILED");
  return failures == 0 ? 0 : 1;
}
