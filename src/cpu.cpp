#include "cpu.h"

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
  uint32_t failed = 0;
  const Backend b = choose_path(candidates, count, path_self_test, &failed);
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
