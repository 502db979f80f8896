// Contexts and external mu: a context of 0 bytes is no context on every form, signing mu(M) is
// signing M, a signature verifies under its own context only, and bad contexts and misused mu
// states are refused with nothing written.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fips202.h"
#include "kernels.h"
#include "params.h"
#include "randombytes_seam.h"
#include "shake_lanes.h"
#include "signature.h"
#include "tavik.h"

using namespace tavik;

namespace {

using Sig = std::array<uint8_t, SIG_BYTES>;
using Mu = std::array<uint8_t, TAVIK_MU_BYTES>;
using Bytes = std::vector<uint8_t>;

struct Keys {
  uint8_t pk[PK_BYTES];
  uint8_t sk[SK_BYTES];
  tavik_expanded_sk xsk;
  tavik_expanded_pk xpk;
};

std::unique_ptr<Keys> keys(uint8_t b) {
  auto k = std::make_unique<Keys>();
  uint8_t seed[SEED_BYTES];
  for (size_t i = 0; i < SEED_BYTES; ++i) seed[i] = uint8_t(b + 5 * i);
  EXPECT_EQ(sig_keygen_from_seed(k->pk, k->sk, seed), 0);
  EXPECT_EQ(tavik_expand_sk(&k->xsk, k->sk), 0);
  EXPECT_EQ(tavik_expand_pk(&k->xpk, k->pk), 0);
  return k;
}

Bytes bytes(size_t n, uint8_t b) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(b + 13 * i);
  return v;
}

// A context: its bytes (null when `null`) and its length (that of bytes unless given).
struct Ctx {
  const char *name;
  Bytes bytes;
  bool null = false;
  size_t len = SIZE_MAX;
  const uint8_t *data() const { return null ? nullptr : bytes.data(); }
  uint64_t size() const { return len == SIZE_MAX ? bytes.size() : len; }
};

// mu of msg under pk and ctx, fed in two pieces split at `cut`.
Mu mu_of(const uint8_t *pk, const Ctx &ctx, const Bytes &msg, size_t cut) {
  tavik_mu_state st;
  Mu mu{};
  EXPECT_EQ(tavik_mu_init(&st, pk, ctx.data(), ctx.size()), 0);
  EXPECT_EQ(tavik_mu_update(&st, msg.data(), cut), 0);
  EXPECT_EQ(tavik_mu_update(&st, msg.data() + cut, msg.size() - cut), 0);
  EXPECT_EQ(tavik_mu_final(&st, mu.data()), 0);
  return mu;
}

// Every way to sign msg under a context, hedged or not: one shot, streamed in two pieces and from
// mu, each from a stored and an expanded key.
using SignForm = std::function<int32_t(const Keys &, const Ctx &, const Bytes &, uint8_t *, bool)>;
const std::vector<std::pair<const char *, SignForm>> sign_forms = {
    {"one shot", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       return (h ? tavik_sign_ctx_hedged : tavik_sign_ctx)(k.sk, c.data(), c.size(), m.data(), m.size(), s);
     }},
    {"one shot, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       const auto f = h ? tavik_sign_expanded_ctx_hedged : tavik_sign_expanded_ctx;
       return f(&k.xsk, c.data(), c.size(), m.data(), m.size(), s);
     }},
    {"streamed", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       tavik_sign_state st;
       EXPECT_EQ((h ? tavik_sign_init_ctx_hedged : tavik_sign_init_ctx)(&st, k.sk, c.data(), c.size()), 0);
       EXPECT_EQ(tavik_sign_update(&st, m.data(), m.size() / 3), 0);
       EXPECT_EQ(tavik_sign_update(&st, m.data() + m.size() / 3, m.size() - m.size() / 3), 0);
       return tavik_sign_final(&st, s);
     }},
    {"streamed, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       tavik_sign_state st;
       const auto init = h ? tavik_sign_init_expanded_ctx_hedged : tavik_sign_init_expanded_ctx;
       EXPECT_EQ(init(&st, &k.xsk, c.data(), c.size()), 0);
       EXPECT_EQ(tavik_sign_update(&st, m.data(), m.size()), 0);
       return tavik_sign_final(&st, s);
     }},
    {"from mu", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       return (h ? tavik_sign_mu_hedged : tavik_sign_mu)(k.sk, mu_of(k.pk, c, m, m.size() / 2).data(), s);
     }},
    {"from mu, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, uint8_t *s, bool h) {
       const auto f = h ? tavik_sign_expanded_mu_hedged : tavik_sign_expanded_mu;
       return f(&k.xsk, mu_of(k.pk, c, m, m.size() > 0).data(), s);
     }},
};

// Every way to verify: one shot, streamed and against mu, each under a stored and an expanded key.
using VerifyForm = std::function<int32_t(const Keys &, const Ctx &, const Bytes &, const Sig &)>;
const std::vector<std::pair<const char *, VerifyForm>> verify_forms = {
    {"one shot", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       return tavik_verify_ctx(k.pk, c.data(), c.size(), s.data(), SIG_BYTES, m.data(), m.size());
     }},
    {"one shot, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       return tavik_verify_expanded_ctx(&k.xpk, c.data(), c.size(), s.data(), SIG_BYTES, m.data(), m.size());
     }},
    {"streamed", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       tavik_verify_state st;
       EXPECT_EQ(tavik_verify_init_ctx(&st, k.pk, c.data(), c.size()), 0);
       EXPECT_EQ(tavik_verify_update(&st, m.data(), m.size()), 0);
       return tavik_verify_final(&st, s.data(), SIG_BYTES);
     }},
    {"streamed, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       tavik_verify_state st;
       EXPECT_EQ(tavik_verify_init_expanded_ctx(&st, &k.xpk, c.data(), c.size()), 0);
       EXPECT_EQ(tavik_verify_update(&st, m.data(), m.size()), 0);
       return tavik_verify_final(&st, s.data(), SIG_BYTES);
     }},
    {"against mu", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       return tavik_verify_mu(k.pk, s.data(), SIG_BYTES, mu_of(k.pk, c, m, 0).data());
     }},
    {"against mu, expanded", [](const Keys &k, const Ctx &c, const Bytes &m, const Sig &s) {
       return tavik_verify_expanded_mu(&k.xpk, s.data(), SIG_BYTES, mu_of(k.pk, c, m, m.size()).data());
     }},
};

// The random source's seam: getrandom answers with `fixed` (repeated).
uint8_t fixed[TAVIK_HEDGE_BYTES];
long fixed_getrandom(long, void *buf, size_t len, unsigned) {
  for (size_t i = 0; i < len; ++i) static_cast<uint8_t *>(buf)[i] = fixed[i % sizeof fixed];
  return long(len);
}

class Context : public ::testing::Test {
 protected:
  void TearDown() override { randombytes_seam_reset(); }
};

// Every form, deterministic and hedged (the same random bytes), signs the same bytes for a message
// and its mu; with no context, or a context of 0 bytes (null or not), the bytes of tavik_sign and
// of hedged signing without a context; with a context, other bytes, which verify under it.
TEST_F(Context, EveryFormSignsTheSameBytesAndZeroBytesIsNoContext) {
  const auto k = keys(1);
  const Ctx contexts[] = {{"none", {}, true}, {"0 bytes, not null", bytes(4, 9), false, 0}, {"1 byte", bytes(1, 'A')},
                          {"255 bytes", bytes(255, 3)}};
  std::memset(fixed, 0x5c, sizeof fixed);
  randombytes_platform.syscall3 = fixed_getrandom;
  for (size_t len : {size_t(0), size_t(1000)}) {
    const Bytes m = bytes(len, uint8_t(len));
    Sig plain, plain_hedged;
    ASSERT_EQ(tavik_sign(k->sk, m.data(), len, plain.data()), 0);
    ASSERT_EQ(sign_hedged_with(k->sk, m.data(), len, plain_hedged.data(), fixed), 0);
    for (const Ctx &c : contexts) {
      const bool none = c.size() == 0;
      for (bool hedged : {false, true}) {
        Sig want{};
        if (none) {
          want = hedged ? plain_hedged : plain;
        } else {
          ASSERT_EQ(sign_forms[0].second(*k, c, m, want.data(), hedged), 0);
          EXPECT_NE(want, hedged ? plain_hedged : plain) << c.name;
        }
        for (const auto &[name, sign] : sign_forms) {
          Sig got{};
          ASSERT_EQ(sign(*k, c, m, got.data(), hedged), 0) << name;
          EXPECT_EQ(got, want) << name << ", " << c.name << ", hedged " << hedged << ", length " << len;
        }
        EXPECT_EQ(tavik_verify_ctx(k->pk, c.data(), c.size(), want.data(), SIG_BYTES, m.data(), len), 0) << c.name;
        EXPECT_EQ(tavik_verify(k->pk, want.data(), SIG_BYTES, m.data(), len), none ? 0 : 1) << c.name;
      }
    }
  }
}

// mu = SHAKE256(tr_ctx || M), tr_ctx = SHAKE256("tavik-c context v1" || tr || len || ctx), or
// SHAKE256(tr || M) without a context, whatever the pieces the message comes in.
TEST_F(Context, MuIsTheDigestOfTheContextsHashAndTheMessage) {
  const auto k = keys(2);
  const Bytes m = bytes(700, 7), ctx = bytes(32, 1);
  uint8_t tr[CRH_BYTES], tr_ctx[CRH_BYTES];
  shake256(tr, sizeof tr, k->pk, PK_BYTES);
  Bytes in = {'t', 'a', 'v', 'i', 'k', '-', 'c', ' ', 'c', 'o', 'n', 't', 'e', 'x', 't', ' ', 'v', '1'};
  in.insert(in.end(), tr, tr + CRH_BYTES);
  in.push_back(uint8_t(ctx.size()));
  in.insert(in.end(), ctx.begin(), ctx.end());
  shake256(tr_ctx, sizeof tr_ctx, in.data(), in.size());
  for (const auto &[pre, c] : {std::pair{tr, Ctx{"none", {}, true}}, std::pair{tr_ctx, Ctx{"32 bytes", ctx}}}) {
    Bytes whole(pre, pre + CRH_BYTES);
    whole.insert(whole.end(), m.begin(), m.end());
    Mu want;
    shake256(want.data(), want.size(), whole.data(), whole.size());
    for (size_t cut : {size_t(0), size_t(87), size_t(88), size_t(89), m.size()})
      EXPECT_EQ(mu_of(k->pk, c, m, cut), want) << c.name << ", cut at " << cut;
  }
}

// A signature verifies under the context it was made under and no other: none, one byte, another
// byte, the first byte and a zero (length differs), 255 bytes; on every verification form, and
// for the stored key's one shot on each way it runs the hashes (rows, lanes, eight lanes).
TEST_F(Context, ASignatureVerifiesUnderItsOwnContextOnly) {
  const auto k = keys(3);
  const Bytes m = bytes(59, 3);
  const std::vector<Ctx> contexts = {{"none", {}, true},
                                     {"A", {'A'}},
                                     {"B", {'B'}},
                                     {"A and a zero byte", {'A', 0}},
                                     {"255 bytes", bytes(255, 'A')}};
  std::vector<Sig> sigs(contexts.size());
  for (size_t i = 0; i < contexts.size(); ++i)
    ASSERT_EQ(tavik_sign_ctx(k->sk, contexts[i].data(), contexts[i].size(), m.data(), m.size(), sigs[i].data()), 0);
  for (size_t i = 0; i < contexts.size(); ++i)
    for (size_t j = 0; j < contexts.size(); ++j)
      for (const auto &[name, verify] : verify_forms)
        EXPECT_EQ(verify(*k, contexts[j], m, sigs[i]), i == j ? 0 : 1)
            << name << ": signed under " << contexts[i].name << ", verified under " << contexts[j].name;
  const uint32_t chosen = keccak_lanes().width;
  for (uint32_t width : {4u, 8u}) {
    keccak_lanes_use(width);
    for (bool in_lanes : {false, true}) {
      Kernels kern = kernels();
      kern.side_hashes_in_lanes = in_lanes;
      const KernelsInThread use(kern);
      for (size_t i = 0; i < contexts.size(); ++i)
        for (size_t j = 0; j < contexts.size(); ++j)
          EXPECT_EQ(verify_forms[0].second(*k, contexts[j], m, sigs[i]), i == j ? 0 : 1)
              << width << " lanes, in lanes " << in_lanes << ": " << contexts[i].name << " / " << contexts[j].name;
    }
  }
  keccak_lanes_use(chosen);
}

// A context of 256 bytes, or a null one of some length, is refused by every call that takes one
// (-2), which writes nothing and starts no state.
TEST_F(Context, BadContextsAreRefusedAndNothingIsWritten) {
  const auto k = keys(4);
  const Bytes m = bytes(59, 4), long_ctx = bytes(256, 1);
  Sig good;
  ASSERT_EQ(tavik_sign(k->sk, m.data(), m.size(), good.data()), 0);
  for (const Ctx &c : {Ctx{"256 bytes (must fail)", long_ctx}, Ctx{"null with length 1 (must fail)", {1}, true}}) {
    Sig sig;
    sig.fill(0xa5);
    EXPECT_EQ(tavik_sign_ctx(k->sk, c.data(), c.size(), m.data(), m.size(), sig.data()), -2) << c.name;
    EXPECT_EQ(tavik_sign_ctx_hedged(k->sk, c.data(), c.size(), m.data(), m.size(), sig.data()), -2) << c.name;
    EXPECT_EQ(tavik_sign_expanded_ctx(&k->xsk, c.data(), c.size(), m.data(), m.size(), sig.data()), -2) << c.name;
    EXPECT_EQ(tavik_sign_expanded_ctx_hedged(&k->xsk, c.data(), c.size(), m.data(), m.size(), sig.data()), -2)
        << c.name;
    for (uint8_t b : sig) ASSERT_EQ(b, 0xa5) << c.name;
    EXPECT_EQ(tavik_verify_ctx(k->pk, c.data(), c.size(), good.data(), SIG_BYTES, m.data(), m.size()), -2) << c.name;
    EXPECT_EQ(tavik_verify_expanded_ctx(&k->xpk, c.data(), c.size(), good.data(), SIG_BYTES, m.data(), m.size()), -2)
        << c.name;
    tavik_sign_state ss{};
    tavik_verify_state vs{};
    tavik_mu_state ms{};
    EXPECT_EQ(tavik_sign_init_ctx(&ss, k->sk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_sign_init_ctx_hedged(&ss, k->sk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_sign_init_expanded_ctx(&ss, &k->xsk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_sign_init_expanded_ctx_hedged(&ss, &k->xsk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_verify_init_ctx(&vs, k->pk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_verify_init_expanded_ctx(&vs, &k->xpk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_mu_init(&ms, k->pk, c.data(), c.size()), -2) << c.name;
    EXPECT_EQ(tavik_sign_update(&ss, m.data(), m.size()), -2) << "no state started";
    EXPECT_EQ(tavik_verify_update(&vs, m.data(), m.size()), -2) << "no state started";
    EXPECT_EQ(tavik_mu_update(&ms, m.data(), m.size()), -2) << "no state started";
  }
}

// A mu state refuses (-2, mu not written) what no call sequence makes: final twice, an update
// after final, a state never started, a sponge position overwritten, and a key, context or mu
// buffer inside the state. A refused final leaves the state usable.
TEST_F(Context, MisusedMuStatesAreRefused) {
  const auto k = keys(5);
  const Bytes m = bytes(59, 5);
  const Mu want = mu_of(k->pk, Ctx{"none", {}, true}, m, 0);
  auto st = std::make_unique<tavik_mu_state>();
  auto *raw = reinterpret_cast<uint8_t *>(st.get());
  Mu mu;
  mu.fill(0x33);
  const Mu untouched = mu;
  EXPECT_EQ(tavik_mu_update(st.get(), m.data(), m.size()), -2) << "never started";
  EXPECT_EQ(tavik_mu_final(st.get(), mu.data()), -2) << "never started";
  ASSERT_EQ(tavik_mu_init(st.get(), k->pk, nullptr, 0), 0);
  ASSERT_EQ(tavik_mu_update(st.get(), m.data(), m.size()), 0);
  EXPECT_EQ(tavik_mu_final(st.get(), raw + 100), -2) << "mu inside the state";
  EXPECT_EQ(tavik_mu_final(st.get(), nullptr), -2);
  EXPECT_EQ(tavik_mu_update(st.get(), raw + 8, 4), -2) << "message inside the state";
  ASSERT_EQ(tavik_mu_final(st.get(), mu.data()), 0) << "refused calls leave the state usable";
  EXPECT_EQ(mu, want);
  mu = untouched;
  EXPECT_EQ(tavik_mu_final(st.get(), mu.data()), -2) << "final twice";
  EXPECT_EQ(tavik_mu_update(st.get(), m.data(), m.size()), -2) << "update after final";
  EXPECT_EQ(mu, untouched);

  constexpr size_t POS_AT = 8 + 25 * 8;  // after the tag and the sponge's lanes
  ASSERT_EQ(tavik_mu_init(st.get(), k->pk, m.data(), 5), 0);
  uint64_t pos = 0;
  std::memcpy(&pos, raw + POS_AT, 8);
  ASSERT_EQ(pos, uint64_t(CRH_BYTES)) << "the position lies where the test writes";
  pos = 136;
  std::memcpy(raw + POS_AT, &pos, 8);
  EXPECT_EQ(tavik_mu_update(st.get(), m.data(), m.size()), -2) << "position overwritten";
  EXPECT_EQ(tavik_mu_final(st.get(), mu.data()), -2) << "position overwritten";
  EXPECT_EQ(mu, untouched);

  EXPECT_EQ(tavik_mu_init(st.get(), raw, nullptr, 0), -2) << "key inside the state";
  EXPECT_EQ(tavik_mu_init(st.get(), k->pk, raw + 10, 3), -2) << "context inside the state";
  tavik_mu_state_wipe(st.get());
  EXPECT_EQ(tavik_mu_update(st.get(), m.data(), m.size()), -2) << "wiped";
}

}  // namespace
