// The calls over messages of any length: one shot and streamed, against sig_sign and sig_verf.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fips202.h"
#include "params.h"
#include "tavik.h"

using namespace tavik;

namespace {

using Sig = std::array<uint8_t, SIG_BYTES>;

struct KeyPair {
  uint8_t pk[PK_BYTES];
  uint8_t sk[SK_BYTES];
};

KeyPair random_keys(std::mt19937_64 &rng) {
  uint8_t seed[SEED_BYTES];
  for (auto &b : seed) b = uint8_t(rng());
  KeyPair kp;
  EXPECT_EQ(sig_keygen_from_seed(kp.pk, kp.sk, seed), 0);
  return kp;
}

std::vector<uint8_t> random_bytes(std::mt19937_64 &rng, size_t len) {
  std::vector<uint8_t> m(len);
  for (auto &b : m) b = uint8_t(rng());
  return m;
}

// Cut points of [0, len): random pieces, many of them empty, or one byte at a time.
std::vector<size_t> cuts(std::mt19937_64 &rng, size_t len, bool bytewise) {
  std::vector<size_t> sizes;
  for (size_t done = 0; done < len;) {
    size_t n = bytewise ? 1 : size_t(rng() % 4 == 0 ? 0 : rng() % 300);
    n = std::min(n, len - done);
    sizes.push_back(n);
    done += n;
  }
  sizes.push_back(0);
  return sizes;
}

Sig sign_streamed(const uint8_t *sk, const std::vector<uint8_t> &m, const std::vector<size_t> &pieces) {
  tavik_sign_state st;
  Sig sig;
  EXPECT_EQ(tavik_sign_init(&st, sk), 0);
  size_t off = 0;
  for (size_t n : pieces) {
    EXPECT_EQ(tavik_sign_update(&st, n ? m.data() + off : nullptr, n), 0);
    off += n;
  }
  EXPECT_EQ(tavik_sign_final(&st, sig.data()), 0);
  return sig;
}

int verify_streamed(const uint8_t *pk, const Sig &sig, const std::vector<uint8_t> &m,
                    const std::vector<size_t> &pieces) {
  tavik_verify_state st;
  EXPECT_EQ(tavik_verify_init(&st, pk), 0);
  size_t off = 0;
  for (size_t n : pieces) {
    EXPECT_EQ(tavik_verify_update(&st, m.data() + off, n), 0);
    off += n;
  }
  return tavik_verify_final(&st, sig.data(), sig.size());
}

template <typename State>
bool all_zero(const State &st) {
  const auto *p = reinterpret_cast<const uint8_t *>(&st);
  for (size_t i = 0; i < sizeof st; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

// The incremental SHAKE256 under message hashing gives the one-shot output for any cutting,
// across block boundaries.
TEST(Api, StreamedShakeMatchesOneShot) {
  std::mt19937_64 rng(1);
  for (size_t len : {0, 1, 7, 8, 135, 136, 137, 271, 272, 273, 1000, 5000}) {
    const auto in = random_bytes(rng, len);
    uint8_t want[SHAKE256_RATE], got[SHAKE256_RATE];
    shake256(want, sizeof want, in.data(), len);
    for (bool bytewise : {false, true}) {
      Shake256Stream st;
      shake256_stream_init(st);
      size_t off = 0;
      for (size_t n : cuts(rng, len, bytewise)) {
        shake256_stream_absorb(st, in.data() + off, n);
        off += n;
      }
      shake256_stream_finish(st, got, sizeof got);
      ASSERT_EQ(0, std::memcmp(want, got, sizeof got)) << "length " << len << " bytewise " << bytewise;
    }
  }
}

// For every length sig_sign accepts, the new calls give the same signature and verdicts, including
// for a wrong message and a damaged signature.
TEST(Api, OneShotCallsMatchTheFixedLengthCalls) {
  std::mt19937_64 rng(2);
  std::vector<size_t> lengths = {1, 2, 47, 48, 88, 89, 135, 136, 137, 1000, 3299, 3300};
  for (int i = 0; i < 60; ++i) lengths.push_back(1 + rng() % 3300);
  for (size_t len : lengths) {
    const KeyPair kp = random_keys(rng);
    auto m = random_bytes(rng, len);
    Sig want, got;
    uint64_t siglen = 0;
    ASSERT_EQ(sig_sign(kp.sk, m.data(), len, want.data(), &siglen), 0);
    ASSERT_EQ(tavik_sign(kp.sk, m.data(), len, got.data()), 0);
    ASSERT_EQ(want, got) << "length " << len;
    EXPECT_EQ(tavik_verify(kp.pk, got.data(), SIG_BYTES, m.data(), len), 0);

    Sig bad = got;
    bad[rng() % SIG_BYTES] ^= uint8_t(1u << (rng() % 8));
    m[rng() % len] ^= 1;
    for (const Sig *s : {&got, &bad}) {
      EXPECT_EQ(tavik_verify(kp.pk, s->data(), SIG_BYTES, m.data(), len),
                sig_verf(kp.pk, s->data(), SIG_BYTES, m.data(), len));
    }
  }
}

// Streaming at random boundaries, empty pieces and one byte at a time, gives the one-shot
// signature and verdicts, for the empty message and beyond the fixed-length calls' limit.
TEST(Api, StreamedCallsMatchOneShot) {
  std::mt19937_64 rng(3);
  const KeyPair kp = random_keys(rng), other = random_keys(rng);
  for (size_t len : {0, 1, 136, 3301, 5000, 1 << 20}) {
    auto m = random_bytes(rng, len);
    Sig want;
    ASSERT_EQ(tavik_sign(kp.sk, m.data(), len, want.data()), 0);
    EXPECT_EQ(tavik_verify(kp.pk, want.data(), SIG_BYTES, m.data(), len), 0);
    EXPECT_EQ(tavik_verify(other.pk, want.data(), SIG_BYTES, m.data(), len), 1);
    for (bool bytewise : {false, true}) {
      if (bytewise && len > 5000) continue;
      const auto pieces = cuts(rng, len, bytewise);
      ASSERT_EQ(sign_streamed(kp.sk, m, pieces), want) << "length " << len;
      EXPECT_EQ(verify_streamed(kp.pk, want, m, pieces), 0);
      EXPECT_EQ(verify_streamed(other.pk, want, m, pieces), 1);
    }
    // A message one byte longer, or with its last byte changed, is another message.
    auto longer = m;
    longer.push_back(0);
    EXPECT_EQ(tavik_verify(kp.pk, want.data(), SIG_BYTES, longer.data(), longer.size()), 1);
    if (len > 0) {
      m.back() ^= 0x80;
      EXPECT_EQ(verify_streamed(kp.pk, want, m, cuts(rng, len, false)), 1);
    }
  }
  // The empty message may be given as a null pointer.
  Sig a, b;
  const uint8_t byte = 0;
  ASSERT_EQ(tavik_sign(kp.sk, nullptr, 0, a.data()), 0);
  ASSERT_EQ(tavik_sign(kp.sk, &byte, 0, b.data()), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(tavik_verify(kp.pk, a.data(), SIG_BYTES, nullptr, 0), 0);
}

// Illegal arguments give -2 and write nothing; finishing wipes a state, after which it is refused;
// a refused final call leaves the state usable.
TEST(Api, ArgumentsAndStateLifecycle) {
  std::mt19937_64 rng(4);
  const KeyPair kp = random_keys(rng);
  const auto m = random_bytes(rng, 100);
  Sig sig, good;
  ASSERT_EQ(tavik_sign(kp.sk, m.data(), m.size(), good.data()), 0);
  sig.fill(0x33);
  EXPECT_EQ(tavik_sign(nullptr, m.data(), 1, sig.data()), -2);
  EXPECT_EQ(tavik_sign(kp.sk, nullptr, 1, sig.data()), -2);
  EXPECT_EQ(tavik_sign(kp.sk, m.data(), 1, nullptr), -2);
  for (uint8_t b : sig) ASSERT_EQ(b, 0x33);
  struct VerifyCase {
    const uint8_t *pk, *sig;
    uint64_t siglen;
    const uint8_t *msg;
  };
  for (const VerifyCase &c : {VerifyCase{nullptr, good.data(), SIG_BYTES, m.data()},
                              VerifyCase{kp.pk, nullptr, SIG_BYTES, m.data()},
                              VerifyCase{kp.pk, good.data(), SIG_BYTES, nullptr},
                              VerifyCase{kp.pk, good.data(), SIG_BYTES - 1, m.data()},
                              VerifyCase{kp.pk, good.data(), SIG_BYTES + 1, m.data()}}) {
    EXPECT_EQ(tavik_verify(c.pk, c.sig, c.siglen, c.msg, m.size()), -2);
  }

  tavik_sign_state ss;
  EXPECT_EQ(tavik_sign_init(nullptr, kp.sk), -2);
  EXPECT_EQ(tavik_sign_init(&ss, nullptr), -2);
  ASSERT_EQ(tavik_sign_init(&ss, kp.sk), 0);
  EXPECT_EQ(tavik_sign_update(&ss, nullptr, 1), -2);
  EXPECT_EQ(tavik_sign_update(&ss, m.data(), m.size()), 0);
  EXPECT_EQ(tavik_sign_final(&ss, nullptr), -2);
  ASSERT_EQ(tavik_sign_final(&ss, sig.data()), 0);
  EXPECT_EQ(sig, good);
  EXPECT_TRUE(all_zero(ss));
  EXPECT_EQ(tavik_sign_update(&ss, m.data(), 1), -2);
  EXPECT_EQ(tavik_sign_final(&ss, sig.data()), -2);
  ASSERT_EQ(tavik_sign_init(&ss, kp.sk), 0);
  tavik_sign_state_wipe(&ss);
  EXPECT_TRUE(all_zero(ss));
  EXPECT_EQ(tavik_sign_final(&ss, sig.data()), -2);

  tavik_verify_state vs;
  EXPECT_EQ(tavik_verify_init(nullptr, kp.pk), -2);
  EXPECT_EQ(tavik_verify_init(&vs, nullptr), -2);
  ASSERT_EQ(tavik_verify_init(&vs, kp.pk), 0);
  EXPECT_EQ(tavik_verify_update(&vs, nullptr, 1), -2);
  EXPECT_EQ(tavik_verify_update(&vs, m.data(), m.size()), 0);
  EXPECT_EQ(tavik_verify_final(&vs, good.data(), SIG_BYTES + 1), -2);
  EXPECT_EQ(tavik_verify_final(&vs, nullptr, SIG_BYTES), -2);
  EXPECT_EQ(tavik_verify_final(&vs, good.data(), SIG_BYTES), 0);
  EXPECT_TRUE(all_zero(vs));
  EXPECT_EQ(tavik_verify_update(&vs, m.data(), 1), -2);
  EXPECT_EQ(tavik_verify_final(&vs, good.data(), SIG_BYTES), -2);
}

// A state whose sponge position was overwritten is refused by every later call (the next absorb
// would write outside the state), and so is a message or signature buffer lying inside the state
// (the final call would wipe the signature it just wrote); a refused call leaves the state usable.
TEST(Api, HostileStatesAndBuffersInsideTheStateAreRefused) {
  std::mt19937_64 rng(6);
  const KeyPair kp = random_keys(rng);
  const auto m = random_bytes(rng, 5);
  Sig good, sig;
  ASSERT_EQ(tavik_sign(kp.sk, m.data(), m.size(), good.data()), 0);
  constexpr size_t POS_AT = 8 + 25 * 8;  // after the tag and the sponge's lanes
  tavik_sign_state ss;
  tavik_verify_state vs;
  for (uint64_t pos : {uint64_t(136), uint64_t(1) << 40}) {
    ASSERT_EQ(tavik_sign_init(&ss, kp.sk), 0);
    ASSERT_EQ(tavik_verify_init(&vs, kp.pk), 0);
    ASSERT_EQ(tavik_sign_update(&ss, m.data(), m.size()), 0);
    ASSERT_EQ(tavik_verify_update(&vs, m.data(), m.size()), 0);
    uint64_t now = 0;
    std::memcpy(&now, reinterpret_cast<uint8_t *>(&ss) + POS_AT, 8);
    ASSERT_EQ(now, CRH_BYTES + m.size()) << "the position lies where the test writes";
    std::memcpy(reinterpret_cast<uint8_t *>(&ss) + POS_AT, &pos, 8);
    std::memcpy(reinterpret_cast<uint8_t *>(&vs) + POS_AT, &pos, 8);
    sig.fill(0x44);
    EXPECT_EQ(tavik_sign_update(&ss, m.data(), m.size()), -2) << pos;
    EXPECT_EQ(tavik_verify_update(&vs, m.data(), m.size()), -2) << pos;
    EXPECT_EQ(tavik_sign_final(&ss, sig.data()), -2) << pos;
    EXPECT_EQ(tavik_verify_final(&vs, good.data(), SIG_BYTES), -2) << pos;
    for (uint8_t b : sig) ASSERT_EQ(b, 0x44);
  }
  struct Placed {  // a sign state with room for a signature that ends inside it
    uint8_t before[SIG_BYTES];
    tavik_sign_state st;
  };
  auto placed = std::make_unique<Placed>();
  tavik_sign_state &ss2 = placed->st;
  ASSERT_EQ(tavik_sign_init(&ss2, kp.sk), 0);
  ASSERT_EQ(tavik_verify_init(&vs, kp.pk), 0);
  auto *ss_bytes = reinterpret_cast<uint8_t *>(&ss2);
  auto *vs_bytes = reinterpret_cast<uint8_t *>(&vs);
  EXPECT_EQ(tavik_sign_update(&ss2, ss_bytes + 100, 10), -2);
  EXPECT_EQ(tavik_verify_update(&vs, vs_bytes + 100, 10), -2);
  ASSERT_EQ(tavik_sign_update(&ss2, m.data(), m.size()), 0);
  ASSERT_EQ(tavik_verify_update(&vs, m.data(), m.size()), 0);
  EXPECT_EQ(tavik_sign_final(&ss2, ss_bytes + 1000), -2);
  EXPECT_EQ(tavik_sign_final(&ss2, placed->before + sizeof placed->before - SIG_BYTES + 8), -2) << "its end inside";
  EXPECT_EQ(tavik_verify_final(&vs, vs_bytes + 16, SIG_BYTES), -2);
  ASSERT_EQ(tavik_sign_final(&ss2, sig.data()), 0);
  EXPECT_EQ(sig, good);
  EXPECT_EQ(tavik_verify_final(&vs, good.data(), SIG_BYTES), 0);
}
