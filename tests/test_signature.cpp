// Key generation, signing and verification end to end: round trips, determinism, the structure
// of keys, the argument contract, and rejection of every kind of tampering.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fips202.h"
#include "io.h"
#include "kernels.h"
#include "params.h"
#include "shake_lanes.h"
#include "signature.h"
#include "zero_seed_answer.h"

using namespace tavik;

namespace {

using Pk = std::array<uint8_t, PK_BYTES>;
using Sk = std::array<uint8_t, SK_BYTES>;
using Sig = std::array<uint8_t, SIG_BYTES>;

struct KeyPair {
  Pk pk;
  Sk sk;
};

KeyPair keys_from(uint8_t seed_byte) {
  uint8_t seed[SEED_BYTES];
  for (size_t i = 0; i < SEED_BYTES; ++i) seed[i] = uint8_t(seed_byte + 31 * i);
  KeyPair kp;
  EXPECT_EQ(sig_keygen_from_seed(kp.pk.data(), kp.sk.data(), seed), 0);
  return kp;
}

std::vector<uint8_t> message(size_t len, uint8_t salt) {
  std::vector<uint8_t> m(len);
  for (size_t i = 0; i < len; ++i) m[i] = uint8_t(i * 131 + salt * 7 + (i >> 8));
  return m;
}

Sig sign(const KeyPair &kp, const std::vector<uint8_t> &m) {
  Sig sig;
  uint64_t siglen = 0;
  EXPECT_EQ(sig_sign(kp.sk.data(), m.data(), m.size(), sig.data(), &siglen), 0);
  EXPECT_EQ(siglen, SIG_BYTES);
  return sig;
}

int verify(const Pk &pk, const Sig &sig, const std::vector<uint8_t> &m) {
  return sig_verf(pk.data(), sig.data(), sig.size(), m.data(), m.size());
}

}  // namespace

TEST(Signature, RoundTripsOverMessageLengthsAndKeyPairs) {
  for (uint8_t k = 0; k < 3; ++k) {
    const KeyPair kp = keys_from(k);
    for (size_t len : {1, 2, 59, 135, 136, 137, 3299, 3300}) {
      const auto m = message(len, k);
      const Sig sig = sign(kp, m);
      EXPECT_EQ(verify(kp.pk, sig, m), 0) << "key " << int(k) << " length " << len;
    }
  }
}

TEST(Signature, SigningIsDeterministicAndKeysFollowTheSeed) {
  const KeyPair a = keys_from(9), b = keys_from(9), other = keys_from(10);
  EXPECT_EQ(a.pk, b.pk);
  EXPECT_EQ(a.sk, b.sk);
  EXPECT_NE(a.pk, other.pk);
  const auto m = message(59, 1);
  EXPECT_EQ(sign(a, m), sign(b, m));
}

// Bytes pinned from the first build of the scheme; every compiler, flag set, vector path and
// width of the Keccak lanes must reproduce them, since other implementations are checked against
// these keys and signatures. TAVIK_LANES=4 or 8, when set, is the width a path with lanes took.
TEST(Signature, KnownAnswerForZeroSeed) {
  const char *forced = std::getenv("TAVIK_LANES");
  if (forced != nullptr && (std::string(forced) == "4" || std::string(forced) == "8") && kernels().four_streams) {
    EXPECT_EQ(backend_lanes(), uint32_t(std::atoi(forced)));
    EXPECT_STREQ(backend_lanes_reason(), "requested by TAVIK_LANES");
  }
  const uint32_t chosen = backend_lanes();
  for (uint32_t width : {4u, 8u}) {
    keccak_lanes_use(width);
    ASSERT_EQ(keccak_lanes().width, width);
    zero_seed_answer::expect(std::to_string(width) + " lanes");
  }
  keccak_lanes_use(chosen);
}

TEST(Signature, KeyStructure) {
  const KeyPair kp = keys_from(3);
  EXPECT_EQ(0, std::memcmp(kp.pk.data(), kp.sk.data(), SEED_BYTES)) << "rho in both keys";
  uint8_t tr[CRH_BYTES];
  shake256(tr, sizeof tr, kp.pk.data(), PK_BYTES);
  EXPECT_EQ(0, std::memcmp(tr, kp.sk.data() + SK1_BYTES, CRH_BYTES)) << "tr = SHAKE256(pk)";

  uint32_t t1[N];
  for (uint32_t i = 0; i < K; ++i) {
    decompress(t1, kp.pk.data() + SEED_BYTES + i * POLY_T1_BYTES, IO_T1);
    for (uint32_t c : t1) {
      ASSERT_EQ(c % 8192, 0u);
      ASSERT_LE(c / 8192, 511u);
    }
  }
  uint8_t tr_copy[CRH_BYTES];
  uint32_t t0[K * N];
  unpack_sk2(tr_copy, t0, kp.sk.data() + SK1_BYTES);
  for (uint32_t c : t0) {
    ASSERT_GE(c, Q - 4095);
    ASSERT_LE(c, Q + 4096);
  }
  // The random key generation gives a different pair each time.
  KeyPair r1, r2;
  ASSERT_EQ(sig_keygen(r1.pk.data(), r1.sk.data()), 0);
  ASSERT_EQ(sig_keygen(r2.pk.data(), r2.sk.data()), 0);
  EXPECT_NE(r1.pk, r2.pk);
  EXPECT_NE(r1.sk, r2.sk);
}

// Every illegal argument gives -2 and leaves every output byte as it was.
TEST(Signature, IllegalArgumentsWriteNothing) {
  const KeyPair kp = keys_from(4);
  const auto m = message(64, 0);
  const Sig good = sign(kp, m);

  Pk pk;
  Sk sk;
  pk.fill(0xA5);
  sk.fill(0x5A);
  uint8_t seed[SEED_BYTES] = {};
  EXPECT_EQ(sig_keygen(nullptr, sk.data()), -2);
  EXPECT_EQ(sig_keygen(pk.data(), nullptr), -2);
  EXPECT_EQ(sig_keygen(nullptr, nullptr), -2);
  EXPECT_EQ(sig_keygen_from_seed(pk.data(), sk.data(), nullptr), -2);
  EXPECT_EQ(sig_keygen_from_seed(nullptr, sk.data(), seed), -2);
  EXPECT_EQ(sig_keygen_from_seed(pk.data(), nullptr, seed), -2);
  for (uint8_t b : pk) ASSERT_EQ(b, 0xA5);
  for (uint8_t b : sk) ASSERT_EQ(b, 0x5A);

  struct SignCase {
    const uint8_t *sk;
    const uint8_t *msg;
    uint64_t len;
    bool sig;
    bool siglen;
  };
  const SignCase sign_cases[] = {
      {nullptr, m.data(), 64, true, true},      {kp.sk.data(), nullptr, 64, true, true},
      {kp.sk.data(), m.data(), 64, false, true}, {kp.sk.data(), m.data(), 64, true, false},
      {kp.sk.data(), m.data(), 0, true, true},  {kp.sk.data(), m.data(), 3301, true, true},
      {kp.sk.data(), m.data(), UINT64_MAX, true, true},
  };
  for (const auto &c : sign_cases) {
    Sig sig;
    sig.fill(0x33);
    uint64_t siglen = 77;
    EXPECT_EQ(sig_sign(c.sk, c.msg, c.len, c.sig ? sig.data() : nullptr, c.siglen ? &siglen : nullptr), -2);
    for (uint8_t b : sig) ASSERT_EQ(b, 0x33);
    EXPECT_EQ(siglen, 77u);
  }

  std::vector<uint8_t> big(3301, 1);
  EXPECT_EQ(sig_verf(nullptr, good.data(), SIG_BYTES, m.data(), 64), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), SIG_BYTES, nullptr, 64), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), nullptr, SIG_BYTES, m.data(), 64), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), SIG_BYTES, m.data(), 0), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), SIG_BYTES, big.data(), 3301), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), SIG_BYTES - 1, m.data(), 64), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), SIG_BYTES + 1, m.data(), 64), -2);
  EXPECT_EQ(sig_verf(kp.pk.data(), good.data(), 0, m.data(), 64), -2);
  EXPECT_EQ(verify(kp.pk, good, m), 0);

  // The extreme legal lengths are accepted.
  for (size_t len : {size_t(1), size_t(3300)}) {
    const auto mm = message(len, 2);
    EXPECT_EQ(verify(kp.pk, sign(kp, mm), mm), 0);
  }
}

// Overlapping key buffers are refused with nothing written; adjacent ones are fine, and the seed
// may lie inside either key buffer.
TEST(Signature, OverlappingKeyBuffersAreRefused) {
  const KeyPair want = keys_from(3);
  uint8_t seed[SEED_BYTES];
  for (size_t i = 0; i < SEED_BYTES; ++i) seed[i] = uint8_t(3 + 31 * i);
  struct Case {
    ptrdiff_t sk_from_pk;
    int32_t result;
  };
  const Case cases[] = {{-ptrdiff_t(SK_BYTES) + 1, -2}, {-1, -2}, {0, -2}, {1, -2}, {ptrdiff_t(PK_BYTES) - 1, -2},
                        {-ptrdiff_t(SK_BYTES), 0},      {ptrdiff_t(PK_BYTES), 0}};
  for (const Case &c : cases) {
    std::vector<uint8_t> buf(2 * (PK_BYTES + SK_BYTES), 0x77);
    uint8_t *pk = buf.data() + SK_BYTES + 8;
    uint8_t *sk = pk + c.sk_from_pk;
    if (c.result == 0) {
      std::memcpy(sk + 100, seed, SEED_BYTES);  // the seed inside the secret-key buffer
      ASSERT_EQ(sig_keygen_from_seed(pk, sk, sk + 100), 0) << c.sk_from_pk;
      EXPECT_EQ(0, std::memcmp(pk, want.pk.data(), PK_BYTES)) << c.sk_from_pk;
      EXPECT_EQ(0, std::memcmp(sk, want.sk.data(), SK_BYTES)) << c.sk_from_pk;
      continue;
    }
    EXPECT_EQ(sig_keygen_from_seed(pk, sk, seed), -2) << c.sk_from_pk;
    EXPECT_EQ(sig_keygen(pk, sk), -2) << c.sk_from_pk;
    for (uint8_t b : buf) ASSERT_EQ(b, 0x77) << c.sk_from_pk;
  }
}

// A signature that differs from a valid one in any single bit is refused: there is exactly one
// accepted encoding per signature.
TEST(Signature, EverySingleBitFlipOfASignatureIsRefused) {
  const KeyPair kp = keys_from(5);
  const auto m = message(59, 5);
  Sig sig = sign(kp, m);
  for (size_t byte = 0; byte < SIG_BYTES; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      sig[byte] ^= uint8_t(1 << bit);
      ASSERT_EQ(verify(kp.pk, sig, m), 1) << "byte " << byte << " bit " << bit;
      sig[byte] ^= uint8_t(1 << bit);
    }
  }
  EXPECT_EQ(verify(kp.pk, sig, m), 0);
}

TEST(Signature, TamperedKeyMessageOrKeyPairIsRefused) {
  const KeyPair kp = keys_from(6), other = keys_from(7);
  const auto m = message(137, 6);
  const Sig sig = sign(kp, m);

  for (size_t off = 0; off < PK_BYTES; off += 7) {
    Pk pk = kp.pk;
    pk[off] ^= uint8_t(1 + off % 255);
    ASSERT_EQ(verify(pk, sig, m), 1) << "public key byte " << off;
  }
  for (size_t off = 0; off < m.size(); ++off) {
    auto mm = m;
    mm[off] ^= 0x80;
    ASSERT_EQ(verify(kp.pk, sig, mm), 1) << "message byte " << off;
  }
  auto shorter = m, longer = m;
  shorter.pop_back();
  longer.push_back(0);
  EXPECT_EQ(verify(kp.pk, sig, shorter), 1);
  EXPECT_EQ(verify(kp.pk, sig, longer), 1);
  EXPECT_EQ(verify(other.pk, sig, m), 1);
}

// One-shot verification at four lanes has two forms: the public key's and the message's hashes
// beside the rows of the matrix, or in the lanes of its expansion (Kernels::side_hashes_in_lanes,
// picked by the path's table). Each must give every verdict the other does, on any path; four lanes
// are set for the test, since at eight neither form runs.
TEST(Signature, BothVerificationFormsGiveTheSameVerdicts) {
  const KeyPair kp = keys_from(9);
  const auto short_m = message(59, 9), long_m = message(3300, 9);  // a digest too long to finish beside
  const Sig s = sign(kp, short_m), sl = sign(kp, long_m);
  struct Case {
    const char *why;
    Sig sig;
    const std::vector<uint8_t> &m;
    int verdict;
  };
  std::vector<Case> cases = {{"valid", s, short_m, 0}, {"valid, long message", sl, long_m, 0},
                             {"signed another message (must fail)", s, long_m, 1}};
  for (size_t off : {size_t(3), size_t(700), size_t(2000), SIG_BYTES - 2}) {
    cases.push_back({"a flipped bit (must fail)", s, short_m, 1});
    cases.back().sig[off] ^= 0x10;
  }
  const KeccakLanesInThread four(4);
  for (bool in_lanes : {false, true}) {
    Kernels k = kernels();
    k.side_hashes_in_lanes = in_lanes;
    const KernelsInThread use(k);
    for (const Case &c : cases) EXPECT_EQ(verify(kp.pk, c.sig, c.m), c.verdict) << c.why << ", in lanes " << in_lanes;
  }
}

// Fields verification must turn away before any hashing: z at its bound, too many hint ones.
TEST(Signature, OversizedResponseOrHintIsRefused) {
  const KeyPair kp = keys_from(8);
  const auto m = message(59, 8);
  const Sig good = sign(kp, m);
  uint32_t z[L * N], h[K * N], c[N];
  ASSERT_EQ(unpack_signature(z, h, c, good.data()), 0);

  for (uint32_t bad : {Q + Z_BOUND, Q - Z_BOUND}) {
    uint32_t zz[L * N];
    std::memcpy(zz, z, sizeof zz);
    zz[100] = bad;
    Sig sig = good;
    pack_z(sig.data(), zz);
    EXPECT_EQ(verify(kp.pk, sig, m), 1);
  }
  // A hint field whose counts claim 97 ones: 20 per polynomial, 17 in the last.
  Sig sig = good;
  uint8_t *field = sig.data() + SIG_Z_BYTES;
  for (uint32_t j = 0; j < OMEGA; ++j) field[j] = uint8_t(j % 20);
  const uint8_t counts[K] = {20, 40, 60, 80, 97};
  std::memcpy(field + OMEGA, counts, K);
  EXPECT_EQ(verify(kp.pk, sig, m), 1);
}

// The mean number of attempts is close to 3.5 and every attempt ends for one counted reason.
TEST(Signature, SigningAttemptStatistics) {
  const KeyPair kp = keys_from(11);
  SignStats stats;
  const int signatures = 500;
  for (int i = 0; i < signatures; ++i) {
    const auto m = message(59, uint8_t(i));
    Sig sig;
    uint64_t siglen = 0;
    ASSERT_EQ(sign_with_stats(kp.sk.data(), m.data(), m.size(), sig.data(), &siglen, &stats), 0);
  }
  const double mean = double(stats.attempts) / signatures;
  EXPECT_GT(mean, 2.5);
  EXPECT_LT(mean, 4.5);
  EXPECT_EQ(stats.attempts, signatures + stats.z_rejects + stats.variant_rejects + stats.hint_rejects);
  std::printf("mean attempts %.3f: z %.1f%%, variants %.1f%%, hint %.2f%% of attempts\n", mean,
              100.0 * stats.z_rejects / stats.attempts, 100.0 * stats.variant_rejects / stats.attempts,
              100.0 * stats.hint_rejects / stats.attempts);
}
