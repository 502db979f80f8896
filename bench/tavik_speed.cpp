// Benchmark: the three calls, the expanded-key and context calls, and (--kernels) the building
// blocks that dominate them, counted in time-stamp-counter ticks. The text gives each call's median
// in microseconds at the counter's measured rate, key generation, signing and verification first.
// `tavik_speed [runs]` measures the path in use; `tavik_speed --compare [runs]` measures every
// available path in turn and prints the ratios. `--json` or `--csv` prints one record per call and
// path instead of the text, the building blocks always included.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Polynomial.h"
#include "cpu.h"
#include "cpucycles.h"
#include "fips202.h"
#include "fips202x4.h"
#include "kernels.h"
#include "shake_lanes.h"
#include "params.h"
#include "signature.h"
#include "speed_records.h"
#include "testtavik_util.h"

using namespace tavik;

namespace {

// Text output of the measurements; off when records are printed instead.
bool g_text = true;
// Whether the building blocks (transforms, samplers, permutations) are measured: with --kernels,
// and always for the records.
bool g_kernels = false;
// The counter's measured rate: the text gives each median in microseconds at it, and the records
// convert with it too.
double g_ticks_per_us = 0;

// The name a text line shows for a measurement label: the three calls say what they do.
std::string display_name(const std::string &label) {
  const std::string call = !label.empty() && label.back() == ':' ? label.substr(0, label.size() - 1) : label;
  if (call == "sig_keygen") return "key generation (sig_keygen)";
  if (call == "sig_sign") return "signing (sig_sign)";
  if (call == "sig_verf") return "verification (sig_verf)";
  return call;
}

// Ticks of the time-stamp counter per microsecond, measured against the monotonic clock.
double tsc_ticks_per_us() {
  timespec a{}, b{};
  clock_gettime(CLOCK_MONOTONIC, &a);
  const uint64_t t0 = cpucycles();
  do clock_gettime(CLOCK_MONOTONIC, &b);
  while ((b.tv_sec - a.tv_sec) * 1000000000L + (b.tv_nsec - a.tv_nsec) < 50000000L);
  const uint64_t t1 = cpucycles();
  const double ns = double((b.tv_sec - a.tv_sec) * 1000000000L + (b.tv_nsec - a.tv_nsec));
  return double(t1 - t0) / (ns / 1000.0);
}

// Runs body `runs` times, prints its median in microseconds (text mode), and records its statistics.
template <typename Body>
void measure(std::vector<Result> &results, const char *name, size_t runs, Body body) {
  std::vector<uint64_t> t(runs);
  for (size_t i = 0; i < runs; ++i) {
    const uint64_t start = cpucycles();
    body(i);
    t[i] = cpucycles() - start;
  }
  results.push_back(summarise(name, backend_name(active_backend()), t.data(), runs));
  if (g_text) std::printf("%-48s %12.3f us\n", display_name(name).c_str(), double(results.back().median) / g_ticks_per_us);
  results.back().lanes = backend_lanes();
  results.back().lanes_reason = backend_lanes_reason();
  results.back().arith_bits = backend_arith_bits();
  results.back().arith_reason = backend_arith_reason();
}

void measure_kernels(std::vector<Result> &r, size_t runs);

std::vector<Result> run_all(size_t runs) {
  std::vector<Result> r;
  static uint8_t pk[PK_BYTES], sk[SK_BYTES], sig[SIG_BYTES], msg[59];
  uint64_t siglen = 0;
  for (size_t i = 0; i < sizeof msg; ++i) msg[i] = uint8_t(i);

  // Warm-up: a third of a second of the three calls, so the processor's clock and caches settle
  // before anything is counted.
  const uint64_t warm_until = cpucycles() + uint64_t(g_ticks_per_us * 300000.0);
  while (cpucycles() < warm_until) {
    sig_keygen(pk, sk);
    sig_sign(sk, msg, sizeof msg, sig, &siglen);
    sig_verf(pk, sig, siglen, msg, sizeof msg);
  }

  measure(r, "sig_keygen:", runs, [&](size_t) { sig_keygen(pk, sk); });
  SignStats stats;
  measure(r, "sig_sign:", runs, [&](size_t i) {
    msg[0] = uint8_t(i);
    msg[1] = uint8_t(i >> 8);
    sign_with_stats(sk, msg, sizeof msg, sig, &siglen, &stats);
  });
  int failures = 0;
  measure(r, "sig_verf:", runs, [&](size_t) { failures += sig_verf(pk, sig, siglen, msg, sizeof msg) != 0; });
  if (g_text) {
    std::printf("(medians of %zu runs, in microseconds at the counter's measured %.3f ticks per microsecond)\n\n"
                "many messages under one key, through expanded keys:\n",
                runs, g_ticks_per_us);
  }
  // Many messages under one key: the expanded keys, and the calls from them against the calls above.
  static tavik_expanded_sk xsk;
  static tavik_expanded_pk xpk;
  measure(r, "tavik_expand_sk:", runs, [&](size_t) { tavik_expand_sk(&xsk, sk); });
  measure(r, "tavik_sign_expanded:", runs, [&](size_t i) {
    msg[0] = uint8_t(i);
    msg[1] = uint8_t(i >> 8);
    tavik_sign_expanded(&xsk, msg, sizeof msg, sig);
  });
  measure(r, "tavik_expand_pk:", runs, [&](size_t) { tavik_expand_pk(&xpk, pk); });
  measure(r, "tavik_verify_expanded:", runs,
          [&](size_t) { failures += tavik_verify_expanded(&xpk, sig, SIG_BYTES, msg, sizeof msg) != 0; });
  tavik_expanded_sk_wipe(&xsk);
  if (g_text) {
    const size_t n = r.size();  // ..., sig_sign, sig_verf, expand_sk, sign_expanded, expand_pk, verify_expanded
    const double sign = double(r[n - 6].median), verf = double(r[n - 5].median);
    std::printf("tavik_sign_expanded / sig_sign %.2f, tavik_verify_expanded / sig_verf %.2f, "
                "(tavik_expand_pk + tavik_verify_expanded) / sig_verf %.2f\n\n",
                double(r[n - 3].median) / sign, double(r[n - 1].median) / verf,
                double(r[n - 2].median + r[n - 1].median) / verf);
  }
  // The cost of a context: a 32-byte context on the 59-byte message, against the same calls without.
  if (g_text) std::printf("contexts:\n");
  static uint8_t ctx[32], sig_ctx[SIG_BYTES];
  for (size_t i = 0; i < sizeof ctx; ++i) ctx[i] = uint8_t(0xc0 + i);
  measure(r, "tavik_sign_hedged:", runs, [&](size_t i) {
    msg[0] = uint8_t(i);
    msg[1] = uint8_t(i >> 8);
    tavik_sign_hedged(sk, msg, sizeof msg, sig);
  });
  measure(r, "tavik_sign_ctx_hedged (32-byte context):", runs, [&](size_t i) {
    msg[0] = uint8_t(i);
    msg[1] = uint8_t(i >> 8);
    tavik_sign_ctx_hedged(sk, ctx, sizeof ctx, msg, sizeof msg, sig_ctx);
  });
  measure(r, "tavik_verify:", runs, [&](size_t) { failures += tavik_verify(pk, sig, SIG_BYTES, msg, sizeof msg) != 0; });
  measure(r, "tavik_verify_ctx (32-byte context):", runs, [&](size_t) {
    failures += tavik_verify_ctx(pk, ctx, sizeof ctx, sig_ctx, SIG_BYTES, msg, sizeof msg) != 0;
  });
  // What a context adds to signing, free of the attempts' spread: the hash of the context (and the
  // stack it used zeroed), the difference of these two.
  static tavik_mu_state mu_state;
  measure(r, "tavik_mu_init:", runs, [&](size_t) { tavik_mu_init(&mu_state, pk, nullptr, 0); });
  measure(r, "tavik_mu_init (32-byte context):", runs, [&](size_t) { tavik_mu_init(&mu_state, pk, ctx, sizeof ctx); });
  if (g_text) {
    const size_t n = r.size();
    std::printf("with a 32-byte context: tavik_sign_ctx_hedged / tavik_sign_hedged %.4f, "
                "tavik_verify_ctx / tavik_verify %.4f; the context's hash %.3f us, %.4f of tavik_sign_hedged\n\n",
                double(r[n - 5].median) / double(r[n - 6].median), double(r[n - 3].median) / double(r[n - 4].median),
                (double(r[n - 1].median) - double(r[n - 2].median)) / g_ticks_per_us,
                (double(r[n - 1].median) - double(r[n - 2].median)) / double(r[n - 6].median));
  }
  if (failures != 0) std::fprintf(g_text ? stdout : stderr, "verification failures: %d\n\n", failures);
  if (g_text) {
    std::printf("mean signing attempts: %.3f (%llu attempts for %zu signatures)\n\n",
                double(stats.attempts) / double(runs), (unsigned long long)stats.attempts, runs);
  }
  if (g_kernels) measure_kernels(r, runs);
  return r;
}

// The building blocks of the path in use.
void measure_kernels(std::vector<Result> &r, size_t runs) {
  if (g_text) std::printf("building blocks:\n");

  static uint32_t A[K * L * N], v[L * N], out[N], c[N], w1[K * N];
  uint8_t rho[SEED_BYTES] = {1, 2, 3};
  uint8_t seed80[SEED_BYTES + CRH_BYTES] = {4, 5, 6};
  uint8_t flags[K];
  uint64_t state[25] = {};
  for (uint32_t i = 0; i < L * N; ++i) v[i] = (i * 7919u) % Q;
  for (uint32_t i = 0; i < K * N; ++i) w1[i] = i % 16;

  measure(r, "Generate_A:", runs, [&](size_t i) {
    rho[0] = uint8_t(i);
    Generate_A(A, rho);
  });
  // The transforms of the path in use (PolyVec_mult calls these).
  void (*const fwd)(uint32_t *) = kernels().forward_ntt;
  void (*const inv)(uint32_t *, const uint32_t *, const uint32_t *) = kernels().inverse_ntt;
  measure(r, "forward_ntt:", runs, [&](size_t) { fwd(v); PolyVec_freeze(v, 1); });
  measure(r, "inverse_ntt:", runs, [&](size_t) { inv(out, A, v); });
  measure(r, "PolyVec_mult (row of A times vector):", runs, [&](size_t) {
    int32_t fa = 1, fv = 1;
    PolyVec_mult(out, A, &fa, L, v, &fv, L);
  });
  measure(r, "poly_uniform_gamma1m1:", runs, [&](size_t i) { poly_uniform_gamma1m1(flags, out, seed80, uint32_t(i)); });
  measure(r, "PolyVec_uniform_gamma1m1 (4 polynomials):", runs,
          [&](size_t i) { polyvec_uniform_gamma1m1(flags, v, seed80, uint32_t(4 * i)); });
  measure(r, "challenge:", runs, [&](size_t i) {
    w1[0] = uint32_t(i) % 16;
    challenge(c, seed80, w1);
  });
  measure(r, "KeccakF1600_StatePermute:", runs, [&](size_t) { KeccakF1600_StatePermute(state); });
  static uint64_t state4[100] = {};
  measure(r, "KeccakF1600_StatePermute4x:", runs, [&](size_t) { KeccakF1600_StatePermute4x(state4); });
  // Four states with a fifth beside them: the side hashes' step beside the rows of the matrix.
  static uint64_t state1[25] = {};
  void (*const permute4x1)(uint64_t *, uint64_t *) = kernels().permute4x1;
  measure(r, "permute4x1 (four states, one beside):", runs, [&](size_t) { permute4x1(state4, state1); });
  alignas(64) static uint64_t state8[200] = {};
  void (*const permute8x)(uint64_t *) = kernels().permute8x;
  measure(r, "permute8x:", runs, [&](size_t) { permute8x(state8); });
  // Eight with a ninth beside them: key generation's tr beside the scheduled expansion.
  void (*const permute8x1)(uint64_t *, uint64_t *) = kernels().permute8x1;
  measure(r, "permute8x1 (eight states, one beside):", runs, [&](size_t) { permute8x1(state8, state1); });
  // On the neon path of a processor with the SHA-3 instructions, the same permutations with NEON
  // alone, for the comparison the path's fixed choice (SHA-3 wherever present) rests on.
  if (active_backend() == Backend::neon && cpu_has_sha3()) {
    const Kernels &plain = kernels_neon(false);
    measure(r, "KeccakF1600_StatePermute, NEON without SHA-3:", runs, [&](size_t) { plain.permute(state); });
    measure(r, "KeccakF1600_StatePermute4x, NEON without SHA-3:", runs, [&](size_t) { plain.permute4x(state4); });
  }
  // The permutation and extraction of the scheduled SHAKE jobs (verification's tr beside A), at
  // each width; the chosen one is keccak_lanes().
  alignas(64) static uint64_t lane_state[200] = {};
  static uint8_t lane_out[8][SHAKE128_RATE];
  uint8_t *const lane_dst[8] = {lane_out[0], lane_out[1], lane_out[2], lane_out[3],
                                lane_out[4], lane_out[5], lane_out[6], lane_out[7]};
  const Kernels &k = kernels();
  measure(r, "scheduled four-state step:", runs, [&](size_t) {
    k.permute4x(lane_state);
    k.extract4x(lane_dst, lane_state);
  });
  measure(r, "scheduled eight-state step:", runs, [&](size_t) {
    k.permute8x(lane_state);
    k.extract8x(lane_dst, lane_state);
  });
  if (g_text) std::printf("\n");
}

// Runs this program for one path in a child and reads back its report lines; the child's text
// output is discarded. The child converts at the parent's rate, so that one run prints one rate
// throughout, and measures the building blocks when this process would.
std::vector<Result> run_child(const char *self, Backend b, const char *arith, size_t runs) {
  std::vector<Result> r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);  // may be descriptor 3 itself, so it goes before the dup2
    if (fds[1] != 3) {
      dup2(fds[1], 3);
      close(fds[1]);
    }
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    setenv("TAVIK_BACKEND", backend_name(b), 1);
    if (arith != nullptr) setenv("TAVIK_ARITH", arith, 1);
    const std::string n = std::to_string(runs);
    char rate[64];
    std::snprintf(rate, sizeof rate, "--ticks-per-us=%.17g", g_ticks_per_us);
    // --kernels last: without it the list ends at the count.
    execl(self, self, "--report-fd3", rate, n.c_str(), g_kernels ? "--kernels" : static_cast<char *>(nullptr),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  FILE *f = fdopen(fds[0], "r");
  char line[512];
  Result x;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    if (parse_report_line(line, &x)) r.push_back(x);
  }
  if (f != nullptr) std::fclose(f);
  int status = 0;
  waitpid(pid, &status, 0);
  return r;
}

// Prints the records in the chosen form; `format` is "json" or "csv".
void print_records(const std::string &format, double tpu, const std::vector<Result> &results) {
  const Environment env = describe_environment(tpu);
  std::fputs((format == "json" ? records_json(env, results) : records_csv(env, results)).c_str(), stdout);
}

void print_usage(FILE *out) {
  std::fputs(
      "usage: tavik_speed [--compare] [--kernels] [--json | --csv] [runs]\n"
      "  Measures key generation, signing and verification, then the expanded-key and context calls,\n"
      "  in time-stamp-counter ticks, and prints each call's median in microseconds at the counter's\n"
      "  rate measured at the start.\n"
      "  runs       calls measured per line (default 10000)\n"
      "  --kernels  also measure the building blocks (transforms, samplers, Keccak permutations)\n"
      "  --compare  measure every path this processor has, each in its own process, and print ratios;\n"
      "             avx512 twice, with its 256- and with its 512-bit arithmetic; neon on aarch64\n"
      "  --json, --csv  print one record per call and path instead of the text, with medians, means,\n"
      "             minima and maxima in ticks and microseconds; the building blocks always included\n"
      "  --help     print this text\n"
      "  TAVIK_BACKEND=scalar|avx2|avx512|neon chooses the path measured without --compare;\n"
      "  TAVIK_ARITH=256|512 the width of the avx512 path's arithmetic, TAVIK_LANES=4|8 the Keccak lanes.\n",
      out);
}

}  // namespace

int main(int argc, char **argv) {
  bool compare = false, report = false;
  std::string format;  // empty for text, else "json" or "csv"
  size_t runs = 10000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--compare") == 0) compare = true;
    else if (std::strcmp(argv[i], "--report-fd3") == 0) report = true;
    else if (std::strcmp(argv[i], "--kernels") == 0) g_kernels = true;
    else if (std::strncmp(argv[i], "--ticks-per-us=", 15) == 0) g_ticks_per_us = std::strtod(argv[i] + 15, nullptr);
    else if (std::strcmp(argv[i], "--json") == 0) format = "json";
    else if (std::strcmp(argv[i], "--csv") == 0) format = "csv";
    else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      print_usage(stdout);
      return 0;
    } else if (argv[i][0] < '0' || argv[i][0] > '9') {
      std::fprintf(stderr, "tavik_speed: unknown argument '%s'\n", argv[i]);
      print_usage(stderr);
      return 2;
    } else runs = std::max<size_t>(1, std::strtoull(argv[i], nullptr, 10));
  }
  if (!report) test_check_backend_env(stderr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  g_text = format.empty();
  if (!g_text) g_kernels = true;
  if (!(g_ticks_per_us > 0)) g_ticks_per_us = tsc_ticks_per_us();
  const double tpu = g_ticks_per_us;

  if (compare) {
    // The kernel sets: each path, and the avx512 path with each width of its arithmetic.
    struct Set {
      Backend path;
      const char *arith;  // TAVIK_ARITH for the child, or null
      const char *label;
    };
    const Set sets[] = {{Backend::scalar, nullptr, "scalar"},
                        {Backend::avx2, nullptr, "avx2"},
                        {Backend::avx512, "256", "avx512/256"},
                        {Backend::avx512, "512", "avx512/512"},
                        {Backend::neon, nullptr, "neon"}};
    std::vector<const Set *> paths;
    std::vector<std::vector<Result>> results;
    for (const Set &set : sets) {
      if (!backend_available(set.path)) continue;
      paths.push_back(&set);
      results.push_back(run_child("/proc/self/exe", set.path, set.arith, runs));
    }
    if (!g_text) {
      std::vector<Result> all;
      for (const auto &res : results) all.insert(all.end(), res.begin(), res.end());
      print_records(format, tpu, all);
      return 0;
    }
    // Medians in microseconds, key generation, signing and verification first, then how many
    // times faster each path is than the scalar one.
    std::printf("medians of %zu runs, in microseconds at the counter's measured %.3f ticks per microsecond\n", runs,
                tpu);
    std::printf("%-44s", "");
    for (const Set *set : paths) std::printf("%12s", set->label);
    for (size_t p = 1; p < paths.size(); ++p) std::printf("%10s/%s", "scalar", paths[p]->label);
    std::printf("\n");
    for (size_t row = 0; row < results[0].size(); ++row) {
      std::printf("%-44s", display_name(results[0][row].name).c_str());
      for (auto &res : results) std::printf("%12.3f", row < res.size() ? double(res[row].median) / tpu : 0.0);
      for (size_t p = 1; p < paths.size(); ++p) {
        const double m = row < results[p].size() ? double(results[p][row].median) : 0.0;
        std::printf("%*.2fx", int(std::strlen(paths[p]->label)) + 10, m > 0 ? double(results[0][row].median) / m : 0.0);
      }
      std::printf("\n");
    }
    return 0;
  }

  const std::vector<Result> r = run_all(runs);
  if (g_text) {
    std::printf("path: %s (%s)\n", backend_name(active_backend()), backend_reason());
    std::printf("Keccak lanes: %u (%s)\n", unsigned(backend_lanes()), backend_lanes_reason());
    std::printf("arithmetic: %u bits (%s)\n", unsigned(backend_arith_bits()), backend_arith_reason());
    std::printf("time-stamp counter: %.3f ticks per microsecond\n", tpu);
  }
  if (report) {
    FILE *f = fdopen(3, "w");
    if (f != nullptr) {
      for (const auto &x : r) std::fputs(report_line(x).c_str(), f);
      std::fclose(f);
    }
  } else if (!g_text) {
    print_records(format, tpu, r);
  }
  return 0;
}
