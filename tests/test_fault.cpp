// Faults must not give the key away: hedged signing (every entry point, reproducible through the
// random source's seam), the fault attack it defeats, expanded keys that check themselves, the
// attempt bound, and a random source that does not answer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "io.h"
#include "params.h"
#include "randombytes_seam.h"
#include "signature.h"
#include "tavik.h"

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

// Solves d * s = dz in Z_Q[x]/(x^256 + 1) for the L polynomials of dz, by elimination on the
// negacyclic matrix of d; false when d is not invertible. Values are residues in [0, Q).
bool ring_divide(std::vector<uint64_t> &s, const std::vector<uint64_t> &d, const std::vector<uint64_t> &dz) {
  const auto power = [](uint64_t b, uint64_t e) {
    uint64_t r = 1;
    for (; e; e >>= 1, b = b * b % Q)
      if (e & 1) r = r * b % Q;
    return r;
  };
  // Row i, column j: coefficient i of d * x^j; the right-hand sides follow column N.
  std::vector<std::vector<uint64_t>> m(N, std::vector<uint64_t>(N + L));
  for (uint32_t j = 0; j < N; ++j)
    for (uint32_t i = 0; i < N; ++i) m[(i + j) % N][j] = i + j < N ? d[i] : (Q - d[i]) % Q;
  for (uint32_t i = 0; i < N; ++i)
    for (uint32_t p = 0; p < L; ++p) m[i][N + p] = dz[p * N + i];
  for (uint32_t col = 0; col < N; ++col) {
    uint32_t pivot = col;
    while (pivot < N && m[pivot][col] == 0) ++pivot;
    if (pivot == N) return false;
    std::swap(m[pivot], m[col]);
    const uint64_t inv = power(m[col][col], Q - 2);
    for (auto &v : m[col]) v = v * inv % Q;
    for (uint32_t r = 0; r < N; ++r) {
      if (r == col || m[r][col] == 0) continue;
      const uint64_t f = m[r][col];
      for (uint32_t c = col; c < N + L; ++c) m[r][c] = (m[r][c] + (Q - f) * m[col][c]) % Q;
    }
  }
  s.assign(L * N, 0);
  for (uint32_t p = 0; p < L; ++p)
    for (uint32_t i = 0; i < N; ++i) s[p * N + i] = m[i][N + p];
  return true;
}

// The attack a hedge defeats: signatures of one message under an intact key and under the same key
// with one bit of rho flipped share their mask whenever the same attempt succeeds, and then
// z - z' = (c - c') * s1 gives s1 away. Deterministic pairs give it away; hedged pairs never do.
TEST(FaultAttack, OneFlippedBitOfRhoRevealsS1OnlyWithoutTheHedge) {
  const auto k = keys(7);
  Sk damaged = k->sk;
  damaged[5] ^= 0x10;  // in rho
  std::vector<uint64_t> s1(L * N);
  {
    uint32_t A[K * L * N], s1_raw[L * N], s2[K * N];
    uint8_t rho[SEED_BYTES], key[SEED_BYTES];
    unpack_sk1(A, rho, key, s1_raw, s2, k->sk.data());
    for (uint32_t i = 0; i < L * N; ++i) s1[i] = s1_raw[i] % Q;
  }
  const auto recovers_s1 = [&](const Sig &a, const Sig &b) {
    uint32_t za[L * N], ha[K * N], ca[N], zb[L * N], hb[K * N], cb[N];
    unpack_signature(za, ha, ca, a.data());
    unpack_signature(zb, hb, cb, b.data());
    std::vector<uint64_t> d(N), dz(L * N), s;
    for (uint32_t i = 0; i < N; ++i) d[i] = (uint64_t(ca[i]) + 2 * Q - cb[i]) % Q;
    for (uint32_t i = 0; i < L * N; ++i) dz[i] = (uint64_t(za[i]) + 2 * Q - zb[i]) % Q;
    return ring_divide(s, d, dz) && s == s1;
  };
  int deterministic = 0, hedged = 0;
  for (uint8_t m = 0; m < 8; ++m) {
    const uint8_t msg[59] = {m, 1, 2, 3};
    Sig a, b;
    ASSERT_EQ(tavik_sign(k->sk.data(), msg, sizeof msg, a.data()), 0);
    ASSERT_EQ(tavik_sign(damaged.data(), msg, sizeof msg, b.data()), 0);
    deterministic += recovers_s1(a, b);
    ASSERT_EQ(tavik_sign_hedged(k->sk.data(), msg, sizeof msg, a.data()), 0);
    ASSERT_EQ(tavik_sign_hedged(damaged.data(), msg, sizeof msg, b.data()), 0);
    hedged += recovers_s1(a, b);
  }
  std::printf("s1 recovered from %d of 8 deterministic pairs, %d of 8 hedged pairs\n", deterministic, hedged);
  EXPECT_GE(deterministic, 1) << "the attack no longer works on deterministic pairs: the test lost its teeth";
  EXPECT_EQ(hedged, 0);
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

// Damage the check cannot see (three words of t0's transform that meet the same running sum in
// turn, 32 bytes apart, changed by +1, -2, +1, which leaves every sum as it was) makes every attempt fail: signing stops at its bound with
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

}  // namespace
