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
#include "key_check.h"
#include "params.h"
#include "signature.h"
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
std::string digest(const T &x, size_t n = sizeof(T)) {
  uint8_t d[16];
  shake256(d, sizeof d, reinterpret_cast<const uint8_t *>(&x), n);
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
// They cover the keys' contents, which come first; the check value after them is keyed per process.
constexpr size_t XSK_CONTENT_BYTES = (K * L * N + L / 2 * N + 2 * K * N) * 4 + SEED_BYTES + CRH_BYTES;
constexpr size_t XPK_CONTENT_BYTES = (K * L * N + K * N) * 4 + CRH_BYTES;
TEST(Expanded, KeysAreTheSameBytesOnEveryPath) {
  const uint8_t seed[SEED_BYTES] = {};
  const auto k = keys_from(seed);
  EXPECT_EQ(digest(k->xsk, XSK_CONTENT_BYTES), "c0539df3aa482870ea250e270a7db8d9");
  EXPECT_EQ(digest(k->xpk, XPK_CONTENT_BYTES), "ae7eea44bf0a00aa89b0f80fa9c3e637");
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

namespace {

// Offset of the 8-byte tag in an expanded key: the check value is the 16 bytes before it.
template <typename X>
size_t tag_offset(const X &x, uint64_t tag) {
  const auto *b = reinterpret_cast<const uint8_t *>(&x);
  for (size_t at = 0; at + 8 <= sizeof x; at += 8)
    if (std::memcmp(b + at, &tag, 8) == 0) return at;
  return 0;
}

// Chosen changes to a key's contents that cancelled the former unkeyed sums, and one that only a
// comparison of all the check value sees.
struct Change {
  const char *why;
  std::function<void(uint8_t *key, size_t check_at)> apply;
};
const std::vector<Change> &chosen_changes() {
  static const std::vector<Change> c = {
      {"bit 31 of two words of one lane 64 bytes apart",
       [](uint8_t *p, size_t) {
         p[403] ^= 0x80;
         p[467] ^= 0x80;
       }},
      {"+d, -2d, +d in one lane of three consecutive 32-byte blocks",
       [](uint8_t *p, size_t) {
         uint32_t w[3];
         for (int j = 0; j < 3; ++j) std::memcpy(&w[j], p + 1024 + 32 * j, 4);
         w[0] += 4096, w[1] -= 8192, w[2] += 4096;
         for (int j = 0; j < 3; ++j) std::memcpy(p + 1024 + 32 * j, &w[j], 4);
       }},
      {"two 16-byte blocks swapped",
       [](uint8_t *p, size_t) {
         uint8_t t[16];
         std::memcpy(t, p + 2048, 16);
         std::memcpy(p + 2048, p + 2064, 16);
         std::memcpy(p + 2064, t, 16);
       }},
      {"first half of the check value", [](uint8_t *p, size_t at) { p[at + 3] ^= 1; }},
      {"second half of the check value", [](uint8_t *p, size_t at) { p[at + 8 + 5] ^= 0x40; }},
  };
  return c;
}

}  // namespace

// No chosen change of an expanded key passes its check: the changes above, every single bit of
// the contents and of the check value, and a public key zeroed with its tag kept (which would
// make w' vanish and let a forged signature verify). Every call refuses with nothing written.
TEST(Expanded, ChosenChangesAreRefused) {
  const uint8_t seed[SEED_BYTES] = {9};
  const auto k = keys_from(seed);
  const size_t sk_tag = tag_offset(k->xsk, 0x7461766b58534b31ULL), pk_tag = tag_offset(k->xpk, 0x7461766b58504b31ULL);
  ASSERT_EQ(sk_tag, XSK_CONTENT_BYTES + 16);
  ASSERT_EQ(pk_tag, XPK_CONTENT_BYTES + 16);
  const uint8_t m[59] = {4};
  Sig sig;
  sig.fill(0x66);
  auto x = std::make_unique<Keys>();
  tavik_sign_state ss;
  tavik_verify_state vs;
  for (const Change &c : chosen_changes()) {
    std::memcpy(&x->xsk, &k->xsk, sizeof x->xsk);
    std::memcpy(&x->xpk, &k->xpk, sizeof x->xpk);
    auto *sk_bytes = reinterpret_cast<uint8_t *>(&x->xsk);
    auto *pk_bytes = reinterpret_cast<uint8_t *>(&x->xpk);
    c.apply(sk_bytes, sk_tag - 16);
    c.apply(pk_bytes, pk_tag - 16);
    ASSERT_NE(digest(x->xsk), digest(k->xsk)) << c.why;
    EXPECT_EQ(tavik_sign_expanded(&x->xsk, m, sizeof m, sig.data()), -2) << c.why;
    EXPECT_EQ(tavik_sign_expanded_hedged(&x->xsk, m, sizeof m, sig.data()), -2) << c.why;
    EXPECT_EQ(tavik_sign_init_expanded(&ss, &x->xsk), -2) << c.why;
    EXPECT_EQ(tavik_verify_expanded(&x->xpk, sig.data(), SIG_BYTES, m, sizeof m), -2) << c.why;
    EXPECT_EQ(tavik_verify_init_expanded(&vs, &x->xpk), -2) << c.why;
    // The same change made while a state runs is found by its final call.
    std::memcpy(&x->xsk, &k->xsk, sizeof x->xsk);
    std::memcpy(&x->xpk, &k->xpk, sizeof x->xpk);
    ASSERT_EQ(tavik_sign_init_expanded(&ss, &x->xsk), 0);
    ASSERT_EQ(tavik_verify_init_expanded(&vs, &x->xpk), 0);
    c.apply(sk_bytes, sk_tag - 16);
    c.apply(pk_bytes, pk_tag - 16);
    EXPECT_EQ(tavik_sign_final(&ss, sig.data()), -2) << c.why;
    EXPECT_EQ(tavik_verify_final(&vs, sig.data(), SIG_BYTES), -2) << c.why;
    tavik_sign_state_wipe(&ss);
  }
  for (uint8_t b : sig) ASSERT_EQ(b, 0x66);

  std::memcpy(&x->xsk, &k->xsk, sizeof x->xsk);
  std::memcpy(&x->xpk, &k->xpk, sizeof x->xpk);
  auto *sk_bytes = reinterpret_cast<uint8_t *>(&x->xsk);
  auto *pk_bytes = reinterpret_cast<uint8_t *>(&x->xpk);
  for (size_t bit = 0; bit < 8 * sk_tag; ++bit) {
    sk_bytes[bit / 8] ^= uint8_t(1 << bit % 8);
    ASSERT_EQ(tavik_sign_expanded(&x->xsk, m, sizeof m, sig.data()), -2) << "secret key bit " << bit;
    sk_bytes[bit / 8] ^= uint8_t(1 << bit % 8);
  }
  for (size_t bit = 0; bit < 8 * pk_tag; ++bit) {
    pk_bytes[bit / 8] ^= uint8_t(1 << bit % 8);
    ASSERT_EQ(tavik_verify_expanded(&x->xpk, sig.data(), SIG_BYTES, m, sizeof m), -2) << "public key bit " << bit;
    pk_bytes[bit / 8] ^= uint8_t(1 << bit % 8);
  }
  std::memset(pk_bytes, 0, pk_tag);
  EXPECT_EQ(tavik_verify_expanded(&x->xpk, sig.data(), SIG_BYTES, m, sizeof m), -2) << "zeroed, tag kept";
  EXPECT_EQ(tavik_verify_init_expanded(&vs, &x->xpk), -2) << "zeroed, tag kept";
  for (uint8_t b : sig) ASSERT_EQ(b, 0x66);
}

// The vector forms of the check value give the plain code's value of the path in use's form.
TEST(Expanded, CheckValueIsTheSameOnEveryForm) {
  const uint8_t seed[SEED_BYTES] = {2};
  const auto k = keys_from(seed);  // the check key is drawn
  std::mt19937_64 rng(5);
  std::vector<uint8_t> buf(KEY_CHECK_MAX_BYTES + 8);
  for (auto &b : buf) b = uint8_t(rng());
  for (size_t len : {size_t(16), size_t(80), size_t(3056), XPK_CONTENT_BYTES, XSK_CONTENT_BYTES}) {
    for (size_t off : {size_t(0), size_t(4)}) {
      const KeyCheckValue a = key_check_of(buf.data() + off, len, active_backend());
      const KeyCheckValue b = key_check_of_reference(buf.data() + off, len, active_backend());
      EXPECT_EQ(a.sum[0], b.sum[0]) << len;
      EXPECT_EQ(a.sum[1], b.sum[1]) << len;
    }
  }
}
