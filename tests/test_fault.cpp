// Faults must not give the key away: hedged signing (every entry point, reproducible through the
// random source's seam), the fault attack it defeats, expanded keys that check themselves, the
// attempt bound, and a random source that does not answer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fips202.h"
#include "io.h"
#include "key_check.h"
#include "params.h"
#include "randombytes_seam.h"
#include "signature.h"
#include "tavik.h"
#include "tavik_api.h"

using namespace tavik;

namespace {

using Pk = std::array<uint8_t, PK_BYTES>;
using Sk = std::array<uint8_t, SK_BYTES>;
using Sig = std::array<uint8_t, SIG_BYTES>;

struct Keys {
  Pk pk;
  Sk sk;
  tavik_expanded_sk xsk;
};

std::unique_ptr<Keys> keys(uint8_t b) {
  auto k = std::make_unique<Keys>();
  uint8_t seed[SEED_BYTES];
  for (size_t i = 0; i < SEED_BYTES; ++i) seed[i] = uint8_t(b + 3 * i);
  EXPECT_EQ(sig_keygen_from_seed(k->pk.data(), k->sk.data(), seed), 0);
  EXPECT_EQ(tavik_expand_sk(&k->xsk, k->sk.data()), 0);
  return k;
}

// The random source's seam: getrandom answers with the bytes in `fixed` (repeated), or fails
// together with the device, whose waits cost nothing.
uint8_t fixed[TAVIK_HEDGE_BYTES];
int sleeps = 0;
long fixed_getrandom(long, void *buf, size_t len, unsigned) {
  for (size_t i = 0; i < len; ++i) static_cast<uint8_t *>(buf)[i] = fixed[i % sizeof fixed];
  return long(len);
}
long failing_getrandom(long, void *, size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}
int failing_open(const char *, int) { return -1; }
unsigned no_sleep(unsigned) {
  ++sleeps;
  return 0;
}

class Seam : public ::testing::Test {
 protected:
  void TearDown() override { randombytes_seam_reset(); }
};

using HedgedSigning = Seam;

// With the same random bytes, every hedged entry point makes the same signature, which verifies,
// differs from the deterministic one and changes with the random bytes.
TEST_F(HedgedSigning, EveryEntryPointMixesTheRandomBytesAlike) {
  const auto k = keys(1);
  std::vector<uint8_t> msg(5000);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = uint8_t(i * 31);
  for (size_t len : {size_t(0), size_t(59), msg.size()}) {
    Sig det, want;
    ASSERT_EQ(tavik_sign(k->sk.data(), msg.data(), len, det.data()), 0);
    for (uint8_t r : {0, 1}) {
      std::memset(fixed, r, sizeof fixed);
      ASSERT_EQ(sign_hedged_with(k->sk.data(), msg.data(), len, want.data(), fixed), 0);
      EXPECT_NE(want, det);
      EXPECT_EQ(tavik_verify(k->pk.data(), want.data(), SIG_BYTES, msg.data(), len), 0);

      randombytes_platform.syscall3 = fixed_getrandom;
      Sig got[4];
      tavik_sign_state st;
      EXPECT_EQ(tavik_sign_hedged(k->sk.data(), msg.data(), len, got[0].data()), 0);
      EXPECT_EQ(tavik_sign_expanded_hedged(&k->xsk, msg.data(), len, got[1].data()), 0);
      ASSERT_EQ(tavik_sign_init_hedged(&st, k->sk.data()), 0);
      ASSERT_EQ(tavik_sign_update(&st, msg.data(), len), 0);
      EXPECT_EQ(tavik_sign_final(&st, got[2].data()), 0);
      ASSERT_EQ(tavik_sign_init_expanded_hedged(&st, &k->xsk), 0);
      ASSERT_EQ(tavik_sign_update(&st, msg.data(), len), 0);
      EXPECT_EQ(tavik_sign_final(&st, got[3].data()), 0);
      for (const Sig &g : got) EXPECT_EQ(g, want) << "length " << len << ", random byte " << int(r);
      randombytes_seam_reset();
    }
  }
  // Fresh random bytes: two hedged signatures of one message differ.
  Sig a, b;
  ASSERT_EQ(tavik_sign_hedged(k->sk.data(), msg.data(), 59, a.data()), 0);
  ASSERT_EQ(tavik_sign_hedged(k->sk.data(), msg.data(), 59, b.data()), 0);
  EXPECT_NE(a, b);
}

// The fault attack a stored key's check defeats: signatures of one message under an intact key and
// under the same key with one bit of rho flipped would share their mask whenever the same attempt
// succeeds, and z - z' = (c - c') * s1 would give s1 away. Every signing call from a stored key
// rebuilds the public part and refuses a key whose parts disagree, writing nothing: one bit
// flipped anywhere but in the mask seed (bytes 32 to 63, which only choose the masks).
TEST(FaultAttack, EverySigningCallRefusesAKeyWhosePartsDisagree) {
  const auto k = keys(7);
  const uint8_t msg[59] = {1, 2, 3};
  Sig sig;
  sig.fill(0x21);
  tavik_sign_state st;
  struct Call {
    const char *name;
    std::function<int32_t(const uint8_t *)> sign;
  };
  const Call calls[] = {
      {"sig_sign", [&](const uint8_t *sk) { uint64_t n = 0; return sig_sign(sk, msg, sizeof msg, sig.data(), &n); }},
      {"tavik_sign", [&](const uint8_t *sk) { return tavik_sign(sk, msg, sizeof msg, sig.data()); }},
      {"tavik_sign_hedged", [&](const uint8_t *sk) { return tavik_sign_hedged(sk, msg, sizeof msg, sig.data()); }},
      {"streamed",
       [&](const uint8_t *sk) {
         EXPECT_EQ(tavik_sign_init(&st, sk), 0);
         EXPECT_EQ(tavik_sign_update(&st, msg, sizeof msg), 0);
         const int32_t r = tavik_sign_final(&st, sig.data());
         // Refused: the state is left as it was, and can be wiped.
         EXPECT_EQ(tavik_sign_update(&st, msg, 1), r == TAVIK_ILLEGAL_PARAMETER ? 0 : -2);
         tavik_sign_state_wipe(&st);
         return r;
       }},
      {"streamed hedged",
       [&](const uint8_t *sk) {
         EXPECT_EQ(tavik_sign_init_hedged(&st, sk), 0);
         const int32_t r = tavik_sign_final(&st, sig.data());
         tavik_sign_state_wipe(&st);
         return r;
       }},
      {"crypto_sign_signature",
       [&](const uint8_t *sk) {
         size_t n = 0;
         return crypto_sign_signature(sig.data(), &n, msg, sizeof msg, sk) == 0 ? 0 : -2;
       }},
  };
  for (const Call &c : calls) {
    Sk damaged = k->sk;
    damaged[5] ^= 0x10;  // in rho
    EXPECT_EQ(c.sign(damaged.data()), -2) << c.name;
  }
  for (uint8_t b : sig) ASSERT_EQ(b, 0x21);
  // One bit in every seventh byte over the whole key, the mask seed excepted.
  for (size_t at = 0; at < SK_BYTES; at += 7) {
    if (at >= SEED_BYTES && at < 2 * SEED_BYTES) continue;
    Sk damaged = k->sk;
    damaged[at] ^= uint8_t(1 << at % 8);
    ASSERT_EQ(tavik_sign(damaged.data(), msg, sizeof msg, sig.data()), -2) << "byte " << at;
  }
  for (uint8_t b : sig) ASSERT_EQ(b, 0x21);
  for (const Call &c : calls) EXPECT_EQ(c.sign(k->sk.data()), 0) << c.name << ", intact key";
  // Now that the intact key is remembered as checked, a changed copy is rebuilt and refused all
  // the same: one bit in every eleventh byte, and in each of the key's last bytes (t0's end).
  sig.fill(0x21);
  for (size_t at = 1; at < SK_BYTES; at += at < SK_BYTES - 16 ? 11 : 1) {
    if (at >= SEED_BYTES && at < 2 * SEED_BYTES) continue;
    Sk damaged = k->sk;
    damaged[at] ^= uint8_t(0x80 >> at % 8);
    ASSERT_EQ(tavik_sign(damaged.data(), msg, sizeof msg, sig.data()), -2) << "remembered key, byte " << at;
  }
  for (uint8_t b : sig) ASSERT_EQ(b, 0x21);
}

// A stored key whose parts disagree is refused by tavik_expand_sk; an expanded key changed after
// it was made is refused by every call that uses it, with nothing written.
TEST(ExpandedCheck, DamagedKeysAreRefused) {
  const auto k = keys(3);
  const uint8_t msg[59] = {1};
  for (size_t at : {size_t(5), size_t(2 * SEED_BYTES + 3), SK1_BYTES + 2, SK_BYTES - 1}) {  // rho, s1, tr, t0
    Sk damaged = k->sk;
    damaged[at] ^= 0x04;
    auto x = std::make_unique<tavik_expanded_sk>();
    EXPECT_EQ(tavik_expand_sk(x.get(), damaged.data()), -2) << "byte " << at;
  }
  auto x = std::make_unique<tavik_expanded_sk>();
  const auto *bytes = reinterpret_cast<const uint8_t *>(&k->xsk);
  for (size_t at : {size_t(0), size_t(20480), size_t(30000), size_t(32840)}) {  // A, s1, s2 with t0x, tr
    std::memcpy(x.get(), &k->xsk, sizeof *x);
    reinterpret_cast<uint8_t *>(x.get())[at] ^= 0x01;
    ASSERT_NE(bytes[at], reinterpret_cast<const uint8_t *>(x.get())[at]);
    Sig sig;
    sig.fill(0x77);
    tavik_sign_state st;
    EXPECT_EQ(tavik_sign_expanded(x.get(), msg, sizeof msg, sig.data()), -2) << "byte " << at;
    EXPECT_EQ(tavik_sign_expanded_hedged(x.get(), msg, sizeof msg, sig.data()), -2) << "byte " << at;
    EXPECT_EQ(tavik_sign_init_expanded(&st, x.get()), -2) << "byte " << at;
    // Damage after a streaming state was started is found by its final call.
    std::memcpy(x.get(), &k->xsk, sizeof *x);
    ASSERT_EQ(tavik_sign_init_expanded(&st, x.get()), 0);
    reinterpret_cast<uint8_t *>(x.get())[at] ^= 0x01;
    EXPECT_EQ(tavik_sign_final(&st, sig.data()), -2) << "byte " << at;
    tavik_sign_state_wipe(&st);
    for (uint8_t b : sig) ASSERT_EQ(b, 0x77);
  }
}

// A changed expanded key passes its check only when the check value is remade over the change
// (here by the test, which reads the process's check key; a caller cannot). Then a key that cannot
// sign (three words of t0's transform changed by +1, -2, +1, 32 bytes apart, which cancelled the
// former unkeyed sums) makes every attempt fail: signing stops at its bound with
// TAVIK_SIGNING_FAILED and writes nothing, instead of running for ever.
TEST(AttemptBound, SigningStopsOnAKeyThatCannotSign) {
  const auto k = keys(4);
  auto x = std::make_unique<tavik_expanded_sk>();
  std::memcpy(x.get(), &k->xsk, sizeof *x);
  uint32_t *t0 = reinterpret_cast<uint32_t *>(x.get()) + K * L * N + L / 2 * N;  // after A and s1
  uint32_t i = 0;
  while (!(t0[i] + 1 < Q && t0[i + 8] >= 2 && t0[i + 16] + 1 < Q)) ++i;
  t0[i] += 1;
  t0[i + 8] -= 2;
  t0[i + 16] += 1;
  const uint8_t msg[59] = {9};
  Sig sig;
  sig.fill(0x5A);
  EXPECT_EQ(tavik_sign_expanded(x.get(), msg, sizeof msg, sig.data()), -2) << "the keyed check sees it";
  constexpr size_t contents = (K * L * N + L / 2 * N + 2 * K * N) * 4 + SEED_BYTES + CRH_BYTES;
  const KeyCheckValue v = key_check_of(x.get(), contents, active_backend());
  std::memcpy(reinterpret_cast<uint8_t *>(x.get()) + contents, &v, sizeof v);
  EXPECT_EQ(tavik_sign_expanded(x.get(), msg, sizeof msg, sig.data()), TAVIK_SIGNING_FAILED);
  for (uint8_t b : sig) ASSERT_EQ(b, 0x5A);
}

using NoRandomness = Seam;

// No random source answers: key generation and every hedged call report it within the stated
// number of one-second waits and write nothing; deterministic signing is unaffected.
TEST_F(NoRandomness, IsReportedAndNothingIsWritten) {
  const auto k = keys(5);
  randombytes_seam_reset();
  randombytes_platform.syscall3 = failing_getrandom;
  randombytes_platform.open = failing_open;
  randombytes_platform.sleep = no_sleep;
  sleeps = 0;
  Pk pk;
  Sk sk;
  pk.fill(1);
  sk.fill(2);
  EXPECT_EQ(sig_keygen(pk.data(), sk.data()), TAVIK_NO_RANDOMNESS);
  EXPECT_EQ(sleeps, TAVIK_RANDOM_TIMEOUT_SECONDS);
  for (uint8_t b : pk) ASSERT_EQ(b, 1);
  for (uint8_t b : sk) ASSERT_EQ(b, 2);

  const uint8_t msg[59] = {3};
  Sig sig;
  sig.fill(0x44);
  tavik_sign_state st;
  EXPECT_EQ(tavik_sign_hedged(k->sk.data(), msg, sizeof msg, sig.data()), TAVIK_NO_RANDOMNESS);
  EXPECT_EQ(tavik_sign_expanded_hedged(&k->xsk, msg, sizeof msg, sig.data()), TAVIK_NO_RANDOMNESS);
  ASSERT_EQ(tavik_sign_init_hedged(&st, k->sk.data()), 0);
  EXPECT_EQ(tavik_sign_final(&st, sig.data()), TAVIK_NO_RANDOMNESS);
  EXPECT_EQ(tavik_sign_update(&st, msg, 1), -2) << "the state is wiped";
  for (uint8_t b : sig) ASSERT_EQ(b, 0x44);
  EXPECT_EQ(tavik_sign(k->sk.data(), msg, sizeof msg, sig.data()), 0);
}

// The check key of the expanded keys comes from the random source at the first expansion: with no
// source answering, both expansions report TAVIK_NO_RANDOMNESS and write nothing (no fixed key is
// used), and keys expanded under an earlier check key are refused. Run in a child process, whose
// check key is forgotten first.
TEST_F(NoRandomness, ExpansionWithoutACheckKeyIsReported) {
  const auto k = keys(6);
  EXPECT_EXIT(
      {
        key_check_seam_forget();
        randombytes_platform.syscall3 = failing_getrandom;
        randombytes_platform.open = failing_open;
        randombytes_platform.sleep = no_sleep;
        auto x = std::make_unique<Keys>();
        std::memset(x.get(), 0x11, sizeof *x);
        auto xpk = std::make_unique<tavik_expanded_pk>();
        std::memset(xpk.get(), 0x11, sizeof *xpk);
        const uint8_t msg[59] = {};
        Sig sig;
        bool ok = tavik_expand_sk(&x->xsk, k->sk.data()) == TAVIK_NO_RANDOMNESS &&
                  tavik_expand_pk(xpk.get(), k->pk.data()) == TAVIK_NO_RANDOMNESS &&
                  tavik_sign_expanded(&k->xsk, msg, sizeof msg, sig.data()) == -2;
        for (size_t i = 0; i < sizeof x->xsk; ++i) ok = ok && reinterpret_cast<uint8_t *>(&x->xsk)[i] == 0x11;
        for (size_t i = 0; i < sizeof *xpk; ++i) ok = ok && reinterpret_cast<uint8_t *>(xpk.get())[i] == 0x11;
        // Deterministic signing needs no check key: it neither waits for the source nor remembers
        // keys, and rebuilds every key it signs (a damaged one is refused).
        const int slept = sleeps;
        Sk damaged = k->sk;
        damaged[5] ^= 0x01;
        ok = ok && tavik_sign(k->sk.data(), msg, sizeof msg, sig.data()) == 0 &&
             tavik_sign(damaged.data(), msg, sizeof msg, sig.data()) == -2 && sleeps == slept;
        randombytes_seam_reset();
        ok = ok && tavik_expand_sk(&x->xsk, k->sk.data()) == 0 &&
             tavik_sign_expanded(&x->xsk, msg, sizeof msg, sig.data()) == 0 &&
             tavik_sign_expanded(&k->xsk, msg, sizeof msg, sig.data()) == -2;
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Hedged signing for fixed random bytes is pinned: the mask key hashes the label, the key, the
// random bytes and the digest (leaving any of them out, the label included, changes it).
TEST(HedgedKnownAnswer, FixedRandomBytes) {
  const auto k = keys(1);
  uint8_t msg[59], rnd[TAVIK_HEDGE_BYTES];
  for (uint8_t i = 0; i < sizeof msg; ++i) msg[i] = i;
  for (uint8_t i = 0; i < sizeof rnd; ++i) rnd[i] = uint8_t(0xA0 + i);
  Sig sig;
  ASSERT_EQ(sign_hedged_with(k->sk.data(), msg, sizeof msg, sig.data(), rnd), 0);
  uint8_t d[16];
  shake256(d, sizeof d, sig.data(), SIG_BYTES);
  std::string hex;
  for (uint8_t b : d) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  EXPECT_EQ(hex, "05e352753eb2e6545baa218ff389e06e");  // the same bytes as before the key checks
  EXPECT_EQ(tavik_verify(k->pk.data(), sig.data(), SIG_BYTES, msg, sizeof msg), 0);
}

}  // namespace
