// Entry point of testtavik: "testtavik t" runs the automatic performance run, anything else
// opens the interactive menu. The exit status is always 0.
#include <cstring>

#include "testtavik.h"
#include "testtavik_util.h"

// argv[1] == "t" as the only argument selects the automatic run; returns 0.
int main(int argc, char **argv) {
  test_check_backend_env(stderr);
  if (argc == 2 && std::strcmp(argv[1], "t") == 0) {
    test_sig_performance_auto();
  } else {
    test_sig_iterative();
  }
  return 0;
}
