#include "speed_records.h"

#include "tavik.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tavik {

namespace {

// The label without its trailing colon: "sig_sign:" names the call "sig_sign".
std::string call_name(const std::string &label) {
  return !label.empty() && label.back() == ':' ? label.substr(0, label.size() - 1) : label;
}

std::string json_string(const std::string &s) {
  std::string o = "\"";
  for (const unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      o += '\\';
      o += char(ch);
    } else if (ch < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      o += buf;
    } else {
      o += char(ch);
    }
  }
  return o + "\"";
}

std::string csv_field(const std::string &s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string o = "\"";
  for (const char ch : s) {
    if (ch == '"') o += '"';
    o += ch;
  }
  return o + "\"";
}

std::string number(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", x);
  return buf;
}

std::string number(uint64_t x) { return std::to_string(x); }

// Fields of one record, in output order, with whether each is text (quoted in JSON).
struct Field {
  const char *key;
  std::string value;
  bool text;
};

std::vector<Field> fields(const Environment &env, const Result &r) {
  const double tpu = env.tsc_ticks_per_us > 0 ? env.tsc_ticks_per_us : 1;
  return {
      {"call", call_name(r.name), true},
      {"path", r.path, true},
      {"count", number(r.count), false},
      {"median_ticks", number(r.median), false},
      {"mean_ticks", number(r.mean), false},
      {"min_ticks", number(r.min), false},
      {"max_ticks", number(r.max), false},
      {"median_us", number(double(r.median) / tpu), false},
      {"mean_us", number(r.mean / tpu), false},
      {"min_us", number(double(r.min) / tpu), false},
      {"max_us", number(double(r.max) / tpu), false},
      {"keccak_lanes", number(uint64_t(r.lanes)), false},
      {"keccak_lanes_reason", r.lanes_reason, true},
      {"arith_bits", number(uint64_t(r.arith_bits)), false},
      {"arith_reason", r.arith_reason, true},
      {"tsc_ticks_per_us", number(env.tsc_ticks_per_us), false},
      {"cpu_model", env.cpu_model, true},
      {"cpu_features", env.cpu_features, true},
      {"compiler", env.compiler, true},
      {"library_version", env.library_version, true},
  };
}

std::string cpu_model_name() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) {
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? "" : line.substr(start);
      }
    }
  }
  return "unknown";
}

std::string vector_features() {
  std::string f;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  auto add = [&f](bool present, const char *name) {
    if (!present) return;
    if (!f.empty()) f += ' ';
    f += name;
  };
  add(__builtin_cpu_supports("sse4.2"), "sse4.2");
  add(__builtin_cpu_supports("avx"), "avx");
  add(__builtin_cpu_supports("avx2"), "avx2");
  add(__builtin_cpu_supports("bmi2"), "bmi2");
  add(__builtin_cpu_supports("avx512f"), "avx512f");
  add(__builtin_cpu_supports("avx512dq"), "avx512dq");
  add(__builtin_cpu_supports("avx512bw"), "avx512bw");
  add(__builtin_cpu_supports("avx512vl"), "avx512vl");
  add(__builtin_cpu_supports("avx512ifma"), "avx512ifma");
  add(__builtin_cpu_supports("avx512vbmi"), "avx512vbmi");
#endif
  return f;
}

}  // namespace

Result summarise(const char *name, const char *path, uint64_t *t, size_t n) {
  Result r;
  r.name = name;
  r.path = path;
  r.count = n;
  if (n == 0) return r;
  std::sort(t, t + n);
  r.median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) >> 1;
  r.min = t[0];
  r.max = t[n - 1];
  long double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += t[i];
  r.mean = double(sum / n);
  return r;
}

std::string report_line(const Result &r) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "\t%" PRIu64 "\t%.3f\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%u\t%u\t", r.median,
                r.mean, r.min, r.max, r.count, unsigned(r.lanes), unsigned(r.arith_bits));
  std::string o = r.name;
  o.append("\t").append(r.path).append(buf).append(r.lanes_reason).append("\t").append(r.arith_reason).append("\n");
  return o;
}

bool parse_report_line(const char *line, Result *r) {
  const char *tab1 = std::strchr(line, '\t');
  if (tab1 == nullptr) return false;
  const char *tab2 = std::strchr(tab1 + 1, '\t');
  if (tab2 == nullptr) return false;
  unsigned long long median, min, max, count;
  double mean;
  unsigned lanes = 0, bits = 0;
  int reason_at = -1;
  const int n = std::sscanf(tab2 + 1, "%llu\t%lf\t%llu\t%llu\t%llu\t%u\t%u\t%n", &median, &mean, &min, &max, &count,
                            &lanes, &bits, &reason_at);
  // The writer is this program itself (a child of the same binary): every field is there.
  if (n != 7 || reason_at < 0) return false;
  const char *reason = tab2 + 1 + reason_at;
  const size_t len = std::strcspn(reason, "\t\n");
  if (reason[len] != '\t') return false;
  r->lanes = lanes;
  r->arith_bits = bits;
  r->lanes_reason.assign(reason, reason + len);
  r->arith_reason.assign(reason + len + 1, reason + len + 1 + std::strcspn(reason + len + 1, "\n"));
  r->name.assign(line, tab1);
  r->path.assign(tab1 + 1, tab2);
  r->median = median;
  r->mean = mean;
  r->min = min;
  r->max = max;
  r->count = count;
  return true;
}

Environment describe_environment(double tsc_ticks_per_us) {
  Environment e;
  e.tsc_ticks_per_us = tsc_ticks_per_us;
  e.cpu_model = cpu_model_name();
  e.cpu_features = vector_features();
#if defined(__clang__)
  e.compiler = "clang " __clang_version__;
#elif defined(__GNUC__)
  e.compiler = "g++ " __VERSION__;
#else
  e.compiler = "unknown";
#endif
  e.library_version = tavik_version();
  return e;
}

std::string records_json(const Environment &env, const std::vector<Result> &results) {
  std::string o = "{\"records\": [";
  for (size_t i = 0; i < results.size(); ++i) {
    o += i ? ",\n  {" : "\n  {";
    const std::vector<Field> fs = fields(env, results[i]);
    for (size_t j = 0; j < fs.size(); ++j) {
      if (j) o += ", ";
      o.append(json_string(fs[j].key)).append(": ").append(fs[j].text ? json_string(fs[j].value) : fs[j].value);
    }
    o += "}";
  }
  return o + "\n]}\n";
}

std::string records_csv(const Environment &env, const std::vector<Result> &results) {
  std::string o;
  const char *sep = "";
  for (const Field &f : fields(env, Result{})) {
    o.append(sep).append(f.key);
    sep = ",";
  }
  o += '\n';
  for (const Result &r : results) {
    sep = "";
    for (const Field &f : fields(env, r)) {
      o.append(sep).append(csv_field(f.value));
      sep = ",";
    }
    o += '\n';
  }
  return o;
}

}  // namespace tavik
