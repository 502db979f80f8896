#include "path.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

namespace tavik {
namespace {

char reason[96];
Backend chosen = Backend::scalar;
std::once_flag choice_made;

// Stack of the thread that runs the self-tests: a signature's work and the test's own buffers,
// with room to spare for sanitizer builds, whose frames are several times larger.
constexpr size_t SELF_TEST_STACK = 4u << 20;

// The candidates, the test and the outcome of the self-tests, handed to and from their thread.
struct Trial {
  const Backend *candidates;
  uint32_t count;
  PathTest test;
  uint32_t failed = 0;
  Backend chosen = Backend::scalar;
};

// The test of the trial running on this thread.
thread_local PathTest trial_test = nullptr;

bool test_path(Backend b) { return trial_test(kernels_of(b)); }

void *run_trial(void *arg) {
  Trial *t = static_cast<Trial *>(arg);
  trial_test = t->test;
  t->chosen = path_choose_among(t->candidates, t->count, test_path, &t->failed);
  return nullptr;
}

// path_choose_among over the candidates, with every self-test on a thread of its own, so that the
// library's first call needs no more of its caller's stack than any later call (a key pair, a
// signature and a verification nested below the caller's first call would need about 140 KiB).
// False when no such thread could be run: then nothing was tested.
bool choose_on_own_thread(Trial &t) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attr, SELF_TEST_STACK) == 0 &&
                       pthread_create(&thread, &attr, run_trial, &t) == 0;
  pthread_attr_destroy(&attr);
  return started && pthread_join(thread, nullptr) == 0;
}

// Best first: the request of TAVIK_BACKEND when available, then every available path below it.
Backend choose(PathTest test) {
  Backend top = backend_available(Backend::avx512) ? Backend::avx512
                : backend_available(Backend::avx2) ? Backend::avx2
                                                   : Backend::scalar;
  const char *env = std::getenv("TAVIK_BACKEND");
  bool requested = false;
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512}) {
    if (env != nullptr && std::strcmp(env, backend_name(b)) == 0 && backend_available(b)) {
      top = b;
      requested = true;
    }
  }
  Backend candidates[3];
  uint32_t count = 0;
  for (int b = int(top); b >= 0; --b) {
    if (backend_available(Backend(b))) candidates[count++] = Backend(b);
  }
  Trial trial{candidates, count, test};
  if (count <= 1) {
    trial.chosen = path_choose_among(candidates, count, test_path, &trial.failed);  // the last one is taken untested
  } else if (!choose_on_own_thread(trial)) {
    // An untested vector path is never used: the scalar path needs no test.
    std::snprintf(reason, sizeof reason, "no thread could run the self-test of %s; scalar needs none",
                  backend_name(candidates[0]));
    return Backend::scalar;
  }
  const uint32_t failed = trial.failed;
  const Backend b = trial.chosen;
  if (failed == 1) {
    std::snprintf(reason, sizeof reason, "%s failed its self-test; %s is the next path down",
                  backend_name(candidates[0]), backend_name(b));
  } else if (failed > 1) {
    std::snprintf(reason, sizeof reason, "%s and %s failed their self-tests; %s is the next path down",
                  backend_name(candidates[0]), backend_name(candidates[1]), backend_name(b));
  } else {
    std::snprintf(reason, sizeof reason, "%s%s", requested ? "requested by TAVIK_BACKEND" : "best available",
                  b == Backend::scalar ? "" : ", self-test passed");
  }
  return b;
}

}  // namespace

Backend path_choose(PathTest test) {
  std::call_once(choice_made, [test] {
    chosen = choose(test);
    kernels_use(chosen);
  });
  return chosen;
}

const char *path_reason() { return reason; }

Backend path_choose_among(const Backend *candidates, uint32_t count, bool (*test)(Backend), uint32_t *failed) {
  *failed = 0;
  for (uint32_t i = 0; i + 1 < count; ++i) {
    if (test(candidates[i])) return candidates[i];
    ++*failed;
  }
  return count != 0 ? candidates[count - 1] : Backend::scalar;
}

}  // namespace tavik
