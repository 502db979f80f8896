// Linked into every suite: when TAVIK_BACKEND asks for a path this processor cannot run, the
// suite's tests are skipped, and when the path fails its self-test the suite fails, instead of
// silently running on another path.
#include <gtest/gtest.h>

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
      if (!tavik::backend_available(b)) GTEST_SKIP() << "path " << want << " is not available on this processor";
      // A forced path that fails its self-test is replaced by the next one down: the suite
      // must not pass on another path than the one it was asked to test.
      if (tavik::active_backend() != b) FAIL() << "path " << want << ": " << tavik::backend_reason();
    }
  }
};

const auto *const registered = testing::AddGlobalTestEnvironment(new BackendEnvironment);

}  // namespace
