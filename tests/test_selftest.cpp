// The self-test at path selection: the choice falls to the next path down when a path fails, and
// every path this processor runs passes.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "cpu.h"
#include "kernels.h"
#include "params.h"
#include "path.h"
#include "shake_lanes.h"
#include "signature.h"
#include "tavik.h"

using namespace tavik;

namespace {

Backend failing[3];
uint32_t n_failing = 0;
uint32_t tests_run = 0;

// A stand-in self-test that fails exactly the paths in failing[0..n_failing).
bool fake_test(Backend b) {
  ++tests_run;
  for (uint32_t i = 0; i < n_failing; ++i)
    if (failing[i] == b) return false;
  return true;
}

TEST(SelfTest, ChoiceFallsToTheNextPathDown) {
  const Backend all[] = {Backend::avx512, Backend::avx2, Backend::scalar};
  struct Case {
    uint32_t candidates;  // the last `candidates` of all, best first
    std::initializer_list<Backend> fail;
    Backend want;
    uint32_t want_failed, want_tests;
  };
  const Case cases[] = {
      {3, {}, Backend::avx512, 0, 1},
      {3, {Backend::avx512}, Backend::avx2, 1, 2},
      {3, {Backend::avx512, Backend::avx2}, Backend::scalar, 2, 2},
      {3, {Backend::avx2}, Backend::avx512, 0, 1},
      {2, {Backend::avx2}, Backend::scalar, 1, 1},
      {1, {Backend::scalar}, Backend::scalar, 0, 0},  // the definition itself is not tested
  };
  for (const Case &c : cases) {
    n_failing = 0;
    for (Backend b : c.fail) failing[n_failing++] = b;
    tests_run = 0;
    uint32_t failed = 99;
    const Backend got = path_choose_among(all + 3 - c.candidates, c.candidates, fake_test, &failed);
    EXPECT_EQ(got, c.want) << c.candidates << " candidates, " << n_failing << " failing";
    EXPECT_EQ(failed, c.want_failed);
    EXPECT_EQ(tests_run, c.want_tests);
  }
}

// A kernel that breaks a product's last step: the self-test on a table with it must fail.
void broken_freeze(uint32_t *v, uint32_t count) {
  kernels_of(Backend::scalar).freeze(v, count);
  v[7] ^= 1;
}

TEST(SelfTest, EveryAvailablePathPassesAndThePathInUseSaysWhy) {
  const Backend in_use = active_backend();
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (backend_available(b)) {
      EXPECT_TRUE(self_test(kernels_of(b))) << backend_name(b);
    }
  }
  Kernels broken = kernels_of(Backend::scalar);
  broken.freeze = broken_freeze;
  EXPECT_FALSE(self_test(broken)) << "the self-test runs on the kernels it is handed";
  // Eight-state kernels, which the scheme's run may not reach at the width in use: one bit wrong
  // in the last lane of the last state after the permutation, or in its last extracted byte.
  Kernels broken8 = kernels_of(Backend::scalar);
  broken8.permute8x = [](uint64_t *s) {
    kernels_of(Backend::scalar).permute8x(s);
    s[199] ^= 1;
  };
  EXPECT_FALSE(self_test(broken8)) << "permute8x";
  broken8 = kernels_of(Backend::scalar);
  broken8.extract8x = [](uint8_t *const out[8], const uint64_t *s) {
    kernels_of(Backend::scalar).extract8x(out, s);
    out[7][167] ^= 1;
  };
  EXPECT_FALSE(self_test(broken8)) << "extract8x";
  EXPECT_NE(std::strlen(backend_reason()), 0u);
  EXPECT_EQ(std::strstr(backend_reason(), "failed"), nullptr) << backend_reason();
  {
    const KernelsInThread use(broken);
    EXPECT_EQ(&kernels(), &broken);
  }
  EXPECT_EQ(&kernels(), &kernels_of(in_use)) << "the kernels handed to a thread are given back";
  EXPECT_EQ(active_backend(), in_use);
}

// The widths reported are the ones the scheme runs at: the kernels of the reported arithmetic,
// and the reported lanes in the scheduler (a width reported but never applied would leave every
// eight-lane run at four). A path that hashes one stream at a time reports one lane, whatever
// TAVIK_LANES asks; a path with lanes takes the width TAVIK_LANES asks for.
TEST(SelfTest, TheReportedWidthsAreTheOnesThatRun) {
  const Backend b = active_backend();
  const uint32_t lanes = backend_lanes(), bits = backend_arith_bits();
  EXPECT_EQ(&kernels(), &kernels_of(b));
  const char *forced_lanes = std::getenv("TAVIK_LANES");
  const char *forced_arith = std::getenv("TAVIK_ARITH");
  if (kernels().four_streams) {
    EXPECT_EQ(keccak_lanes().width, lanes);
    EXPECT_EQ(keccak_eight_lanes(), lanes == 8);
    if (forced_lanes != nullptr && (std::strcmp(forced_lanes, "4") == 0 || std::strcmp(forced_lanes, "8") == 0)) {
      EXPECT_EQ(lanes, uint32_t(std::atoi(forced_lanes))) << backend_lanes_reason();
    }
  } else {
    EXPECT_EQ(lanes, 1u) << backend_lanes_reason();
    EXPECT_FALSE(keccak_eight_lanes());
  }
  if (b == Backend::avx512) {
    EXPECT_EQ(&kernels(), &kernels_avx512(bits)) << bits;
    if (forced_arith != nullptr && (std::strcmp(forced_arith, "256") == 0 || std::strcmp(forced_arith, "512") == 0)) {
      EXPECT_EQ(bits, uint32_t(std::atoi(forced_arith))) << backend_arith_reason();
    }
  } else {
    EXPECT_EQ(bits, b == Backend::scalar ? 32u : 256u);
  }
}

// The 512-bit arithmetic is taken only once its own table passed the self-test, requested or
// measured; the other paths have one width and test nothing more.
const Kernels *arith_tested[4];
uint32_t n_arith_tested = 0;
bool fail_512 = false;
bool arith_test(const Kernels &k) {
  if (n_arith_tested < 4) arith_tested[n_arith_tested++] = &k;
  return !(fail_512 && &k == &kernels_avx512(512));
}

TEST(SelfTest, The512BitArithmeticIsTakenOnlyAfterItsOwnSelfTest) {
  struct Case {
    Backend path;
    const char *request;  // TAVIK_ARITH
    bool fails;           // the 512-bit table fails its self-test
    uint32_t want_bits, want_tests;
  };
  const Case cases[] = {
      {Backend::avx512, "512", false, 512, 1},
      {Backend::avx512, "512", true, 256, 1},  // requested, yet it failed: 256
      {Backend::avx512, "256", true, 256, 0},
      {Backend::avx2, "512", false, 256, 0},
      {Backend::scalar, "512", false, 32, 0},
  };
  const char *saved = std::getenv("TAVIK_ARITH");
  const std::string kept = saved != nullptr ? saved : "";
  for (const Case &c : cases) {
    ASSERT_EQ(::setenv("TAVIK_ARITH", c.request, 1), 0);
    fail_512 = c.fails;
    n_arith_tested = 0;
    char why[128] = {};
    const uint32_t bits = path_arith_for(c.path, arith_test, why, sizeof why);
    const std::string what = std::string(backend_name(c.path)) + " TAVIK_ARITH=" + c.request + (c.fails ? ", 512 failing" : "");
    EXPECT_EQ(bits, c.want_bits) << what << ": " << why;
    ASSERT_EQ(n_arith_tested, c.want_tests) << what;
    if (c.want_tests == 1) {
      EXPECT_EQ(arith_tested[0], &kernels_avx512(512)) << what;
    }
    if (c.fails && c.want_tests == 1) {
      EXPECT_STREQ(why, "the 512-bit arithmetic failed its self-test") << what;
    }
  }
  if (saved != nullptr) ::setenv("TAVIK_ARITH", kept.c_str(), 1);
  else ::unsetenv("TAVIK_ARITH");
}

// The console's first lines when it runs `program` with TAVIK_BACKEND=scalar and quits at once.
std::string console_path_line(const std::string &program) {
  const std::string cmd = "printf 'q\\n' | TAVIK_BACKEND=scalar TAVIK_LANES=8 '" + program + "' 2>&1";
  FILE *p = ::popen(cmd.c_str(), "r");
  std::string out;
  if (p == nullptr) return out;
  char line[512];
  while (std::fgets(line, sizeof line, p) != nullptr) {
    if (std::strncmp(line, "the path: ", 10) == 0) out = line;
  }
  ::pclose(p);
  return out;
}

// A program that runs with more rights than its caller (here setgid to another group) ignores
// TAVIK_BACKEND and the others: its caller cannot force it onto the slow path. The same copy
// without the bit takes the request, so the environment did reach it.
TEST(SelfTest, ASetgidProgramIgnoresThePathsRequest) {
  if (::getuid() != 0) GTEST_SKIP() << "a setgid copy for another group needs root";
  if (!backend_available(Backend::avx2)) GTEST_SKIP() << "scalar is the best path here anyway";
  if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1) GTEST_SKIP() << "no_new_privs: a setgid bit is not honoured";
  char dir[] = "tavik_setgid_XXXXXX";  // in the working directory: /tmp is often mounted nosuid
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string copy = std::string(dir) + "/testtavik";
  struct statvfs fs;
  const bool nosuid = ::statvfs(dir, &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0;
  std::error_code ec;
  std::filesystem::copy_file(TAVIK_TESTTAVIK_BIN, copy, ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_EQ(::chown(copy.c_str(), uid_t(-1), 65534), 0);
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  const std::string plain = console_path_line(copy);
  ASSERT_EQ(::chmod(copy.c_str(), 02755), 0);
  const std::string raised = console_path_line(copy);
  std::filesystem::remove_all(dir, ec);
  EXPECT_EQ(plain.rfind("the path: scalar (requested by TAVIK_BACKEND)", 0), 0u) << plain;
  if (nosuid) GTEST_SKIP() << "the working directory is mounted nosuid";
  EXPECT_EQ(raised.find("scalar"), std::string::npos) << raised;
  EXPECT_EQ(raised.find("TAVIK_BACKEND"), std::string::npos) << raised;
}

// The self-test's bound on signing: a kernel that fails every attempt makes the self-test fail
// instead of hanging the process. The self-test's message under its key needs 3 attempts.
TEST(SelfTest, SigningGivesUpAtItsAttemptLimitAndWritesNothing) {
  uint8_t seed[SEED_BYTES], msg[59], pk[PK_BYTES], sk[SK_BYTES], sig[SIG_BYTES];
  for (uint32_t i = 0; i < sizeof seed; ++i) seed[i] = uint8_t(7 * i + 1);
  for (uint32_t i = 0; i < sizeof msg; ++i) msg[i] = uint8_t(i);
  ASSERT_EQ(sig_keygen_from_seed(pk, sk, seed), TAVIK_OK);
  uint8_t kept[SIG_BYTES] = {};
  for (uint64_t limit : {1u, 2u, 3u, 64u}) {
    SignStats stats;
    stats.max_attempts = limit;
    std::memset(sig, 0xA5, sizeof sig);
    uint64_t siglen = 0;
    const int32_t r = sign_with_stats(sk, msg, sizeof msg, sig, &siglen, &stats);
    if (limit < 3) {
      EXPECT_EQ(r, TAVIK_SIGNING_FAILED) << limit;
      EXPECT_TRUE(stats.gave_up);
      EXPECT_EQ(stats.attempts, limit);
      EXPECT_EQ(siglen, 0u) << "a given-up signature has no length";
      for (uint8_t b : sig) ASSERT_EQ(b, 0xA5) << "a given-up signature is not written";
    } else {
      EXPECT_EQ(r, TAVIK_OK) << limit;
      EXPECT_EQ(stats.attempts, 3u);
      EXPECT_EQ(sig_verf(pk, sig, siglen, msg, sizeof msg), TAVIK_OK);
      // The last allowed attempt draws its masks alone, or ahead with the next one's: same bytes.
      if (limit == 3) std::memcpy(kept, sig, sizeof sig);
      else EXPECT_EQ(std::memcmp(kept, sig, sizeof sig), 0) << limit;
    }
  }
}

}  // namespace
