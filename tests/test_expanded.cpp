// Expanded keys: the same signatures and verdicts as the calls that start from key bytes, the same
// expanded bytes on every path, and wiping.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fips202.h"
#include "io.h"
#include "params.h"
#include "tavik.h"

using namespace tavik;

namespace {

using Sig = std::array<uint8_t, SIG_BYTES>;

struct Keys {
  uint8_t pk[PK_BYTES], sk[SK_BYTES];
  tavik_expanded_sk xsk;
  tavik_expanded_pk xpk;
};

// Expanded keys are large; the tests keep them off the stack.
std::unique_ptr<Keys> keys_from(const uint8_t *seed) {
  auto k = std::make_unique<Keys>();
  EXPECT_EQ(sig_keygen_from_seed(k->pk, k->sk, seed), 0);
  EXPECT_EQ(tavik_expand_sk(&k->xsk, k->sk), 0);
  EXPECT_EQ(tavik_expand_pk(&k->xpk, k->pk), 0);
  return k;
}

std::unique_ptr<Keys> random_keys(std::mt19937_64 &rng) {
  uint8_t seed[SEED_BYTES];
  for (auto &b : seed) b = uint8_t(rng());
  return keys_from(seed);
}

template <typename T>
std::string digest(const T &x) {
  uint8_t d[16];
  shake256(d, sizeof d, reinterpret_cast<const uint8_t *>(&x), sizeof x);
  std::string s;
  for (uint8_t b : d) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
  return s;
}

// Malformed signatures the strict rules refuse, each made from a valid one.
const std::vector<std::pair<const char *, std::function<void(Sig &)>>> &tampers() {
  static const std::vector<std::pair<const char *, std::function<void(Sig &)>>> t = {
      {"first z byte", [](Sig &s) { s[0] ^= 1; }},
      {"last z byte", [](Sig &s) { s[SIG_Z_BYTES - 1] ^= 0x80; }},
      {"z at its bound",
       [](Sig &s) {
         uint32_t z[L * N], h[K * N], c[N];
         unpack_signature(z, h, c, s.data());
         z[7] = Q - Z_BOUND;
         pack_z(s.data(), z);
       }},
      {"97 hint ones", [](Sig &s) { s[SIG_Z_BYTES + OMEGA + K - 1] = OMEGA + 1; }},
      {"decreasing hint counts", [](Sig &s) { s[SIG_Z_BYTES + OMEGA] = OMEGA; }},
      {"unused hint position set", [](Sig &s) { s[SIG_Z_BYTES + OMEGA - 1] ^= 1; }},
      {"challenge flag", [](Sig &s) { s[SIG_Z_BYTES + H_BYTES] ^= 1; }},
      {"challenge sign above its count", [](Sig &s) { s[SIG_BYTES - 1] ^= 0x08; }},
      {"challenge sign", [](Sig &s) { s[SIG_BYTES - 8] ^= 1; }},
  };
  return t;
}

}  // namespace

// The expanded keys are the same bytes on every path (every path's run checks the same digests),
// so a key expanded on one path signs and verifies on any other; signing leaves the key unchanged.
// The digests follow the private layout of the expanded keys and change with it, never with the path.
TEST(Expanded, KeysAreTheSameBytesOnEveryPath) {
  const uint8_t seed[SEED_BYTES] = {};
  const auto k = keys_from(seed);
  EXPECT_EQ(digest(k->xsk), "418433477862b1bcd4c571aa3dc6884c");
  EXPECT_EQ(digest(k->xpk), "48897d0a8464b4ae9cc9d2205b856eb9");
  Sig sig;
  const uint8_t msg[3] = {'a', 'b', 'c'};
  const std::string before = digest(k->xsk);
  ASSERT_EQ(tavik_sign_expanded(&k->xsk, msg, sizeof msg, sig.data()), 0);
  EXPECT_EQ(digest(k->xsk), before);
  EXPECT_EQ(digest(sig), "ab08f5d664e1568026b0ae8e326ee9aa");  // sig_sign's pinned signature
}

// Over random keys and lengths 0 to 3300, the expanded calls give the bytes and verdicts of
// tavik_sign and tavik_verify, one shot and streamed, for valid and malformed signatures.
TEST(Expanded, SameSignaturesAndVerdicts) {
  std::mt19937_64 rng(11);
  std::vector<size_t> lengths = {0, 1, 88, 3300};
  for (int i = 0; i < 16; ++i) lengths.push_back(rng() % 3301);
  const auto other = random_keys(rng);
  for (size_t len : lengths) {
    const auto k = random_keys(rng);
    std::vector<uint8_t> m(len);
    for (auto &b : m) b = uint8_t(rng());
    Sig want, got, streamed;
    ASSERT_EQ(tavik_sign(k->sk, m.data(), len, want.data()), 0);
    ASSERT_EQ(tavik_sign_expanded(&k->xsk, m.data(), len, got.data()), 0);
    ASSERT_EQ(want, got) << "length " << len;

    tavik_sign_state ss;
    tavik_verify_state vs;
    const size_t cut = len ? rng() % len : 0;
    ASSERT_EQ(tavik_sign_init_expanded(&ss, &k->xsk), 0);
    ASSERT_EQ(tavik_sign_update(&ss, m.data(), cut), 0);
    ASSERT_EQ(tavik_sign_update(&ss, m.data() + cut, len - cut), 0);
    ASSERT_EQ(tavik_sign_final(&ss, streamed.data()), 0);
    EXPECT_EQ(want, streamed);
    ASSERT_EQ(tavik_verify_init_expanded(&vs, &k->xpk), 0);
    ASSERT_EQ(tavik_verify_update(&vs, m.data(), len), 0);
    EXPECT_EQ(tavik_verify_final(&vs, want.data(), SIG_BYTES), 0);

    EXPECT_EQ(tavik_verify_expanded(&k->xpk, want.data(), SIG_BYTES, m.data(), len), 0);
    EXPECT_EQ(tavik_verify_expanded(&other->xpk, want.data(), SIG_BYTES, m.data(), len), 1);
    if (len > 0) {
      m[rng() % len] ^= 4;
      EXPECT_EQ(tavik_verify_expanded(&k->xpk, want.data(), SIG_BYTES, m.data(), len), 1);
      m.pop_back();
      EXPECT_EQ(tavik_verify_expanded(&k->xpk, want.data(), SIG_BYTES, m.data(), len - 1),
                tavik_verify(k->pk, want.data(), SIG_BYTES, m.data(), len - 1));
    }
  }
  const auto k = random_keys(rng);
  const uint8_t m[59] = {1};
  Sig good;
  ASSERT_EQ(tavik_sign(k->sk, m, sizeof m, good.data()), 0);
  for (const auto &[name, tamper] : tampers()) {
    Sig bad = good;
    tamper(bad);
    EXPECT_EQ(tavik_verify(k->pk, bad.data(), SIG_BYTES, m, sizeof m), 1) << name;
    EXPECT_EQ(tavik_verify_expanded(&k->xpk, bad.data(), SIG_BYTES, m, sizeof m), 1) << name;
  }
}

// Wiping zeroes every byte; a wiped or never-expanded key and null arguments give -2 and nothing
// is written; a key wiped under a running state makes its final call fail.
TEST(Expanded, WipeAndIllegalArguments) {
  const uint8_t seed[SEED_BYTES] = {5};
  const auto k = keys_from(seed);
  const uint8_t m[10] = {};
  Sig sig;
  sig.fill(0x33);
  EXPECT_EQ(tavik_expand_sk(nullptr, k->sk), -2);
  EXPECT_EQ(tavik_expand_sk(&k->xsk, nullptr), -2);
  EXPECT_EQ(tavik_expand_pk(nullptr, k->pk), -2);
  EXPECT_EQ(tavik_expand_pk(&k->xpk, nullptr), -2);
  EXPECT_EQ(tavik_sign_expanded(nullptr, m, 10, sig.data()), -2);
  EXPECT_EQ(tavik_sign_expanded(&k->xsk, nullptr, 10, sig.data()), -2);
  EXPECT_EQ(tavik_sign_expanded(&k->xsk, m, 10, nullptr), -2);
  EXPECT_EQ(tavik_verify_expanded(&k->xpk, sig.data(), SIG_BYTES + 1, m, 10), -2);
  EXPECT_EQ(tavik_verify_expanded(nullptr, sig.data(), SIG_BYTES, m, 10), -2);
  EXPECT_EQ(tavik_verify_expanded(&k->xpk, nullptr, SIG_BYTES, m, 10), -2);

  tavik_sign_state ss;
  ASSERT_EQ(tavik_sign_init_expanded(&ss, &k->xsk), 0);
  tavik_expanded_sk_wipe(&k->xsk);
  const auto *bytes = reinterpret_cast<const uint8_t *>(&k->xsk);
  for (size_t i = 0; i < sizeof k->xsk; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(tavik_sign_final(&ss, sig.data()), -2);
  EXPECT_EQ(tavik_sign_expanded(&k->xsk, m, 10, sig.data()), -2);
  EXPECT_EQ(tavik_sign_init_expanded(&ss, &k->xsk), -2);
  auto never = std::make_unique<tavik_expanded_pk>();
  std::memset(never.get(), 0, sizeof *never);
  EXPECT_EQ(tavik_verify_expanded(never.get(), sig.data(), SIG_BYTES, m, 10), -2);
  tavik_verify_state vs;
  EXPECT_EQ(tavik_verify_init_expanded(&vs, never.get()), -2) << "a key never expanded";
  // A verify state whose expanded key was zeroed since it started is refused: an all-zero key
  // would make w' vanish and let a forged signature pass.
  auto xpk = std::make_unique<tavik_expanded_pk>();
  ASSERT_EQ(tavik_expand_pk(xpk.get(), k->pk), 0);
  ASSERT_EQ(tavik_verify_init_expanded(&vs, xpk.get()), 0);
  std::memset(xpk.get(), 0, sizeof *xpk);
  EXPECT_EQ(tavik_verify_final(&vs, sig.data(), SIG_BYTES), -2);
  for (uint8_t b : sig) ASSERT_EQ(b, 0x33);
  tavik_sign_state_wipe(&ss);
}
