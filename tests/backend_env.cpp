// Linked into every suite: when TAVIK_BACKEND asks for a path this processor cannot run, the
// suite's tests are skipped, and when the path is present but failed its self-test the suite
// fails, instead of silently running on another path.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "signature.h"

namespace {

class BackendEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char *want = std::getenv("TAVIK_BACKEND");
    if (want == nullptr) return;
    for (auto b : {tavik::Backend::scalar, tavik::Backend::avx2, tavik::Backend::avx512}) {
      if (std::strcmp(want, tavik::backend_name(b)) != 0) continue;
      if (!tavik::backend_available(b)) {
        // The line the suites' skip expression looks for: a skip in an environment prints none.
        std::printf("[  SKIPPED ] path %s is not available on this processor\n", want);
        GTEST_SKIP() << "path " << want << " is not available on this processor";
      }
      // A forced path that fails its self-test is replaced by the next one down: the suite must
      // not pass on another path than the one it was asked to test. A failure here would mark
      // every test skipped, which the skip expression takes for a path the processor lacks; the
      // process ends with a failure before any test instead.
      if (tavik::active_backend() != b) {
        std::printf("[  FAILED  ] path %s is present but failed its self-test: %s\n", want, tavik::backend_reason());
        std::fflush(stdout);
        std::_Exit(1);
      }
    }
  }
};

const auto *const registered = testing::AddGlobalTestEnvironment(new BackendEnvironment);

}  // namespace
