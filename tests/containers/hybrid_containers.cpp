// The hybrid pair's containers: every form round trips in DER and PEM, the pair's containers and
// the single scheme's refuse each other, and keys whose parts disagree are refused with their codes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tavik.h"
#include "tavik_der.h"
#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Pair {
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES], pk[TAVIK_HYBRID_PK_BYTES], sk[TAVIK_HYBRID_SK_BYTES];
  explicit Pair(uint8_t fill) {
    for (size_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(fill + 11 * i);
    EXPECT_EQ(tavik_hybrid_keygen_from_seed(pk, sk, seed), 0);
  }
};

Bytes el(uint8_t tag, const Bytes &c) {
  Bytes out{tag};
  if (c.size() >= 0x80) out.push_back(c.size() >= 0x100 ? 0x82 : 0x81);
  if (c.size() >= 0x100) out.push_back(uint8_t(c.size() >> 8));
  out.push_back(uint8_t(c.size()));
  out.insert(out.end(), c.begin(), c.end());
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes raw(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

// A PrivateKeyInfo of the pair by hand: version, the pair's identifier, the private key, a tail.
Bytes pkcs8(uint8_t version, const Bytes &priv, const Bytes &tail = {}) {
  uint8_t aid[64];
  size_t n = 0;
  EXPECT_EQ(tavik_hybrid_der_algorithm_identifier(aid, sizeof aid, &n), 0);
  return el(0x30, cat({{0x02, 0x01, version}, raw(aid, n), el(0x04, priv), tail}));
}

TEST(HybridContainers, EveryFormRoundTripsInDerAndPem) {
  const Pair k(1);
  uint8_t der[TAVIK_HYBRID_PKCS8_MAX_BYTES], pk[TAVIK_HYBRID_PK_BYTES];
  size_t n = 0;
  ASSERT_EQ(tavik_hybrid_pk_to_der(der, sizeof der, &n, k.pk), 0);
  EXPECT_EQ(n, size_t(TAVIK_HYBRID_SPKI_BYTES));
  ASSERT_EQ(tavik_hybrid_pk_from_der(pk, der, n), 0);
  EXPECT_EQ(std::memcmp(pk, k.pk, sizeof pk), 0);
  char pem[TAVIK_HYBRID_SK_PEM_MAX_BYTES];
  ASSERT_EQ(tavik_hybrid_pk_to_pem(pem, sizeof pem, &n, k.pk), 0);
  ASSERT_EQ(tavik_hybrid_pk_from_pem(pk, pem, n), 0);
  EXPECT_EQ(std::memcmp(pk, k.pk, sizeof pk), 0);

  for (const uint32_t want : {TAVIK_FORM_SEED, TAVIK_FORM_KEY, TAVIK_FORM_BOTH}) {
    const uint8_t *seed = want & TAVIK_FORM_SEED ? k.seed : nullptr, *key = want & TAVIK_FORM_KEY ? k.sk : nullptr;
    ASSERT_EQ(tavik_hybrid_sk_to_der(der, sizeof der, &n, seed, key), 0);
    if (want == TAVIK_FORM_BOTH) {
      EXPECT_EQ(n, size_t(TAVIK_HYBRID_PKCS8_MAX_BYTES));
    }
    uint8_t sk[TAVIK_HYBRID_SK_BYTES], s[TAVIK_HYBRID_SEED_BYTES] = {};
    uint32_t form = 0;
    ASSERT_EQ(tavik_hybrid_sk_from_der(sk, s, &form, der, n), 0) << want;
    EXPECT_EQ(form, want);
    EXPECT_EQ(std::memcmp(sk, k.sk, sizeof sk), 0);
    EXPECT_EQ(std::memcmp(s, seed ? k.seed : s, sizeof s), 0);
    size_t len = 0;
    ASSERT_EQ(tavik_hybrid_sk_to_pem(pem, sizeof pem, &len, seed, key), 0);
    std::memset(sk, 0, sizeof sk);
    ASSERT_EQ(tavik_hybrid_sk_from_pem(sk, nullptr, nullptr, pem, len), 0) << want;
    EXPECT_EQ(std::memcmp(sk, k.sk, sizeof sk), 0);
  }
}

TEST(HybridContainers, PairAndSingleKeysRefuseEachOther) {
  const Pair k(2);
  uint8_t seed[TAVIK_SEED_BYTES] = {9}, tpk[TAVIK_PK_BYTES], tsk[TAVIK_SK_BYTES];
  ASSERT_EQ(sig_keygen_from_seed(tpk, tsk, seed), 0);
  uint8_t pair_spki[TAVIK_HYBRID_SPKI_BYTES], pair_p8[TAVIK_HYBRID_PKCS8_MAX_BYTES];
  uint8_t one_spki[TAVIK_SPKI_MAX_BYTES], one_p8[TAVIK_PKCS8_MAX_BYTES];
  size_t ps = 0, pp = 0, os = 0, op = 0;
  ASSERT_EQ(tavik_hybrid_pk_to_der(pair_spki, sizeof pair_spki, &ps, k.pk), 0);
  ASSERT_EQ(tavik_hybrid_sk_to_der(pair_p8, sizeof pair_p8, &pp, k.seed, nullptr), 0);
  ASSERT_EQ(tavik_pk_to_der(one_spki, sizeof one_spki, &os, tpk), 0);
  ASSERT_EQ(tavik_sk_to_der(one_p8, sizeof one_p8, &op, seed, nullptr), 0);
  uint8_t out[TAVIK_HYBRID_SK_BYTES];
  // Both seed forms are 32 bytes: only the identifier tells a pair's seed from a single key's.
  EXPECT_EQ(tavik_pk_from_der(out, pair_spki, ps), TAVIK_DER_WRONG_ALGORITHM);
  EXPECT_EQ(tavik_sk_from_der(out, nullptr, nullptr, pair_p8, pp), TAVIK_DER_WRONG_ALGORITHM);
  EXPECT_EQ(tavik_hybrid_pk_from_der(out, one_spki, os), TAVIK_DER_WRONG_ALGORITHM);
  EXPECT_EQ(tavik_hybrid_sk_from_der(out, nullptr, nullptr, one_p8, op), TAVIK_DER_WRONG_ALGORITHM);
  char pem[TAVIK_SK_PEM_MAX_BYTES];
  size_t len = 0;
  ASSERT_EQ(tavik_sk_to_pem(pem, sizeof pem, &len, seed, nullptr), 0);
  EXPECT_EQ(tavik_hybrid_sk_from_pem(out, nullptr, nullptr, pem, len), TAVIK_DER_WRONG_ALGORITHM);
  ASSERT_EQ(tavik_hybrid_sk_to_pem(pem, sizeof pem, &len, k.seed, nullptr), 0);
  EXPECT_EQ(tavik_sk_from_pem(out, nullptr, nullptr, pem, len), TAVIK_DER_WRONG_ALGORITHM);
}

TEST(HybridContainers, KeysWhosePartsDisagreeAreRefused) {
  const Pair k(3), o(4);
  Bytes tavik_damaged = raw(k.sk, sizeof k.sk), ed_damaged = tavik_damaged;
  tavik_damaged[930] ^= 1;                                    // inside the tavik half's tr
  ed_damaged[TAVIK_HYBRID_SK_ED25519_PK_OFFSET + 5] ^= 1;     // the Ed25519 public key its seed does not make
  Bytes ed_seed = raw(k.sk, sizeof k.sk);
  ed_seed[TAVIK_HYBRID_SK_ED25519_SEED_OFFSET] ^= 1;          // the Ed25519 seed of another key
  const Bytes seed = raw(k.seed, sizeof k.seed), key = raw(k.sk, sizeof k.sk);
  const auto v1_pk = [](const uint8_t *pk) { return el(0x81, cat({{0}, raw(pk, TAVIK_HYBRID_PK_BYTES)})); };
  struct Case {
    const char *why;
    Bytes der;
    int32_t code;
  } cases[] = {
      {"the seed makes another key", pkcs8(0, el(0x30, cat({el(0x04, raw(o.seed, 32)), el(0x04, key)}))),
       TAVIK_DER_SEED_MISMATCH},
      {"the tavik half's hash is not its own", pkcs8(0, el(0x04, tavik_damaged)), TAVIK_DER_DAMAGED_KEY},
      {"the Ed25519 half's public key is not its seed's", pkcs8(0, el(0x04, ed_damaged)), TAVIK_DER_DAMAGED_KEY},
      {"the Ed25519 seed is not its public key's", pkcs8(0, el(0x04, ed_seed)), TAVIK_DER_DAMAGED_KEY},
      {"version 1 with another pair's public key", pkcs8(1, el(0x80, seed), v1_pk(o.pk)),
       TAVIK_DER_PUBLIC_KEY_MISMATCH},
      {"the single scheme's key size", pkcs8(0, el(0x04, Bytes(key.begin(), key.begin() + TAVIK_SK_BYTES))),
       TAVIK_DER_BAD_KEY_LENGTH},
  };
  for (const auto &c : cases) {
    uint8_t out[TAVIK_HYBRID_SK_BYTES], before[TAVIK_HYBRID_SK_BYTES];
    std::memset(out, 0xA5, sizeof out);
    std::memcpy(before, out, sizeof out);
    EXPECT_EQ(tavik_hybrid_sk_from_der(out, nullptr, nullptr, c.der.data(), c.der.size()), c.code) << c.why;
    EXPECT_EQ(std::memcmp(out, before, sizeof out), 0) << c.why << ": output written on refusal";
  }
  const Bytes v1 = pkcs8(1, el(0x80, seed), v1_pk(k.pk));
  uint8_t sk[TAVIK_HYBRID_SK_BYTES], der[TAVIK_HYBRID_PKCS8_MAX_BYTES];
  EXPECT_EQ(tavik_hybrid_sk_from_der(sk, nullptr, nullptr, v1.data(), v1.size()), 0) << "its own public key";
  size_t n = 0;
  EXPECT_EQ(tavik_hybrid_sk_to_der(der, sizeof der, &n, o.seed, k.sk), TAVIK_DER_SEED_MISMATCH);
}

}  // namespace
