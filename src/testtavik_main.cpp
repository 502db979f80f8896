// Entry point of testtavik: "testtavik t" runs the automatic performance run, "testtavik --help"
// prints its usage, anything else opens the interactive menu. The exit status is always 0.
#include <cstdio>
#include <cstring>

#include "testtavik.h"
#include "testtavik_util.h"

// argv[1] == "t" as the only argument selects the automatic run; returns 0.
int main(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(
        "usage: testtavik      the interactive menu of tests (q quits)\n"
        "       testtavik t    the automatic performance run, appended to tavik_c_test_performance.txt\n"
        "       testtavik --help  print this text\n"
        "  TAVIK_BACKEND=scalar|avx2|avx512|neon chooses the path, TAVIK_LANES=4|8 the Keccak lanes,\n"
        "  TAVIK_ARITH=256|512 the width of the avx512 path's arithmetic.\n",
        stdout);
    return 0;
  }
  test_check_backend_env(stderr);
  if (argc == 2 && std::strcmp(argv[1], "t") == 0) {
    test_sig_performance_auto();
  } else {
    test_sig_iterative();
  }
  return 0;
}
