// Writes a real performance log over chosen lists, for the report's tests and for charts made
// without the full run's 1,000,000 repetitions:
//   perf_log_sample LENGTHS COUNTS      e.g.  perf_log_sample 1,59 1,10
// appends one automatic run to tavik_c_test_performance.txt in the working directory.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "testtavik.h"

namespace {

// Comma-separated positive numbers; empty on any other text.
std::vector<int32_t> numbers(const char *s) {
  std::vector<int32_t> v;
  while (*s != '\0') {
    char *end = nullptr;
    const long x = std::strtol(s, &end, 10);
    if (end == s || x < 1 || x > 100000000 || (*end != ',' && *end != '\0')) return {};
    v.push_back(int32_t(x));
    s = *end == ',' ? end + 1 : end;
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<int32_t> lengths = argc == 3 ? numbers(argv[1]) : std::vector<int32_t>{};
  const std::vector<int32_t> counts = argc == 3 ? numbers(argv[2]) : std::vector<int32_t>{};
  if (lengths.empty() || counts.empty()) {
    std::fprintf(stderr, "usage: perf_log_sample LENGTHS COUNTS (comma-separated, e.g. 1,59 1,10)\n");
    return 2;
  }
  return test_sig_performance_auto_lists(lengths.data(), lengths.size(), counts.data(), counts.size());
}
