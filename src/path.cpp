#include "path.h"

#include "lock.h"

#if !defined(TAVIK_SINGLE_THREADED)
#include <pthread.h>
#endif
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#if defined(__wasm__)
// A WebAssembly module of this build imports nothing from its host but the random source: it reads
// no clock and no environment, so nothing below is timed or requested by a variable.
#define TAVIK_NO_HOST_CLOCK_OR_ENV 1
#else
#include "cpucycles.h"
#endif
#include "params.h"
#include "shake_lanes.h"

namespace tavik {
namespace {

char reason[96];
Backend chosen = Backend::scalar;
char lanes_reason[128];
uint32_t lanes_chosen = 4;
char arith_reason[128];
uint32_t arith_chosen = 0;
std::once_flag choice_made;

// Stack of the thread that runs the self-tests: a signature's work and the test's own buffers,
// with room to spare for sanitizer builds, whose frames are several times larger.
#if !defined(TAVIK_SINGLE_THREADED)
constexpr size_t SELF_TEST_STACK = 4u << 20;
#endif

// Writes the pieces one after another to out[0..size), cut to fit, and terminates them. The
// reasons are joined here rather than by snprintf, so that a build without a host system
// (WebAssembly) links no stdio, whose error output would be an import from the host.
void say(char *out, size_t size, std::initializer_list<const char *> pieces) {
  if (size == 0) return;
  size_t at = 0;
  for (const char *p : pieces)
    for (; *p != '\0' && at + 1 < size; ++p) out[at++] = *p;
  out[at] = '\0';
}

// The candidates, the test and the outcome of the self-tests, handed to and from their thread.
struct Trial {
  const Backend *candidates;
  uint32_t count;
  PathTest test;
  LaneWork work;
  uint32_t failed = 0;
  Backend chosen = Backend::scalar;
};

// The test of the trial running on this thread.
thread_local PathTest trial_test = nullptr;

bool test_path(Backend b) { return trial_test(kernels_of(b)); }

#if !defined(TAVIK_NO_HOST_CLOCK_OR_ENV)
// The wider form (eight lanes, 512-bit arithmetic) is kept only when the work takes less than 95%
// of its time at the narrower one, so that noise does not flip a tie towards it.
constexpr uint64_t WIDER_PERMILLE = 950;
// Rounds of a measurement, each timing the work at both widths back to back; the first `warm`
// are not counted (code and data come into the caches, the clock settles). The arithmetic's
// work is short (some 3,000 to 6,000 ticks a run), the lanes' long (a verification, some 40,000
// to 90,000): fewer rounds of it keep the whole choice near half a millisecond.
// `repeats`: runs of each side a round, the fastest counted (time_both says why).
struct Rounds {
  uint32_t all, warm, repeats;
  constexpr uint32_t counted() const { return all - warm; }
};
constexpr Rounds ARITH_ROUNDS = {7, 2, 3}, LANE_ROUNDS = {5, 1, 1};
constexpr uint32_t MAX_COUNTED = 5;
static_assert(ARITH_ROUNDS.counted() <= MAX_COUNTED && LANE_ROUNDS.counted() <= MAX_COUNTED);

// The middle of v[0..n) (n odd or even: the upper middle); reorders v.
uint64_t middle(uint64_t *v, uint32_t n) {
  std::nth_element(v, v + n / 2, v + n);
  return v[n / 2];
}

// Medians over the counted rounds of the times of run(false) (the narrower form) and run(true)
// (the wider), and of the ratio wider / narrower in permille.
struct Timing {
  uint64_t narrow, wide, ratio;
};

// Times run(false) against run(true) rounds.all times, the two back to back in alternating
// order, so that a change of clock or a neighbour's burst touches both sides of a ratio alike.
// Each side runs rounds.repeats times in a row and counts its fastest: a short work's first run
// after the other width can pay for the switch (seen: 512-bit transforms right after 256-bit ones
// took 2.3 times as long as after themselves), which a long run of either width does not.
template <class Run>
Timing time_both(Run run, Rounds rounds) {
  const uint32_t counted = rounds.counted();
  uint64_t narrow[MAX_COUNTED], wide[MAX_COUNTED], ratio[MAX_COUNTED];
  for (uint32_t round = 0; round < rounds.all; ++round) {
    uint64_t took[2] = {0, 0};  // narrower, wider
    for (uint32_t half = 0; half < 2; ++half) {
      const uint32_t is_wide = (round + half) % 2;
      for (uint32_t r = 0; r < rounds.repeats; ++r) {
        const uint64_t t0 = cpucycles();
        run(is_wide != 0);
        const uint64_t t = cpucycles() - t0;
        if (r == 0 || t < took[is_wide]) took[is_wide] = t;
      }
    }
    if (round < rounds.warm) continue;
    const uint32_t r = round - rounds.warm;
    narrow[r] = took[0];
    wide[r] = took[1];
    ratio[r] = took[1] * 1000 / (took[0] != 0 ? took[0] : 1);
  }
  return Timing{middle(narrow, counted), middle(wide, counted), middle(ratio, counted)};
}
#endif

// The value of the environment variable `name`, or null; always null in a build that reads no
// environment. Read with secure_getenv: in a program that runs with more rights than its caller
// (setuid, setgid, file capabilities), the caller's environment chooses nothing, not even a
// slower path.
const char *env_value(const char *name) {
#if defined(TAVIK_NO_HOST_CLOCK_OR_ENV)
  (void)name;
  return nullptr;
#else
  return ::secure_getenv(name);
#endif
}
// The value of the environment variable `name` when it is the word a or b, else null.
const char *env_word(const char *name, const char *a, const char *b) {
  const char *v = env_value(name);
  return v != nullptr && (std::strcmp(v, a) == 0 || std::strcmp(v, b) == 0) ? v : nullptr;
}

// The width of the job scheduler's lanes on kernels k: 1 on a path that hashes one stream at a
// time (the scheduler is not used there, whatever TAVIK_LANES says); else TAVIK_LANES=4 or 8 when
// set; else by the median over the rounds of the ratio of the scheme's own work (`work`, a
// verification) at eight lanes to the same at four (time_both). The work is timed where it runs
// rather than the permutations alone, which can mislead: on a processor that splits 512-bit
// operations in two, eight states timed alone beat two times four, yet cost more inside the
// expansion. The work's inputs are public (a fixed signature under a fixed key); no caller's key
// plays a part.
void choose_lanes(const Kernels &k, LaneWork work) {
  const char *env = env_word("TAVIK_LANES", "4", "8");
  if (!k.four_streams) {
    lanes_chosen = 1;
    say(lanes_reason, sizeof lanes_reason,
        {"the path hashes one stream at a time", env != nullptr ? " (TAVIK_LANES does not apply)" : ""});
    return;
  }
  if (env != nullptr) {
    lanes_chosen = env[0] == '8' ? 8 : 4;
    say(lanes_reason, sizeof lanes_reason, {"requested by TAVIK_LANES"});
    return;
  }
  if (work == nullptr) {
    lanes_chosen = 4;
    say(lanes_reason, sizeof lanes_reason, {"not measured: no work to time"});
    return;
  }
#if defined(TAVIK_NO_HOST_CLOCK_OR_ENV)
  lanes_chosen = 4;
  say(lanes_reason, sizeof lanes_reason, {"not measured: this build reads no clock"});
#else
  const Timing t = time_both([&](bool eight) { work(k, eight ? 8 : 4); }, LANE_ROUNDS);
  lanes_chosen = t.ratio < WIDER_PERMILLE ? 8 : 4;
  std::snprintf(lanes_reason, sizeof lanes_reason, "verification at 8 lanes %llu ticks vs at 4 %llu, medians of %u",
                (unsigned long long)t.wide, (unsigned long long)t.narrow, LANE_ROUNDS.counted());
#endif
}

// The arithmetic whose speed decides the avx512 path's width: four forward transforms and their
// inner product with four more polynomials, the core of every matrix-vector product, on public
// constants made once, before the timing, so that their making does not dilute the ratio.
constexpr uint32_t ARITH_POLYS = 4;
struct ArithWork {
  alignas(64) uint32_t a[ARITH_POLYS * N], b[ARITH_POLYS * N], scratch[ARITH_POLYS * N], out[N];
  ArithWork() {
    for (uint32_t i = 0; i < ARITH_POLYS * N; ++i) {
      a[i] = (i * 7919u) % Q;
      b[i] = (i * 104729u) % Q;
    }
  }
  void run(const Kernels &k) {
    std::memcpy(scratch, a, sizeof scratch);
    for (uint32_t i = 0; i < ARITH_POLYS; ++i) k.forward_ntt(scratch + i * N);
    k.inner_product(out, scratch, b, ARITH_POLYS);
  }
};

// Sets the avx512 path's tables to the width path_arith_for picks for the chosen path b.
uint32_t choose_arith(Backend b, PathTest test) {
  const uint32_t bits = path_arith_for(b, test, arith_reason, sizeof arith_reason);
  if (b == Backend::avx512) kernels_avx512_bits_use(bits);
  return bits;
}

void *run_trial(void *arg) {
  Trial *t = static_cast<Trial *>(arg);
  trial_test = t->test;
  t->chosen = path_choose_among(t->candidates, t->count, test_path, &t->failed);
  arith_chosen = choose_arith(t->chosen, t->test);
  choose_lanes(kernels_of(t->chosen), t->work);
  return nullptr;
}

// path_choose_among over the candidates, with every self-test on a thread of its own, so that the
// library's first call needs no more of its caller's stack than any later call (a key pair, a
// signature and a verification nested below the caller's first call would need about 140 KiB).
// False when no such thread could be run: then nothing was tested.
bool choose_on_own_thread(Trial &t) {
#if defined(TAVIK_SINGLE_THREADED)
  // No thread can be started: the self-tests run on the caller's stack, which such builds make
  // large enough for them (the WebAssembly link gives its stack 1 MiB).
  run_trial(&t);
  return true;
#else
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attr, SELF_TEST_STACK) == 0 &&
                       pthread_create(&thread, &attr, run_trial, &t) == 0;
  pthread_attr_destroy(&attr);
  return started && pthread_join(thread, nullptr) == 0;
#endif
}

// Best first: the request of TAVIK_BACKEND when available, then every available path below it.
Backend choose(PathTest test, LaneWork work) {
  Backend top = backend_available(Backend::avx512) ? Backend::avx512
                : backend_available(Backend::avx2) ? Backend::avx2
                : backend_available(Backend::neon) ? Backend::neon
                : backend_available(Backend::simd128) ? Backend::simd128
                                                   : Backend::scalar;
  const char *env = env_value("TAVIK_BACKEND");
  bool requested = false;
  for (Backend b : {Backend::scalar, Backend::avx2, Backend::avx512, Backend::neon, Backend::simd128}) {
    if (env != nullptr && std::strcmp(env, backend_name(b)) == 0 && backend_available(b)) {
      top = b;
      requested = true;
    }
  }
  Backend candidates[5];
  uint32_t count = 0;
  for (int b = int(top); b >= 0; --b) {
    if (backend_available(Backend(b))) candidates[count++] = Backend(b);
  }
  Trial trial{candidates, count, test, work};
  if (count <= 1) {
    trial.chosen = path_choose_among(candidates, count, test_path, &trial.failed);  // the last one is taken untested
    arith_chosen = choose_arith(trial.chosen, test);
    choose_lanes(kernels_of(trial.chosen), work);
  } else if (!choose_on_own_thread(trial)) {
    // An untested vector path is never used: the scalar path needs no test.
    say(reason, sizeof reason, {"no thread could run the self-test of ", backend_name(candidates[0]), "; scalar needs none"});
    arith_chosen = choose_arith(Backend::scalar, test);
    choose_lanes(kernels_of(Backend::scalar), work);
    return Backend::scalar;
  }
  const uint32_t failed = trial.failed;
  const Backend b = trial.chosen;
  if (failed == 1) {
    say(reason, sizeof reason,
        {backend_name(candidates[0]), " failed its self-test; ", backend_name(b), " is the next path down"});
  } else if (failed > 1) {
    say(reason, sizeof reason, {backend_name(candidates[0]), " and ", backend_name(candidates[1]),
                                " failed their self-tests; ", backend_name(b), " is the next path down"});
  } else {
    say(reason, sizeof reason,
        {requested ? "requested by TAVIK_BACKEND" : "best available", b == Backend::scalar ? "" : ", self-test passed"});
  }
  return b;
}

}  // namespace

Backend path_choose(PathTest test, LaneWork work) {
  std::call_once(choice_made, [test, work] {
    chosen = choose(test, work);
    kernels_use(chosen);
    keccak_lanes_use(lanes_chosen);
  });
  return chosen;
}

const char *path_reason() { return reason; }

uint32_t path_lanes() { return lanes_chosen; }

const char *path_lanes_reason() { return lanes_reason; }

uint32_t path_arith_bits() { return arith_chosen; }

const char *path_arith_reason() { return arith_reason; }

uint32_t path_arith_for(Backend b, PathTest test, char *why, size_t why_len) {
  if (b != Backend::avx512) {
    say(why, why_len, {"the path's only width"});
    return b == Backend::scalar ? 32 : b == Backend::neon || b == Backend::simd128 ? 128 : 256;
  }
  uint32_t bits = 256;
  if (const char *env = env_word("TAVIK_ARITH", "256", "512")) {
    bits = env[0] == '5' ? 512 : 256;
    say(why, why_len, {"requested by TAVIK_ARITH"});
  } else {
#if defined(TAVIK_NO_HOST_CLOCK_OR_ENV)
    bits = 256;
    say(why, why_len, {"not measured: this build reads no clock"});
#else
    ArithWork work;
    const Timing t = time_both([&](bool wide) { work.run(kernels_avx512(wide ? 512 : 256)); }, ARITH_ROUNDS);
    bits = t.ratio < WIDER_PERMILLE ? 512 : 256;
    std::snprintf(why, why_len, "transforms at 512 bits %llu ticks vs at 256 %llu, medians of %u",
                  (unsigned long long)t.wide, (unsigned long long)t.narrow, ARITH_ROUNDS.counted());
#endif
  }
  if (bits == 512 && !test(kernels_avx512(512))) {
    bits = 256;
    say(why, why_len, {"the 512-bit arithmetic failed its self-test"});
  }
  return bits;
}

Backend path_choose_among(const Backend *candidates, uint32_t count, bool (*test)(Backend), uint32_t *failed) {
  *failed = 0;
  for (uint32_t i = 0; i + 1 < count; ++i) {
    if (test(candidates[i])) return candidates[i];
    ++*failed;
  }
  return count != 0 ? candidates[count - 1] : Backend::scalar;
}

}  // namespace tavik
