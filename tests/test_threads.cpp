// Key generation, signing and verification from eight threads at once, with getrandom working
// and with it denied (every thread then falls back to the device together). Built with
// ThreadSanitizer by `make test-tsan`; in the ordinary builds it checks the results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "params.h"
#include "randombytes_seam.h"
#include "tavik.h"

using namespace tavik;

namespace {

using Pk = std::array<uint8_t, PK_BYTES>;
using Sk = std::array<uint8_t, SK_BYTES>;
using Sig = std::array<uint8_t, SIG_BYTES>;

long denied_getrandom(long, void *, size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}

struct Outcome {
  Pk pk{};
  Sig fixed_sig{};  // signature under the key of the fixed seed
  int results = 0;  // sum of the absolute return codes: 0 when every call succeeded
};

TEST(Threads, EightThreadsMakeSignAndVerifyTogether) {
  constexpr int THREADS = 8;
  const uint8_t seed[SEED_BYTES] = {42};
  const uint8_t msg[100] = {1, 2, 3};
  Pk fixed_pk;
  Sk fixed_sk;
  Sig want;
  uint64_t siglen = 0;
  ASSERT_EQ(sig_keygen_from_seed(fixed_pk.data(), fixed_sk.data(), seed), 0);
  ASSERT_EQ(sig_sign(fixed_sk.data(), msg, sizeof msg, want.data(), &siglen), 0);

  for (bool deny : {false, true}) {
    const int old = randombytes_seam_reset();
    if (old >= 0) ::close(old);
    if (deny) randombytes_platform.syscall3 = denied_getrandom;
    std::vector<Outcome> out(THREADS);
    std::vector<std::thread> threads;
    for (Outcome &o : out) {
      threads.emplace_back([&o, &seed, &msg] {
        Sk sk;
        Sig sig;
        uint64_t len = 0;
        o.results += std::abs(sig_keygen(o.pk.data(), sk.data()));
        o.results += std::abs(sig_sign(sk.data(), msg, sizeof msg, sig.data(), &len));
        o.results += std::abs(sig_verf(o.pk.data(), sig.data(), len, msg, sizeof msg));
        Pk pk;
        o.results += std::abs(sig_keygen_from_seed(pk.data(), sk.data(), seed));
        o.results += std::abs(sig_sign(sk.data(), msg, sizeof msg, o.fixed_sig.data(), &len));
        o.results += std::abs(sig_verf(pk.data(), o.fixed_sig.data(), len, msg, sizeof msg));
      });
    }
    for (auto &t : threads) t.join();
    for (int i = 0; i < THREADS; ++i) {
      EXPECT_EQ(out[i].results, 0) << "thread " << i << (deny ? ", getrandom denied" : "");
      EXPECT_EQ(out[i].fixed_sig, want) << "thread " << i;
      for (int j = 0; j < i; ++j) EXPECT_NE(out[i].pk, out[j].pk) << "threads " << j << " and " << i;
    }
    EXPECT_EQ(randombytes_seam_fd() >= 0, deny) << "the device is opened exactly when getrandom is denied";
  }
  const int old = randombytes_seam_reset();
  if (old >= 0) ::close(old);
}

}  // namespace
