// The self-test at path selection: the choice falls to the next path down when a path fails, and
// every path this processor runs passes.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "cpu.h"
#include "selftest.h"

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
    const Backend got = choose_path(all + 3 - c.candidates, c.candidates, fake_test, &failed);
    EXPECT_EQ(got, c.want) << c.candidates << " candidates, " << n_failing << " failing";
    EXPECT_EQ(failed, c.want_failed);
    EXPECT_EQ(tests_run, c.want_tests);
  }
}

TEST(SelfTest, EveryAvailablePathPassesAndThePathInUseSaysWhy) {
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (backend_available(b)) {
      EXPECT_TRUE(path_self_test(b)) << backend_name(b);
    }
  }
  const Backend in_use = active_backend();
  EXPECT_NE(std::strlen(backend_reason()), 0u);
  EXPECT_EQ(std::strstr(backend_reason(), "failed"), nullptr) << backend_reason();
  EXPECT_TRUE(with_backend(Backend::scalar, [] { return active_backend() == Backend::scalar && backend_trial_running(); }));
  EXPECT_FALSE(backend_trial_running());
  EXPECT_EQ(active_backend(), in_use) << "with_backend restores the path in use";
}

}  // namespace
