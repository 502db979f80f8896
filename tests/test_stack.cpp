// The stack the three calls use and what they leave on it, measured on a thread whose stack is a
// mapping of ours (with an inaccessible page below it), filled with a known byte before each run.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "signature.h"
#include "params.h"
#include "randombytes_seam.h"
#include "tavik.h"
#include "tavik_api.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVIK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVIK_TEST_ASAN 1
#endif
#endif

using namespace tavik;

namespace {

constexpr size_t PAGE = 4096;
constexpr uint8_t FILL = 0x5C;
constexpr size_t MARGIN = 4096;  // just below the runner's frame: its own copy, not the call's

class Stack {
 public:
  explicit Stack(size_t size) : size_(size) {
    void *m = mmap(nullptr, size + PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    map_ = static_cast<uint8_t *>(m);
    mprotect(map_, PAGE, PROT_NONE);  // an overflow faults instead of writing past the stack
  }
  ~Stack() {
    if (map_ != nullptr) munmap(map_, size_ + PAGE);
  }
  Stack(const Stack &) = delete;
  Stack &operator=(const Stack &) = delete;

  // Runs body on a thread over this stack, freshly filled. Afterwards dead() is the stack below
  // the runner's frame (less a margin) as body left it, and depth() how far below that frame
  // body reached.
  bool run(std::function<void()> body) {
    if (map_ == nullptr) return false;
    uint8_t *lo = map_ + PAGE;
    std::memset(lo, FILL, size_);
    body_ = std::move(body);
    dead_.assign(size_, 0);
    pthread_attr_t attr;
    pthread_t thread;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, lo, size_);
    const bool ok = pthread_create(&thread, &attr, &Stack::main, this) == 0 && pthread_join(thread, nullptr) == 0;
    pthread_attr_destroy(&attr);
    return ok;
  }
  const std::vector<uint8_t> &dead() const { return dead_; }
  uintptr_t marker() const { return marker_; }
  size_t depth() const {
    size_t i = 0;
    while (i < dead_.size() && dead_[i] == FILL) ++i;
    return dead_.size() + MARGIN - i;
  }

 private:
  static void *main(void *arg) {
    auto *self = static_cast<Stack *>(arg);
    volatile uint8_t here = 0;
    self->marker_ = reinterpret_cast<uintptr_t>(&here);
    self->body_();
    const uint8_t *lo = self->map_ + PAGE;
    const size_t n = self->marker_ - MARGIN - reinterpret_cast<uintptr_t>(lo);
    self->dead_.resize(n);  // shrinks: no allocation
    std::memcpy(self->dead_.data(), lo, n);
    return nullptr;
  }

  size_t size_;
  uint8_t *map_ = nullptr;
  std::function<void()> body_;
  std::vector<uint8_t> dead_;
  uintptr_t marker_ = 0;
};

using Pk = std::array<uint8_t, PK_BYTES>;
using Sk = std::array<uint8_t, SK_BYTES>;
using Sig = std::array<uint8_t, SIG_BYTES>;

std::array<uint8_t, SEED_BYTES> seed_of(uint8_t b) {
  std::array<uint8_t, SEED_BYTES> s;
  for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(b + 13 * i);
  return s;
}

// Offset below the runner's frame of the first byte where two dead stacks differ, or 0.
size_t first_difference(const Stack &a, const std::vector<uint8_t> &b) {
  const auto &d = a.dead();
  for (size_t i = 0; i < d.size() && i < b.size(); ++i)
    if (d[i] != b[i]) return d.size() + MARGIN - i;
  return 0;
}

// Two key generations from different seeds, and two signatures of one message under secret keys
// that share rho and tr but nothing secret, leave byte-identical dead stacks: nothing of a seed,
// a key or an attempt survives the call. So do two refused rebuilds of a public key.
TEST(Stack, NothingSecretIsLeftOnTheDeadStack) {
#ifdef TAVIK_TEST_ASAN
  GTEST_SKIP() << "the sanitizer's redzones make the dead stack its own";
#endif
  // The path is chosen, and self-tested, before the first compared call, even when the suite
  // runs without the test environment that chooses it.
  (void)tavik::active_backend();
  Stack stack(256 * 1024);
  Pk pk;
  Sk sk1, sk2, out;
  std::vector<uint8_t> first;
  for (uint8_t s : {1, 2}) {
    ASSERT_TRUE(stack.run([&] {
      const auto seed = seed_of(s);
      sig_keygen_from_seed(pk.data(), out.data(), seed.data());
    }));
    (s == 1 ? sk1 : sk2) = out;
    if (s == 1) first = stack.dead();
    else EXPECT_EQ(first_difference(stack, first), 0u) << "bytes below the caller after key generation";
  }
  // Signing checks that the key's parts agree, so the two keys are unrelated intact ones: nothing
  // of either, public parts included, may be left.
  // One key buffer and one signature buffer for both runs: their addresses are on the stack too.
  const uint8_t msg[59] = {7, 7, 7};
  Sk sk;
  Sig sig, sig1;
  for (const Sk *key : {&sk1, &sk2}) {
    sk = *key;
    ASSERT_TRUE(stack.run([&] {
      uint64_t siglen = 0;
      sig_sign(sk.data(), msg, sizeof msg, sig.data(), &siglen);
    }));
    if (key == &sk1) {
      first = stack.dead();
      sig1 = sig;
    } else {
      EXPECT_EQ(first_difference(stack, first), 0u) << "bytes below the caller after signing";
    }
  }
  EXPECT_NE(sig1, sig);

  // Rebuilding the public key of two damaged keys with the same rho and tr (both refused): the
  // same dead stack, whatever the secret parts were.
  Sk doctored = sk2;
  std::memcpy(doctored.data(), sk1.data(), SEED_BYTES);  // rho
  std::memcpy(doctored.data() + 928, sk1.data() + 928, CRH_BYTES);  // tr
  Sk damaged = sk1;
  damaged[SK_BYTES - 1] ^= 1;  // in t0
  for (const Sk *key : {&doctored, &damaged}) {
    sk = *key;
    int32_t result = 0;
    ASSERT_TRUE(stack.run([&] { result = tavik_pk_from_sk(pk.data(), sk.data()); }));
    EXPECT_EQ(result, TAVIK_ILLEGAL_PARAMETER);
    if (key == &doctored) first = stack.dead();
    else EXPECT_EQ(first_difference(stack, first), 0u) << "bytes below the caller after rebuilding a public key";
  }
  // So do two refused expansions of those keys (the expansion's check leaves s1, s2 and t0 on the
  // stack below it, which it scrubs before it returns).
  static tavik_expanded_sk xsk;
  for (const Sk *key : {&doctored, &damaged}) {
    sk = *key;
    int32_t result = 0;
    ASSERT_TRUE(stack.run([&] { result = tavik_expand_sk(&xsk, sk.data()); }));
    EXPECT_EQ(result, TAVIK_ILLEGAL_PARAMETER);
    if (key == &doctored) first = stack.dead();
    else EXPECT_EQ(first_difference(stack, first), 0u) << "bytes below the caller after a refused expansion";
  }
}

// Every signing entry point, and the expansion of a secret key, leaves the same dead stack for two
// unrelated intact keys (the hedged ones with fresh random bytes each time, so that a residue of
// those differs too): nothing of either, public parts included, may be left (signing and expansion
// refuse a key whose parts disagree). States and expanded keys live off the stack.
TEST(Stack, EverySigningEntryPointLeavesNothingSecret) {
#ifdef TAVIK_TEST_ASAN
  GTEST_SKIP() << "the sanitizer's redzones make the dead stack its own";
#endif
  (void)tavik::active_backend();
  Stack stack(256 * 1024);
  Pk pk;
  Sk sk1, sk2, sk3;
  for (uint8_t s : {1, 2, 3}) {
    const auto seed = seed_of(s);
    ASSERT_EQ(sig_keygen_from_seed(pk.data(), (s == 1 ? sk1 : s == 2 ? sk2 : sk3).data(), seed.data()), 0);
  }
  static tavik_expanded_sk xsk;
  static tavik_sign_state st;
  static Sk sk;
  static Sig sig;
  static const uint8_t msg[59] = {7, 7, 7};
  struct EntryPoint {
    const char *name;
    bool expands;  // the call expands the key, or it is expanded (off the measured stack) before it
    std::function<int32_t()> call;
  };
  const EntryPoint entries[] = {
      {"tavik_sign", false, [] { return tavik_sign(sk.data(), msg, sizeof msg, sig.data()); }},
      {"tavik_sign_hedged", false, [] { return tavik_sign_hedged(sk.data(), msg, sizeof msg, sig.data()); }},
      {"streamed", false,
       [] {
         tavik_sign_init(&st, sk.data());
         tavik_sign_update(&st, msg, sizeof msg);
         return tavik_sign_final(&st, sig.data());
       }},
      {"streamed hedged", false,
       [] {
         tavik_sign_init_hedged(&st, sk.data());
         tavik_sign_update(&st, msg, sizeof msg);
         return tavik_sign_final(&st, sig.data());
       }},
      {"tavik_expand_sk", true, [] { return tavik_expand_sk(&xsk, sk.data()); }},
      {"tavik_sign_expanded", true, [] { return tavik_sign_expanded(&xsk, msg, sizeof msg, sig.data()); }},
      {"tavik_sign_expanded_hedged", true,
       [] { return tavik_sign_expanded_hedged(&xsk, msg, sizeof msg, sig.data()); }},
      {"streamed from an expanded key", true,
       [] {
         tavik_sign_init_expanded_hedged(&st, &xsk);
         tavik_sign_update(&st, msg, sizeof msg);
         return tavik_sign_final(&st, sig.data());
       }},
      {"tavik_sign_ctx_hedged", false,
       [] { return tavik_sign_ctx_hedged(sk.data(), msg, 32, msg, sizeof msg, sig.data()); }},
      {"tavik_sign_mu", false, [] { return tavik_sign_mu(sk.data(), msg, sig.data()); }},
      {"tavik_sign_expanded_mu_hedged", true, [] { return tavik_sign_expanded_mu_hedged(&xsk, msg, sig.data()); }},
      {"crypto_sign_signature", false,
       [] {
         size_t siglen = 0;
         return int32_t(crypto_sign_signature(sig.data(), &siglen, msg, sizeof msg, sk.data()));
       }},
  };
  for (const EntryPoint &e : entries) {
    // Once off the measured stack first: the first call of a system function the entry point
    // reaches (the random source's) has the dynamic linker bind it, which leaves its own bytes
    // on the stack of that call only.
    sk = sk1;
    if (e.expands) {
      ASSERT_EQ(tavik_expand_sk(&xsk, sk.data()), 0);
    }
    ASSERT_EQ(e.call(), 0) << e.name;
    std::vector<uint8_t> first;
    for (const Sk *key : {&sk1, e.expands ? &sk3 : &sk2}) {  // unrelated keys either way
      sk = *key;
      if (e.expands) {
        ASSERT_EQ(tavik_expand_sk(&xsk, sk.data()), 0);
      }
      int32_t result = -100;
      ASSERT_TRUE(stack.run([&] { result = e.call(); }));
      EXPECT_EQ(result, 0) << e.name;
      if (key == &sk1) first = stack.dead();
      else EXPECT_EQ(first_difference(stack, first), 0u) << "bytes below the caller after " << e.name;
    }
  }
  tavik_expanded_sk_wipe(&xsk);
}

// Runs f with its frame more than the margin below the runner's, where the dead stack is read.
[[gnu::noinline]] int32_t below_the_margin(const std::function<int32_t()> &f) {
  volatile uint8_t pad[2 * MARGIN];
  pad[0] = 0;
  const int32_t r = f();
  pad[sizeof pad - 1] = pad[0];
  return r;
}

// The random bytes of a hedged signature are wiped: no eight of them in a row are left on the
// dead stack by any hedged entry point (the random source's seam hands out known bytes).
TEST(Stack, HedgeBytesAreWiped) {
#ifdef TAVIK_TEST_ASAN
  GTEST_SKIP() << "the sanitizer's redzones make the dead stack its own";
#endif
  (void)tavik::active_backend();
  static uint8_t rnd[TAVIK_HEDGE_BYTES];
  for (size_t i = 0; i < sizeof rnd; ++i) rnd[i] = uint8_t(0xE1 ^ (i * 37));
  randombytes_platform.syscall3 = [](long, void *buf, size_t len, unsigned) -> long {
    for (size_t i = 0; i < len; ++i) static_cast<uint8_t *>(buf)[i] = rnd[i % sizeof rnd];
    return long(len);
  };
  Stack stack(256 * 1024);
  static Pk pk;
  static Sk sk;
  static Sig sig;
  static tavik_expanded_sk xsk;
  static tavik_sign_state st;
  static const uint8_t msg[59] = {8};
  const auto seed = seed_of(4);
  ASSERT_EQ(sig_keygen_from_seed(pk.data(), sk.data(), seed.data()), 0);
  ASSERT_EQ(tavik_expand_sk(&xsk, sk.data()), 0);
  const std::pair<const char *, std::function<int32_t()>> entries[] = {
      {"tavik_sign_hedged", [] { return tavik_sign_hedged(sk.data(), msg, sizeof msg, sig.data()); }},
      {"tavik_sign_expanded_hedged", [] { return tavik_sign_expanded_hedged(&xsk, msg, sizeof msg, sig.data()); }},
      {"streamed hedged", [] {
         tavik_sign_init_hedged(&st, sk.data());
         return tavik_sign_final(&st, sig.data());
       }},
  };
  for (const auto &entry : entries) {
    const char *name = entry.first;
    int32_t result = -100;
    ASSERT_TRUE(stack.run([&] { result = below_the_margin(entry.second); }));
    EXPECT_EQ(result, 0) << name;
    const auto &d = stack.dead();
    for (size_t at = 0; at + 8 <= d.size(); ++at)
      for (size_t j = 0; j + 8 <= sizeof rnd; ++j)
        ASSERT_NE(std::memcmp(d.data() + at, rnd + j, 8), 0) << name << " left random bytes " << j << ".. on the stack";
  }
  randombytes_seam_reset();
  tavik_expanded_sk_wipe(&xsk);
}

// All three calls run on a thread with a 128 KiB stack; the depth each reaches is printed (the
// README quotes it).
TEST(Stack, AllThreeCallsRunOnA128KiBStack) {
  Stack stack(128 * 1024);
  Pk pk;
  Sk sk;
  Sig sig;
  const uint8_t msg[TAVIK_MAX_MSG_BYTES] = {1};
  int results[3] = {-1, -1, -1};
  size_t depth[3] = {};
  ASSERT_TRUE(stack.run([&] { results[0] = sig_keygen(pk.data(), sk.data()); }));
  depth[0] = stack.depth();
  ASSERT_TRUE(stack.run([&] {
    uint64_t siglen = 0;
    results[1] = sig_sign(sk.data(), msg, sizeof msg, sig.data(), &siglen);
  }));
  depth[1] = stack.depth();
  ASSERT_TRUE(stack.run([&] { results[2] = sig_verf(pk.data(), sig.data(), SIG_BYTES, msg, sizeof msg); }));
  depth[2] = stack.depth();
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(results[2], 0);
  std::printf("peak stack in bytes: sig_keygen %zu, sig_sign %zu, sig_verf %zu\n", depth[0], depth[1], depth[2]);
}

}  // namespace
