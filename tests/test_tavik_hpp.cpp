// The C++ interface: same bytes as the C calls, errors as values, and a secret key that is wiped.
#include "tavik.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace {

bool all_zero(std::span<const std::uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

tavik::Seed seed_of(std::uint8_t v) {
  tavik::Seed s;
  s.fill(v);
  return s;
}

static_assert(!std::is_copy_constructible_v<tavik::SecretKey>);
static_assert(!std::is_copy_assignable_v<tavik::SecretKey>);
static_assert(std::is_nothrow_move_constructible_v<tavik::SecretKey>);
static_assert(!std::is_default_constructible_v<tavik::KeyPair>);
// A key of the wrong size does not convert.
static_assert(!std::is_constructible_v<tavik::SecretKey, std::span<const std::uint8_t, 16>>);

TEST(TavikHpp, SameBytesAsTheCCalls) {
  const tavik::Seed seed = seed_of(3);
  const tavik::KeyPair kp = tavik::keypair_from_seed(seed);
  std::uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed.data()), TAVIK_OK);
  EXPECT_TRUE(std::equal(kp.public_key.begin(), kp.public_key.end(), pk));
  EXPECT_TRUE(std::ranges::equal(kp.secret_key.bytes(), std::span<const std::uint8_t>(sk)));

  const auto msg = tavik::as_bytes("the same message");
  std::uint64_t siglen = 0;
  ASSERT_EQ(sig_sign(sk, msg.data(), msg.size(), sig, &siglen), TAVIK_OK);
  const tavik::Result<tavik::Signature> s = tavik::sign(kp.secret_key, msg, tavik::Mode::deterministic);
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(std::equal(s->begin(), s->end(), sig));
  // The default is hedged: a new signature every time, each valid.
  const auto h1 = tavik::sign(kp.secret_key, msg), h2 = tavik::sign(kp.secret_key, msg);
  ASSERT_TRUE(h1 && h2);
  EXPECT_NE(*h1, *s);
  EXPECT_NE(*h1, *h2);
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *h1), tavik::Status::ok);
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *h2), tavik::Status::ok);
}

TEST(TavikHpp, VerdictsAndErrorsAreValues) {
  const tavik::KeyPair kp = tavik::generate_keypair();
  const auto msg = tavik::as_bytes("attack at dawn");
  const auto s = tavik::sign(kp.secret_key, msg);
  ASSERT_EQ(s.status(), tavik::Status::ok);
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *s), tavik::Status::ok);

  tavik::Signature bad = *s;
  bad[100] ^= 1;
  EXPECT_EQ(tavik::verify(kp.public_key, msg, bad), tavik::Status::invalid_signature);
  EXPECT_EQ(tavik::verify(kp.public_key, tavik::as_bytes("attack at dusk"), *s), tavik::Status::invalid_signature);
  // A signature one byte short is illegal, not invalid.
  EXPECT_EQ(tavik::verify(kp.public_key, msg, std::span(*s).first(TAVIK_SIG_BYTES - 1)),
            tavik::Status::illegal_parameter);
  // Messages of any length, empty too.
  const std::vector<std::uint8_t> long_msg(TAVIK_MAX_MSG_BYTES + 1, 'x');
  for (std::span<const std::uint8_t> m : {std::span<const std::uint8_t>(), std::span<const std::uint8_t>(long_msg)}) {
    const auto r = tavik::sign(kp.secret_key, m);
    ASSERT_TRUE(r);
    EXPECT_EQ(tavik::verify(kp.public_key, m, *r), tavik::Status::ok);
    EXPECT_EQ(tavik::verify(kp.public_key, m, *s), tavik::Status::invalid_signature);
  }
}

TEST(TavikHpp, PiecesSignAndVerifyAsTheWholeMessage) {
  const tavik::KeyPair kp = tavik::keypair_from_seed(seed_of(5));
  std::vector<std::uint8_t> msg(5000);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = std::uint8_t(i * 7);
  const auto whole = tavik::sign(kp.secret_key, msg, tavik::Mode::deterministic);
  ASSERT_TRUE(whole);

  tavik::Signer signer(kp.secret_key, tavik::Mode::deterministic);
  tavik::Verifier verifier(kp.public_key);
  const std::span<const std::uint8_t> m(msg);
  for (size_t at = 0, piece = 0; at < m.size(); at += piece) {
    piece = std::min<size_t>(m.size() - at, 1 + at / 3);
    EXPECT_EQ(signer.update(m.subspan(at, piece)), tavik::Status::ok);
    EXPECT_EQ(verifier.update(m.subspan(at, piece)), tavik::Status::ok);
  }
  const auto pieced = signer.finalize();
  ASSERT_TRUE(pieced);
  EXPECT_EQ(*pieced, *whole);
  // Finished states refuse more work; a wrong-length signature leaves the verifier usable.
  EXPECT_EQ(signer.update(m), tavik::Status::illegal_parameter);
  EXPECT_EQ(signer.finalize().status(), tavik::Status::illegal_parameter);
  EXPECT_EQ(verifier.finalize(std::span(*whole).first(10)), tavik::Status::illegal_parameter);
  EXPECT_EQ(verifier.finalize(*whole), tavik::Status::ok);
  EXPECT_EQ(verifier.update(m), tavik::Status::illegal_parameter);

  tavik::Signer hedged(kp.secret_key);
  EXPECT_EQ(hedged.update(m), tavik::Status::ok);
  const auto h = hedged.finalize();
  ASSERT_TRUE(h);
  EXPECT_NE(*h, *whole);
  EXPECT_EQ(tavik::verify(kp.public_key, m, *h), tavik::Status::ok);

  // finish(), the name of these steps before finalize(), still takes them (deprecated).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  tavik::Signer old_signer(kp.secret_key, tavik::Mode::deterministic);
  tavik::Verifier old_verifier(kp.public_key);
  EXPECT_EQ(old_signer.update(m), tavik::Status::ok);
  EXPECT_EQ(old_verifier.update(m), tavik::Status::ok);
  EXPECT_EQ(*old_signer.finish(), *whole);
  EXPECT_EQ(old_verifier.finish(*whole), tavik::Status::ok);
#pragma GCC diagnostic pop
}

TEST(TavikHpp, SecretKeyIsWipedWhenMovedFromAndDestroyed) {
  tavik::KeyPair kp = tavik::keypair_from_seed(seed_of(9));
  ASSERT_FALSE(all_zero(kp.secret_key.bytes()));
  const std::vector<std::uint8_t> stored(kp.secret_key.bytes().begin(), kp.secret_key.bytes().end());

  tavik::SecretKey moved(std::move(kp.secret_key));
  EXPECT_TRUE(all_zero(kp.secret_key.bytes()));
  EXPECT_TRUE(std::ranges::equal(moved.bytes(), stored));

  tavik::SecretKey assigned(std::span<const std::uint8_t, TAVIK_SK_BYTES>(stored.data(), TAVIK_SK_BYTES));
  EXPECT_TRUE(std::ranges::equal(assigned.bytes(), stored));
  assigned = std::move(moved);
  EXPECT_TRUE(all_zero(moved.bytes()));
  EXPECT_TRUE(std::ranges::equal(assigned.bytes(), stored));

  // The destructor's wipe survives optimisation: the storage is zero once the key is gone.
  alignas(tavik::SecretKey) unsigned char storage[sizeof(tavik::SecretKey)];
  auto *key = new (storage) tavik::SecretKey(std::move(assigned));
  ASSERT_FALSE(all_zero(std::span<const std::uint8_t>(storage, sizeof storage)));
  key->~SecretKey();
  EXPECT_TRUE(all_zero(std::span<const std::uint8_t>(storage, sizeof storage)));
}

}  // namespace

// Expanded keys give the plain calls' signatures and verdicts, and the secret one is wiped when
// destroyed.
TEST(TavikHpp, ExpandedKeys) {
  static_assert(!std::is_copy_constructible_v<tavik::ExpandedSecretKey>);
  const tavik::KeyPair kp = tavik::keypair_from_seed(seed_of(9));
  const auto msg = tavik::as_bytes("many messages, one key");
  alignas(tavik::ExpandedSecretKey) static std::uint8_t storage[sizeof(tavik::ExpandedSecretKey)];
  auto *xsk = new (storage) tavik::ExpandedSecretKey(kp.secret_key);
  const auto xpk = std::make_unique<tavik::ExpandedPublicKey>(kp.public_key);
  ASSERT_EQ(xsk->status(), tavik::Status::ok);
  const auto s = xsk->sign(msg, tavik::Mode::deterministic);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(*s, *tavik::sign(kp.secret_key, msg, tavik::Mode::deterministic));
  EXPECT_EQ(xpk->verify(msg, *s), tavik::Status::ok);
  const auto h = xsk->sign(msg);
  ASSERT_TRUE(h.ok());
  EXPECT_NE(*h, *s);
  EXPECT_EQ(xpk->verify(msg, *h), tavik::Status::ok);
  EXPECT_EQ(xpk->verify(tavik::as_bytes("another"), *s), tavik::Status::invalid_signature);
  xsk->~ExpandedSecretKey();
  EXPECT_TRUE(all_zero(storage));
}

// Contexts and mu through the C++ layer: the C calls' bytes, a signature bound to its context, a
// context too long refused as a value.
TEST(TavikHpp, ContextsAndMu) {
  const tavik::KeyPair kp = tavik::keypair_from_seed(seed_of(8));
  const auto msg = tavik::as_bytes("a message");
  const tavik::Context ctx(tavik::as_bytes("protocol A")), other(tavik::as_bytes("protocol B"));
  const auto s = tavik::sign(kp.secret_key, msg, ctx, tavik::Mode::deterministic);
  ASSERT_TRUE(s);
  std::uint8_t c_sig[TAVIK_SIG_BYTES];
  ASSERT_EQ(tavik_sign_ctx(kp.secret_key.data(), ctx.bytes.data(), ctx.bytes.size(), msg.data(), msg.size(), c_sig), 0);
  EXPECT_TRUE(std::equal(s->begin(), s->end(), c_sig));
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *s, ctx), tavik::Status::ok);
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *s, other), tavik::Status::invalid_signature);
  EXPECT_EQ(tavik::verify(kp.public_key, msg, *s), tavik::Status::invalid_signature) << "signed under a context";

  const auto mu = tavik::mu(kp.public_key, msg, ctx);
  ASSERT_TRUE(mu);
  const auto from_mu = tavik::sign_mu(kp.secret_key, *mu, tavik::Mode::deterministic);
  ASSERT_TRUE(from_mu);
  EXPECT_EQ(*from_mu, *s);
  EXPECT_EQ(tavik::verify_mu(kp.public_key, *mu, *s), tavik::Status::ok);
  auto xsk = std::make_unique<tavik::ExpandedSecretKey>(kp.secret_key);
  auto xpk = std::make_unique<tavik::ExpandedPublicKey>(kp.public_key);
  EXPECT_EQ(*xsk->sign(msg, ctx, tavik::Mode::deterministic), *s);
  EXPECT_EQ(*xsk->sign_mu(*mu, tavik::Mode::deterministic), *s);
  EXPECT_EQ(xpk->verify(msg, *s, ctx), tavik::Status::ok);
  EXPECT_EQ(xpk->verify_mu(*mu, *s), tavik::Status::ok);
  tavik::Signer signer(kp.secret_key, ctx, tavik::Mode::deterministic);
  tavik::Verifier verifier(kp.public_key, ctx);
  ASSERT_EQ(signer.update(msg), tavik::Status::ok);
  ASSERT_EQ(verifier.update(msg), tavik::Status::ok);
  EXPECT_EQ(*signer.finalize(), *s);
  EXPECT_EQ(verifier.finalize(*s), tavik::Status::ok);

  const std::vector<std::uint8_t> too_long(TAVIK_MAX_CONTEXT_BYTES + 1, 'c');
  const tavik::Context bad{std::span<const std::uint8_t>(too_long)};
  EXPECT_EQ(tavik::sign(kp.secret_key, msg, bad).status(), tavik::Status::illegal_parameter);
  EXPECT_EQ(tavik::mu(kp.public_key, msg, bad).status(), tavik::Status::illegal_parameter);
  tavik::Signer refused(kp.secret_key, bad);
  EXPECT_EQ(refused.update(msg), tavik::Status::illegal_parameter) << "a refused context starts no state";
}
