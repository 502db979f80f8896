// Measurements of tavik_speed as records: statistics of one call on one path, the child-to-parent
// report line, and the JSON and CSV forms with the machine and build they were taken on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

struct Result {
  std::string name;  // label as printed, e.g. "sig_sign:"
  std::string path;  // "scalar", "avx2" or "avx512"
  uint64_t count = 0, median = 0, min = 0, max = 0;
  double mean = 0;
  uint32_t lanes = 0;        // width of the Keccak lanes the path chose (4 or 8)
  std::string lanes_reason;  // why, as the path reports it
  uint32_t arith_bits = 0;   // vector width of its arithmetic (32, 256 or 512)
  std::string arith_reason;  // why
};

// Where and with what the measurements were taken.
struct Environment {
  double tsc_ticks_per_us = 0;
  std::string cpu_model, cpu_features, compiler, library_version;
};

// Statistics of t[0..n) (n >= 1) under `name` on `path`; sorts t. The median of an even count is
// the mean of the two middle values rounded down, as the text summary prints it.
Result summarise(const char *name, const char *path, uint64_t *t, size_t n);
// One line "name<TAB>path<TAB>median<TAB>mean<TAB>min<TAB>max<TAB>count<TAB>lanes<TAB>arith bits<TAB>
// lanes reason<TAB>arith reason\n", and its reader (false for a line that is not one).
std::string report_line(const Result &r);
bool parse_report_line(const char *line, Result *r);

// This processor, compiler and library.
Environment describe_environment(double tsc_ticks_per_us);
// The records as a JSON document {"records": [...]} or as CSV with a header line; every record
// carries the environment, so each stands on its own.
std::string records_json(const Environment &env, const std::vector<Result> &results);
std::string records_csv(const Environment &env, const std::vector<Result> &results);

}  // namespace tavik
