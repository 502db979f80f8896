// Signing under a context and from a message digest mu, against answers pinned from the Python
// model (tests/model/context_kat.txt, made by tests/model/context_known_answers.py); and a context
// that is no mere prefix of the message.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fips202.h"
#include "tavik.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Sig = std::array<uint8_t, TAVIK_SIG_BYTES>;

Bytes from_hex(const std::string &text) {
  Bytes out;
  if (text == "-") return out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const uint8_t *data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < len; ++i) (s += digits[data[i] >> 4]) += digits[data[i] & 15];
  return s;
}

std::string digest_hex(const Sig &sig) {
  uint8_t d[16];
  tavik::shake256(d, sizeof d, sig.data(), sig.size());
  return hex(d, sizeof d);
}

// The message of the table: byte i is (37 i + length) mod 256.
Bytes message(size_t length) {
  Bytes m(length);
  for (size_t i = 0; i < length; ++i) m[i] = uint8_t(37 * i + length);
  return m;
}

struct Keys {
  std::array<uint8_t, TAVIK_PK_BYTES> pk;
  std::array<uint8_t, TAVIK_SK_BYTES> sk;
};

Keys keys_from(const Bytes &seed) {
  Keys k;
  EXPECT_EQ(sig_keygen_from_seed(k.pk.data(), k.sk.data(), seed.data()), TAVIK_OK);
  return k;
}

std::array<uint8_t, TAVIK_MU_BYTES> mu_of(const uint8_t *pk, const Bytes &ctx, const Bytes &msg) {
  std::array<uint8_t, TAVIK_MU_BYTES> mu{};
  tavik_mu_state st;
  const size_t half = msg.size() / 2;
  EXPECT_EQ(tavik_mu_init(&st, pk, ctx.data(), ctx.size()), TAVIK_OK);
  EXPECT_EQ(tavik_mu_update(&st, msg.data(), half), TAVIK_OK);
  EXPECT_EQ(tavik_mu_update(&st, msg.data() + half, msg.size() - half), TAVIK_OK);
  EXPECT_EQ(tavik_mu_final(&st, mu.data()), TAVIK_OK);
  return mu;
}

}  // namespace

// Every line of the model's table: mu from the digest streamed in two pieces, the signature of mu,
// the same bytes from tavik_sign_ctx (the calls' other forms are held to these by test_context),
// and both verifications accept it.
TEST(ContextKat, LibraryGivesTheModelsMuAndSignatures) {
  std::ifstream in(std::string(TAVIK_TEST_SOURCE_DIR) + "/model/context_kat.txt");
  ASSERT_TRUE(in.good());
  std::map<std::string, Keys> keys;
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string seed_hex, ctx_hex, mu_hex, digest;
    size_t length = 0;
    if (!(fields >> seed_hex >> ctx_hex >> length >> mu_hex >> digest)) continue;
    ++lines;
    if (!keys.count(seed_hex)) keys[seed_hex] = keys_from(from_hex(seed_hex));
    const Keys &k = keys[seed_hex];
    const Bytes ctx = from_hex(ctx_hex), msg = message(length);
    const uint8_t *c = ctx.empty() ? nullptr : ctx.data();  // no context may come as NULL
    SCOPED_TRACE("context of " + std::to_string(ctx.size()) + " bytes, message of " + std::to_string(length));

    const auto mu = mu_of(k.pk.data(), ctx, msg);
    EXPECT_EQ(hex(mu.data(), mu.size()), mu_hex);

    Sig sig{};
    ASSERT_EQ(tavik_sign_mu(k.sk.data(), mu.data(), sig.data()), TAVIK_OK);
    EXPECT_EQ(digest_hex(sig), digest);

    Sig other{};
    ASSERT_EQ(tavik_sign_ctx(k.sk.data(), c, ctx.size(), msg.data(), msg.size(), other.data()), TAVIK_OK);
    EXPECT_EQ(other, sig);
    EXPECT_EQ(tavik_verify_mu(k.pk.data(), sig.data(), sig.size(), mu.data()), 0);
    EXPECT_EQ(tavik_verify_ctx(k.pk.data(), c, ctx.size(), sig.data(), sig.size(), msg.data(), msg.size()), 0);
  }
  EXPECT_EQ(lines, 48u);
}

// Were the context only a prefix of the message, the raw message label || tr || len || ctx || M
// would carry the same digest input as M under ctx. Both crossings must be refused (1).
TEST(ContextKat, ContextIsNoPrefixOfTheMessage) {
  const Keys k = keys_from(Bytes(32, 7));
  const Bytes a = {'p', 'r', 'o', 't', 'o', ' ', 'A'}, msg = message(59);
  static const char label[] = "tavik-c context v1";
  std::array<uint8_t, 18 + 48 + 1 + 7 + 59> prefixed{};
  std::memcpy(prefixed.data(), label, 18);
  tavik::shake256(prefixed.data() + 18, 48, k.pk.data(), k.pk.size());  // tr
  prefixed[66] = uint8_t(a.size());
  std::memcpy(prefixed.data() + 67, a.data(), a.size());
  std::memcpy(prefixed.data() + 74, msg.data(), msg.size());

  Sig raw{}, under_a{};
  ASSERT_EQ(tavik_sign(k.sk.data(), prefixed.data(), prefixed.size(), raw.data()), TAVIK_OK);
  ASSERT_EQ(tavik_sign_ctx(k.sk.data(), a.data(), a.size(), msg.data(), msg.size(), under_a.data()), TAVIK_OK);
  EXPECT_EQ(tavik_verify_ctx(k.pk.data(), a.data(), a.size(), raw.data(), raw.size(), msg.data(), msg.size()), 1)
      << "a raw signature of label||tr||len||A||M checked as M under A";
  EXPECT_EQ(tavik_verify(k.pk.data(), under_a.data(), under_a.size(), prefixed.data(), prefixed.size()), 1)
      << "a signature of M under A checked as the raw message label||tr||len||A||M";
}
