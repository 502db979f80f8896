// Signing under a context and from a message digest mu, against answers pinned from the Python
// model (tests/model/context_kat.txt, made by tests/model/context_known_answers.py), reached through
// every deterministic form; and the signatures one context's verifier must refuse.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
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

struct Expanded {
  tavik_expanded_sk xsk;
  tavik_expanded_pk xpk;
};

}  // namespace

// Every line of the model's table: mu from the streamed digest, and the same signature bytes from
// signing mu and from the one-shot, streamed and expanded forms under the context (and, with no
// context, from the calls without one); every form of verification accepts it.
TEST(ContextKat, LibraryGivesTheModelsMuAndSignatures) {
  std::ifstream in(std::string(TAVIK_TEST_SOURCE_DIR) + "/model/context_kat.txt");
  ASSERT_TRUE(in.good());
  std::map<std::string, Keys> keys;
  auto expanded = std::make_unique<Expanded>();
  std::string seen_seed;
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string seed_hex, ctx_hex, mu_hex, digest;
    size_t length = 0;
    if (!(fields >> seed_hex >> ctx_hex >> length >> mu_hex >> digest)) continue;
    ++lines;
    if (!keys.count(seed_hex)) keys[seed_hex] = keys_from(from_hex(seed_hex));
    const Keys &k = keys[seed_hex];
    if (seed_hex != seen_seed) {
      ASSERT_EQ(tavik_expand_sk(&expanded->xsk, k.sk.data()), TAVIK_OK);
      ASSERT_EQ(tavik_expand_pk(&expanded->xpk, k.pk.data()), TAVIK_OK);
      seen_seed = seed_hex;
    }
    const Bytes ctx = from_hex(ctx_hex), msg = message(length);
    const uint8_t *c = ctx.empty() ? nullptr : ctx.data();  // no context may come as NULL
    SCOPED_TRACE("context of " + std::to_string(ctx.size()) + " bytes, message of " + std::to_string(length));

    const auto mu = mu_of(k.pk.data(), ctx, msg);
    EXPECT_EQ(hex(mu.data(), mu.size()), mu_hex);

    Sig sig{};
    ASSERT_EQ(tavik_sign_mu(k.sk.data(), mu.data(), sig.data()), TAVIK_OK);
    EXPECT_EQ(digest_hex(sig), digest);

    std::vector<std::pair<const char *, std::function<int32_t(uint8_t *)>>> signers = {
        {"tavik_sign_ctx", [&](uint8_t *s) { return tavik_sign_ctx(k.sk.data(), c, ctx.size(), msg.data(), msg.size(), s); }},
        {"tavik_sign_expanded_ctx",
         [&](uint8_t *s) { return tavik_sign_expanded_ctx(&expanded->xsk, c, ctx.size(), msg.data(), msg.size(), s); }},
        {"tavik_sign_expanded_mu", [&](uint8_t *s) { return tavik_sign_expanded_mu(&expanded->xsk, mu.data(), s); }},
        {"tavik_sign_init_ctx", [&](uint8_t *s) {
           tavik_sign_state st;
           int32_t r = tavik_sign_init_ctx(&st, k.sk.data(), c, ctx.size());
           if (r == TAVIK_OK) r = tavik_sign_update(&st, msg.data(), msg.size());
           return r == TAVIK_OK ? tavik_sign_final(&st, s) : r;
         }},
        {"tavik_sign_init_expanded_ctx", [&](uint8_t *s) {
           tavik_sign_state st;
           int32_t r = tavik_sign_init_expanded_ctx(&st, &expanded->xsk, c, ctx.size());
           if (r == TAVIK_OK) r = tavik_sign_update(&st, msg.data(), msg.size());
           return r == TAVIK_OK ? tavik_sign_final(&st, s) : r;
         }},
    };
    if (ctx.empty())
      signers.push_back({"tavik_sign", [&](uint8_t *s) { return tavik_sign(k.sk.data(), msg.data(), msg.size(), s); }});
    for (const auto &[name, signer] : signers) {
      Sig other{};
      EXPECT_EQ(signer(other.data()), TAVIK_OK) << name;
      EXPECT_EQ(other, sig) << name;
    }

    EXPECT_EQ(tavik_verify_mu(k.pk.data(), sig.data(), sig.size(), mu.data()), 0);
    EXPECT_EQ(tavik_verify_expanded_mu(&expanded->xpk, sig.data(), sig.size(), mu.data()), 0);
    EXPECT_EQ(tavik_verify_ctx(k.pk.data(), c, ctx.size(), sig.data(), sig.size(), msg.data(), msg.size()), 0);
    EXPECT_EQ(tavik_verify_expanded_ctx(&expanded->xpk, c, ctx.size(), sig.data(), sig.size(), msg.data(), msg.size()),
              0);
    tavik_verify_state vst;
    ASSERT_EQ(tavik_verify_init_ctx(&vst, k.pk.data(), c, ctx.size()), TAVIK_OK);
    ASSERT_EQ(tavik_verify_update(&vst, msg.data(), msg.size()), TAVIK_OK);
    EXPECT_EQ(tavik_verify_final(&vst, sig.data(), sig.size()), 0);
  }
  EXPECT_EQ(lines, 48u);
  tavik_expanded_sk_wipe(&expanded->xsk);
}

// A signature is bound to its context: each case below is a signature made one way and checked
// another, and must be refused (1). The raw message label || tr || len || ctx || M is what a
// context's digest input would be if the context were only a prefix of the message.
TEST(ContextKat, SignaturesCrossNoContextBoundary) {
  const Keys k = keys_from(Bytes(32, 7));
  const Bytes a = {'p', 'r', 'o', 't', 'o', ' ', 'A'}, b = {'p', 'r', 'o', 't', 'o', ' ', 'B'}, zero = {0};
  Bytes a_longer = a, a_shorter(a.begin(), a.end() - 1);
  a_longer.push_back(0);
  const Bytes msg = message(59);
  uint8_t tr[TAVIK_MU_BYTES];
  tavik::shake256(tr, sizeof tr, k.pk.data(), k.pk.size());
  Bytes prefixed = {'t', 'a', 'v', 'i', 'k', '-', 'c', ' ', 'c', 'o', 'n', 't', 'e', 'x', 't', ' ', 'v', '1'};
  prefixed.insert(prefixed.end(), tr, tr + sizeof tr);
  prefixed.push_back(uint8_t(a.size()));
  prefixed.insert(prefixed.end(), a.begin(), a.end());
  prefixed.insert(prefixed.end(), msg.begin(), msg.end());

  auto sign = [&](const Bytes &ctx, const Bytes &m) {
    Sig s{};
    EXPECT_EQ(tavik_sign_ctx(k.sk.data(), ctx.data(), ctx.size(), m.data(), m.size(), s.data()), TAVIK_OK);
    return s;
  };
  struct Case {
    const char *why;
    Sig sig;
    Bytes ctx, msg;
  };
  const Sig under_a = sign(a, msg), raw = sign({}, msg), zero_ctx = sign(zero, msg), raw_prefixed = sign({}, prefixed);
  const Case cases[] = {
      {"signed under A, checked with no context", under_a, {}, msg},
      {"signed under A, checked under B", under_a, b, msg},
      {"signed under A, checked under A with a zero byte appended", under_a, a_longer, msg},
      {"signed under A, checked under A less its last byte", under_a, a_shorter, msg},
      {"signed with no context, checked under A", raw, a, msg},
      {"signed with no context, checked under the one-byte context 00", raw, zero, msg},
      {"signed under the one-byte context 00, checked with no context", zero_ctx, {}, msg},
      {"raw signature of label||tr||len||A||M, checked as M under A", raw_prefixed, a, msg},
      {"signed under A, checked as the raw message label||tr||len||A||M", under_a, {}, prefixed},
  };
  for (const Case &t : cases) {
    EXPECT_EQ(tavik_verify_ctx(k.pk.data(), t.ctx.data(), t.ctx.size(), t.sig.data(), t.sig.size(), t.msg.data(),
                               t.msg.size()),
              1)
        << t.why;
    EXPECT_EQ(tavik_verify_mu(k.pk.data(), t.sig.data(), t.sig.size(), mu_of(k.pk.data(), t.ctx, t.msg).data()), 1)
        << t.why;
  }

  // Hedged signing from mu is bound the same way: accepted under its context, refused under another.
  Sig hedged{};
  ASSERT_EQ(tavik_sign_mu_hedged(k.sk.data(), mu_of(k.pk.data(), a, msg).data(), hedged.data()), TAVIK_OK);
  EXPECT_EQ(tavik_verify_ctx(k.pk.data(), a.data(), a.size(), hedged.data(), hedged.size(), msg.data(), msg.size()), 0);
  EXPECT_EQ(tavik_verify_ctx(k.pk.data(), b.data(), b.size(), hedged.data(), hedged.size(), msg.data(), msg.size()), 1);
}

// A context of 256 bytes, or a null context of nonzero length, is refused with nothing written.
TEST(ContextKat, IllegalContextsWriteNothing) {
  const Keys k = keys_from(Bytes(32, 9));
  const Bytes ctx(256, 0x5a), msg = message(10);
  for (const uint8_t *c : {ctx.data(), static_cast<const uint8_t *>(nullptr)}) {
    const uint64_t len = c ? 256 : 1;
    Sig sig;
    sig.fill(0xa5);
    EXPECT_EQ(tavik_sign_ctx(k.sk.data(), c, len, msg.data(), msg.size(), sig.data()), TAVIK_ILLEGAL_PARAMETER);
    EXPECT_EQ(tavik_sign_ctx_hedged(k.sk.data(), c, len, msg.data(), msg.size(), sig.data()), TAVIK_ILLEGAL_PARAMETER);
    EXPECT_EQ(sig, [] { Sig s; s.fill(0xa5); return s; }());
    EXPECT_EQ(tavik_verify_ctx(k.pk.data(), c, len, sig.data(), sig.size(), msg.data(), msg.size()),
              TAVIK_ILLEGAL_PARAMETER);
    tavik_mu_state st;
    EXPECT_EQ(tavik_mu_init(&st, k.pk.data(), c, len), TAVIK_ILLEGAL_PARAMETER);
    tavik_sign_state sst;
    EXPECT_EQ(tavik_sign_init_ctx(&sst, k.sk.data(), c, len), TAVIK_ILLEGAL_PARAMETER);
    tavik_verify_state vst;
    EXPECT_EQ(tavik_verify_init_ctx(&vst, k.pk.data(), c, len), TAVIK_ILLEGAL_PARAMETER);
  }
}
