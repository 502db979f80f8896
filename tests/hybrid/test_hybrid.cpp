// Hybrid signatures: pinned known answers, every way of lifting or mixing halves refused, the
// streaming forms equal to the one-shot ones, and damaged keys and bad arguments refused with
// nothing written.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fips202.h"
#include "tavik_hybrid.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint8_t *kPairCtx = reinterpret_cast<const uint8_t *>(TAVIK_HYBRID_TAVIK_CONTEXT);

struct Pair {
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  uint8_t sk[TAVIK_HYBRID_SK_BYTES];
};

std::unique_ptr<Pair> pair_from(uint8_t b) {
  auto p = std::make_unique<Pair>();
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES];
  for (size_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(b + 7 * i);
  EXPECT_EQ(tavik_hybrid_keygen_from_seed(p->pk, p->sk, seed), 0);
  return p;
}

Bytes bytes(size_t n, uint8_t b) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(b + 13 * i);
  return v;
}

std::string hex16(const uint8_t *p, size_t n) {
  uint8_t d[16];
  tavik::shake256(d, sizeof d, p, n);
  std::string s;
  for (uint8_t x : d) s += "0123456789abcdef"[x >> 4], s += "0123456789abcdef"[x & 15];
  return s;
}

Bytes sign(const Pair &p, const Bytes &ctx, const Bytes &msg) {
  Bytes sig(TAVIK_HYBRID_SIG_BYTES);
  EXPECT_EQ(tavik_hybrid_sign_deterministic(p.sk, ctx.data(), ctx.size(), msg.data(), msg.size(), sig.data()), 0);
  return sig;
}

int32_t verify(const uint8_t *pk, const Bytes &ctx, const Bytes &sig, const Bytes &msg, uint32_t *failed = nullptr) {
  return tavik_hybrid_verify_halves(pk, ctx.data(), ctx.size(), sig.data(), sig.size(), msg.data(), msg.size(),
                                    failed);
}

Bytes representative(const Bytes &ctx, const Bytes &msg) {
  Bytes rep(TAVIK_HYBRID_MAX_REPRESENTATIVE_BYTES);
  uint64_t len = 0;
  EXPECT_EQ(tavik_hybrid_representative(ctx.data(), ctx.size(), msg.data(), msg.size(), rep.data(), &len), 0);
  rep.resize(len);
  return rep;
}

// Both halves made by the algorithms alone over rep, with the halves of p's secret key.
Bytes sign_halves(const Pair &p, const Bytes &rep, const uint8_t *tavik_ctx, size_t tavik_ctxlen) {
  Bytes sig(TAVIK_HYBRID_SIG_BYTES);
  EXPECT_EQ(tavik_sign_ctx(p.sk, tavik_ctx, tavik_ctxlen, rep.data(), rep.size(), sig.data()), 0);
  EXPECT_EQ(crypto_sign_ed25519_detached(sig.data() + TAVIK_HYBRID_SIG_ED25519_OFFSET, nullptr, rep.data(),
                                         rep.size(), p.sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET),
            0);
  return sig;
}

// The digests (SHAKE256, 16 bytes) of the pair made from seed bytes 1, 8, 15, ... and of its
// deterministic signatures, pinned when the pair was introduced; the suite runs on every path. The
// halves' keys are those the documented expansion of the seed gives to each algorithm.
TEST(Hybrid, KnownAnswers) {
  auto p = pair_from(1);
  uint8_t input[21 + TAVIK_HYBRID_SEED_BYTES] = "tavik-c hybrid key v1", halves[64];
  for (size_t i = 0; i < TAVIK_HYBRID_SEED_BYTES; ++i) input[21 + i] = uint8_t(1 + 7 * i);
  tavik::shake256(halves, sizeof halves, input, sizeof input);
  auto alone = std::make_unique<Pair>();
  ASSERT_EQ(sig_keygen_from_seed(alone->pk, alone->sk, halves), 0);
  ASSERT_EQ(crypto_sign_ed25519_seed_keypair(alone->pk + TAVIK_PK_BYTES, alone->sk + TAVIK_SK_BYTES, halves + 32), 0);
  EXPECT_EQ(0, std::memcmp(alone.get(), p.get(), sizeof *p));
  EXPECT_EQ(hex16(p->pk, sizeof p->pk), "7ae9e571f8682d2f9c50e47f40a4c0ae");
  struct Case {
    size_t msglen, ctxlen;
    const char *sig;
  } cases[] = {
      {0, 0, "92ae0f7a3665f90220f326e8c5916252"}, {1, 0, "a5054276db12cfe510d6fff448d5c2db"}, {59, 0, "97f5b8855e7191b8f6938e1bb7c879f9"}, {1024, 0, "7c6becd48ac2a96a20a36950cab08c27"}, {59, 1, "383db92536a7740f81d1aedd4e9d88c7"}, {59, 255, "d743b78ff5b0336af43c90f4c38afb0c"}, {3301, 32, "bb3533fa2b8df30465cdfae43b47dbf2"},
  };
  for (const Case &c : cases) {
    const Bytes sig = sign(*p, bytes(c.ctxlen, 9), bytes(c.msglen, 3));
    EXPECT_EQ(hex16(sig.data(), sig.size()), c.sig) << c.msglen << " " << c.ctxlen;
  }
}

// Every signature below must be refused under pair a's public key, for message msg under ctx; the
// first row shows that the way they are made is sound (both halves made by hand over the right
// representative verify), so each refusal comes from what the row changes.
TEST(Hybrid, LiftedMixedAndChangedHalvesAreRefused) {
  auto a = pair_from(1), b = pair_from(2);
  const Bytes ctx = bytes(5, 40), msg = bytes(100, 3), other_ctx = bytes(5, 41);
  const Bytes rep = representative(ctx, msg);
  const Bytes good = sign(*a, ctx, msg), by_b = sign(*b, ctx, msg);
  const Bytes by_hand = sign_halves(*a, rep, kPairCtx, TAVIK_HYBRID_TAVIK_CONTEXT_BYTES);
  ASSERT_EQ(by_hand, good);
  uint32_t failed = 99;
  ASSERT_EQ(verify(a->pk, ctx, good, msg, &failed), 0);
  EXPECT_EQ(failed, 0u);

  auto with_tavik = [&](const Bytes &tavik_half) {
    Bytes s = good;
    std::memcpy(s.data(), tavik_half.data(), TAVIK_SIG_BYTES);
    return s;
  };
  auto with_ed = [&](const Bytes &ed_half_of) {
    Bytes s = good;
    std::memcpy(s.data() + TAVIK_HYBRID_SIG_ED25519_OFFSET, ed_half_of.data() + TAVIK_HYBRID_SIG_ED25519_OFFSET,
                TAVIK_HYBRID_ED25519_SIG_BYTES);
    return s;
  };
  // Standalone signatures of msg by a's halves: tavik without and with the pair's own context,
  // Ed25519 pure.
  Bytes tavik_plain(TAVIK_HYBRID_SIG_BYTES), tavik_pairctx(TAVIK_HYBRID_SIG_BYTES), ed_plain(TAVIK_HYBRID_SIG_BYTES);
  ASSERT_EQ(tavik_sign(a->sk, msg.data(), msg.size(), tavik_plain.data()), 0);
  ASSERT_EQ(tavik_sign_ctx(a->sk, kPairCtx, TAVIK_HYBRID_TAVIK_CONTEXT_BYTES, msg.data(), msg.size(),
                           tavik_pairctx.data()),
            0);
  crypto_sign_ed25519_detached(ed_plain.data() + TAVIK_HYBRID_SIG_ED25519_OFFSET, nullptr, msg.data(), msg.size(),
                               a->sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET);
  // The representative with its prefix, or its identifier, changed in one byte.
  Bytes bad_prefix = rep, bad_domain = rep;
  bad_prefix[0] ^= 1;
  bad_domain[TAVIK_HYBRID_PREFIX_BYTES + 5] ^= 1;
  // The tavik half made over the right representative but without the pair's context.
  const Bytes no_pair_ctx = sign_halves(*a, rep, nullptr, 0);

  const uint32_t T = TAVIK_HYBRID_TAVIK_HALF, E = TAVIK_HYBRID_ED25519_HALF;
  struct Case {
    const char *why;
    Bytes sig;
    Bytes ctx;
    uint32_t failed;
  } cases[] = {
      {"tavik half stripped (zeros)", with_tavik(Bytes(TAVIK_SIG_BYTES)), ctx, T},
      {"Ed25519 half stripped (zeros)", with_ed(Bytes(TAVIK_HYBRID_SIG_BYTES)), ctx, E},
      {"Ed25519 half from pair b's signature of the same message", with_ed(by_b), ctx, E},
      {"tavik half from pair b's signature of the same message", with_tavik(by_b), ctx, T},
      {"tavik half is a standalone tavik signature of msg", with_tavik(tavik_plain), ctx, T},
      {"tavik half is a tavik signature of msg under the pair's context", with_tavik(tavik_pairctx), ctx, T},
      {"Ed25519 half is a standalone Ed25519 signature of msg", with_ed(ed_plain), ctx, E},
      {"tavik half signed without the pair's context", with_tavik(no_pair_ctx), ctx, T},
      {"both halves over a representative with another prefix",
       sign_halves(*a, bad_prefix, kPairCtx, TAVIK_HYBRID_TAVIK_CONTEXT_BYTES), ctx, T | E},
      {"both halves over a representative with another domain",
       sign_halves(*a, bad_domain, kPairCtx, TAVIK_HYBRID_TAVIK_CONTEXT_BYTES), ctx, T | E},
      {"signed under another context", good, other_ctx, T | E},
      {"signed under a context, checked under none", good, Bytes(), T | E},
  };
  for (const Case &c : cases) {
    failed = 0;
    EXPECT_EQ(verify(a->pk, c.ctx, c.sig, msg, &failed), 1) << c.why;
    EXPECT_EQ(failed, c.failed) << c.why;
  }
  // A stripped signature (one half only) is not a hybrid signature's length.
  const Bytes half(good.begin(), good.begin() + TAVIK_SIG_BYTES);
  EXPECT_EQ(verify(a->pk, ctx, half, msg), -2);

  // A half as a standalone signature of msg: the tavik half under no context, under the pair's
  // context, and over the representative without the pair's context; the Ed25519 half over msg.
  EXPECT_EQ(tavik_verify(a->pk, good.data(), TAVIK_SIG_BYTES, msg.data(), msg.size()), 1);
  EXPECT_EQ(tavik_verify_ctx(a->pk, kPairCtx, TAVIK_HYBRID_TAVIK_CONTEXT_BYTES, good.data(), TAVIK_SIG_BYTES,
                             msg.data(), msg.size()),
            1);
  EXPECT_EQ(tavik_verify(a->pk, good.data(), TAVIK_SIG_BYTES, rep.data(), rep.size()), 1);
  EXPECT_NE(crypto_sign_ed25519_verify_detached(good.data() + TAVIK_HYBRID_SIG_ED25519_OFFSET, msg.data(), msg.size(),
                                                a->pk + TAVIK_HYBRID_PK_ED25519_OFFSET),
            0);
}

// Key pairs made from two keys are those made from the seed's halves; a key whose halves
// disagree, or whose stored Ed25519 public key is not its seed's, is refused by every call that
// takes a secret key, with nothing written.
TEST(Hybrid, KeysFromTwoKeysAndDamagedKeys) {
  auto a = pair_from(1), b = pair_from(2);
  auto made = std::make_unique<Pair>();
  const uint8_t *ed_a = a->sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET;
  ASSERT_EQ(tavik_hybrid_keygen_from_keys(made->pk, made->sk, a->pk, a->sk, a->pk + TAVIK_PK_BYTES, ed_a), 0);
  EXPECT_EQ(0, std::memcmp(made.get(), a.get(), sizeof *made));
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  ASSERT_EQ(tavik_hybrid_pk_from_sk(pk, a->sk), 0);
  EXPECT_EQ(0, std::memcmp(pk, a->pk, sizeof pk));
  // Mismatched keys: tavik pk of b, Ed25519 pk of b.
  EXPECT_EQ(tavik_hybrid_keygen_from_keys(made->pk, made->sk, b->pk, a->sk, a->pk + TAVIK_PK_BYTES, ed_a), -2);
  EXPECT_EQ(tavik_hybrid_keygen_from_keys(made->pk, made->sk, a->pk, a->sk, b->pk + TAVIK_PK_BYTES, ed_a), -2);

  struct Damage {
    const char *why;
    size_t offset;
  } damages[] = {
      {"a byte of s1 in the tavik half", 200},
      {"the Ed25519 seed", TAVIK_HYBRID_SK_ED25519_SEED_OFFSET + 3},
      {"the stored Ed25519 public key", TAVIK_HYBRID_SK_ED25519_PK_OFFSET + 31},
  };
  // The intact key has been remembered (pk_from_sk above): a damaged one must still be checked.
  const Bytes msg = bytes(10, 1);
  for (const Damage &d : damages) {
    Pair bad = *a;
    bad.sk[d.offset] ^= 0x10;
    Bytes sig(TAVIK_HYBRID_SIG_BYTES, 0xee);
    const Bytes untouched = sig;
    EXPECT_EQ(tavik_hybrid_sign(bad.sk, nullptr, 0, msg.data(), msg.size(), sig.data()), -2) << d.why;
    EXPECT_EQ(tavik_hybrid_sign_deterministic(bad.sk, nullptr, 0, msg.data(), msg.size(), sig.data()), -2) << d.why;
    EXPECT_EQ(sig, untouched) << d.why;
    EXPECT_EQ(tavik_hybrid_pk_from_sk(pk, bad.sk), -2) << d.why;
    tavik_hybrid_sign_state st;
    if (tavik_hybrid_sign_init(&st, bad.sk, nullptr, 0) == 0) {  // the tavik half is checked at the end
      EXPECT_LT(d.offset, size_t(TAVIK_SK_BYTES)) << d.why;
      EXPECT_EQ(tavik_hybrid_sign_final(&st, sig.data()), -2) << d.why;
      tavik_hybrid_sign_state_wipe(&st);
    }
    EXPECT_EQ(sig, untouched) << d.why;
  }
}

// Streams of any pieces sign and verify as the one-shot calls; hedged signatures verify and
// differ; finished or never-started states and bad arguments are refused.
TEST(Hybrid, StreamsHedgingAndArguments) {
  auto a = pair_from(1);
  const Bytes ctx = bytes(3, 1), msg = bytes(3000, 2);
  const Bytes one_shot = sign(*a, ctx, msg);
  for (size_t piece : {size_t(1), size_t(127), size_t(3000)}) {
    tavik_hybrid_sign_state ss;
    tavik_hybrid_verify_state vs;
    ASSERT_EQ(tavik_hybrid_sign_init_deterministic(&ss, a->sk, ctx.data(), ctx.size()), 0);
    ASSERT_EQ(tavik_hybrid_verify_init(&vs, a->pk, ctx.data(), ctx.size()), 0);
    for (size_t at = 0; at < msg.size(); at += piece) {
      const size_t n = std::min(piece, msg.size() - at);
      ASSERT_EQ(tavik_hybrid_sign_update(&ss, msg.data() + at, n), 0);
      ASSERT_EQ(tavik_hybrid_verify_update(&vs, msg.data() + at, n), 0);
      ASSERT_EQ(tavik_hybrid_sign_update(&ss, nullptr, 0), 0);
    }
    Bytes sig(TAVIK_HYBRID_SIG_BYTES);
    ASSERT_EQ(tavik_hybrid_sign_final(&ss, sig.data()), 0);
    EXPECT_EQ(sig, one_shot) << piece;
    uint32_t failed = 9;
    EXPECT_EQ(tavik_hybrid_verify_final_halves(&vs, sig.data(), sig.size(), &failed), 0);
    EXPECT_EQ(failed, 0u);
    // Finished states are refused.
    EXPECT_EQ(tavik_hybrid_sign_update(&ss, msg.data(), 1), -2);
    EXPECT_EQ(tavik_hybrid_sign_final(&ss, sig.data()), -2);
    EXPECT_EQ(tavik_hybrid_verify_final(&vs, sig.data(), sig.size()), -2);
  }
  // A stream whose Ed25519 half fails says so.
  Bytes bad = one_shot;
  bad.back() ^= 1;
  tavik_hybrid_verify_state vs;
  ASSERT_EQ(tavik_hybrid_verify_init(&vs, a->pk, ctx.data(), ctx.size()), 0);
  ASSERT_EQ(tavik_hybrid_verify_update(&vs, msg.data(), msg.size()), 0);
  uint32_t failed = 0;
  EXPECT_EQ(tavik_hybrid_verify_final_halves(&vs, bad.data(), bad.size(), &failed), 1);
  EXPECT_EQ(failed, TAVIK_HYBRID_ED25519_HALF);

  // Hedged: one-shot and streamed signatures verify, and differ from each other and from the
  // deterministic one in the tavik half only (Ed25519 is deterministic).
  Bytes h1(TAVIK_HYBRID_SIG_BYTES), h2(TAVIK_HYBRID_SIG_BYTES);
  ASSERT_EQ(tavik_hybrid_sign(a->sk, ctx.data(), ctx.size(), msg.data(), msg.size(), h1.data()), 0);
  tavik_hybrid_sign_state ss;
  ASSERT_EQ(tavik_hybrid_sign_init(&ss, a->sk, ctx.data(), ctx.size()), 0);
  ASSERT_EQ(tavik_hybrid_sign_update(&ss, msg.data(), msg.size()), 0);
  ASSERT_EQ(tavik_hybrid_sign_final(&ss, h2.data()), 0);
  for (const Bytes &h : {h1, h2}) {
    EXPECT_EQ(verify(a->pk, ctx, h, msg), 0);
    EXPECT_NE(0, std::memcmp(h.data(), one_shot.data(), TAVIK_SIG_BYTES));
    EXPECT_EQ(0, std::memcmp(h.data() + TAVIK_SIG_BYTES, one_shot.data() + TAVIK_SIG_BYTES, 64));
  }
  EXPECT_NE(h1, h2);

  // Bad arguments: -2 and nothing written.
  Bytes sig(TAVIK_HYBRID_SIG_BYTES, 0xee);
  const Bytes big(256, 1);
  EXPECT_EQ(tavik_hybrid_sign(a->sk, big.data(), 256, msg.data(), 1, sig.data()), -2);  // context over 255
  EXPECT_EQ(tavik_hybrid_sign(a->sk, nullptr, 1, msg.data(), 1, sig.data()), -2);       // null context, length 1
  EXPECT_EQ(tavik_hybrid_sign(a->sk, nullptr, 0, nullptr, 1, sig.data()), -2);          // null message, length 1
  EXPECT_EQ(tavik_hybrid_sign(nullptr, nullptr, 0, msg.data(), 1, sig.data()), -2);
  EXPECT_EQ(sig, Bytes(TAVIK_HYBRID_SIG_BYTES, 0xee));
  EXPECT_EQ(tavik_hybrid_verify(a->pk, big.data(), 256, one_shot.data(), one_shot.size(), msg.data(), 1), -2);
  EXPECT_EQ(tavik_hybrid_verify(a->pk, ctx.data(), ctx.size(), one_shot.data(), one_shot.size() + 1, msg.data(),
                                msg.size()),
            -2);
  EXPECT_EQ(tavik_hybrid_sign_init(&ss, a->sk, big.data(), 256), -2);
  EXPECT_EQ(tavik_hybrid_sign_update(&ss, msg.data(), 1), -2);  // never started
  // Keys, messages and signatures inside the state.
  auto *inside = reinterpret_cast<uint8_t *>(&ss);
  EXPECT_EQ(tavik_hybrid_sign_init(&ss, inside + 8, nullptr, 0), -2);
  ASSERT_EQ(tavik_hybrid_sign_init(&ss, a->sk, nullptr, 0), 0);
  EXPECT_EQ(tavik_hybrid_sign_update(&ss, inside + 100, 10), -2);
  EXPECT_EQ(tavik_hybrid_sign_final(&ss, inside + 100), -2);
  tavik_hybrid_sign_state_wipe(&ss);
  // pk and sk sharing a byte.
  std::vector<uint8_t> both(TAVIK_HYBRID_PK_BYTES + TAVIK_HYBRID_SK_BYTES);
  const uint8_t seed[TAVIK_HYBRID_SEED_BYTES] = {};
  EXPECT_EQ(tavik_hybrid_keygen_from_seed(both.data(), both.data() + TAVIK_HYBRID_PK_BYTES - 1, seed), -2);
  EXPECT_EQ(tavik_hybrid_keygen(both.data(), both.data() + TAVIK_HYBRID_PK_BYTES - 1), -2);
  // Key generation from the random source gives a pair that signs and verifies.
  ASSERT_EQ(tavik_hybrid_keygen(both.data(), both.data() + TAVIK_HYBRID_PK_BYTES), 0);
  ASSERT_EQ(tavik_hybrid_sign(both.data() + TAVIK_HYBRID_PK_BYTES, nullptr, 0, msg.data(), 1, sig.data()), 0);
  EXPECT_EQ(tavik_hybrid_verify(both.data(), nullptr, 0, sig.data(), sig.size(), msg.data(), 1), 0);
}

}  // namespace
