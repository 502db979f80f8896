#include "cpu.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "selftest.h"

#if TAVIK_X86_KERNELS
#include <cpuid.h>
#endif

namespace tavik {
namespace {

#if TAVIK_X86_KERNELS
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ __volatile__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}
#endif

struct Features {
  bool avx2 = false;
  bool avx512 = false;
};

Features detect() {
  Features f;
#if TAVIK_X86_KERNELS
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool osxsave = (c >> 27) & 1, popcnt = (c >> 23) & 1;  // the AVX2 rejection steps count with POPCNT
  if (!osxsave) return f;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm = (xcr0 & 0x6) == 0x6;
  const bool zmm = (xcr0 & 0xE6) == 0xE6;
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  const bool bmi1 = (b >> 3) & 1, avx2 = (b >> 5) & 1, bmi2 = (b >> 8) & 1;
  const bool avx512f = (b >> 16) & 1, avx512bw = (b >> 30) & 1, avx512vl = (b >> 31) & 1;
  f.avx2 = ymm && avx2 && bmi1 && bmi2 && popcnt;
  f.avx512 = f.avx2 && zmm && avx512f && avx512bw && avx512vl;
#endif
  return f;
}

const Features &features() {
  static const Features f = detect();
  return f;
}

// The path under self-test in this thread (with_backend), or -1.
thread_local int trial = -1;

char reason[96];

// Stack of the thread that runs the self-tests: a signature's work and the test's own buffers,
// with room to spare for sanitizer builds, whose frames are several times larger.
constexpr size_t SELF_TEST_STACK = 4u << 20;

// The candidates and outcome of the self-tests, handed to and from their thread.
struct Trial {
  const Backend *candidates;
  uint32_t count;
  uint32_t failed = 0;
  Backend chosen = Backend::scalar;
};

void *run_trial(void *arg) {
  Trial *t = static_cast<Trial *>(arg);
  t->chosen = choose_path(t->candidates, t->count, path_self_test, &t->failed);
  return nullptr;
}

// choose_path over the candidates, with every self-test on a thread of its own, so that the
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
Backend choose() {
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
  Trial trial{candidates, count};
  if (count > 1 && !choose_on_own_thread(trial)) {
    // An untested vector path is never used: the scalar path needs no test.
    std::snprintf(reason, sizeof reason, "no thread could run the self-test of %s; scalar needs none",
                  backend_name(candidates[0]));
    return Backend::scalar;
  }
  if (count <= 1) trial.chosen = count == 1 ? candidates[0] : Backend::scalar;
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

bool backend_available(Backend b) {
  switch (b) {
    case Backend::scalar: return true;
    case Backend::avx2: return features().avx2;
    case Backend::avx512: return features().avx512;
  }
  return false;
}

Backend active_backend() {
  if (trial >= 0) return Backend(trial);
  static const Backend b = choose();
  return b;
}

const char *backend_reason() {
  active_backend();
  return reason;
}

bool backend_trial_running() { return trial >= 0; }

bool with_backend(Backend b, bool (*fn)()) {
  const int saved = trial;
  trial = int(b);
  const bool ok = fn();
  trial = saved;
  return ok;
}

Backend choose_path(const Backend *candidates, uint32_t count, bool (*test)(Backend), uint32_t *failed) {
  *failed = 0;
  for (uint32_t i = 0; i + 1 < count; ++i) {
    if (test(candidates[i])) return candidates[i];
    ++*failed;
  }
  return count != 0 ? candidates[count - 1] : Backend::scalar;
}

const char *backend_name(Backend b) {
  switch (b) {
    case Backend::scalar: return "scalar";
    case Backend::avx2: return "avx2";
    case Backend::avx512: return "avx512";
  }
  return "scalar";
}

}  // namespace tavik
