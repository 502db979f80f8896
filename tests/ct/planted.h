// Deliberate leaks for the avx512 path, compiled as its kernels are (for AVX-512 in the
// MemorySanitizer build, over SIMDe in the valgrind one): the constant-time check must report each.
#pragma once
#include "kernels.h"

namespace tavik::ct_planted {

// A copy of `base` with one kernel replaced by a leaking form that gives the same results:
//   "branch": check_norm scans on, but a coefficient above Q/2 takes a branch of its own;
//   "load":   add also reads a 256-entry table at an index taken from the sum;
//   "gather": add also gathers from that table with sixteen indices taken from the sum (not in
//             builds over SIMDe, which has no gather).
// Null for any other kind. One table at a time (the last one asked for).
const Kernels *planted_table(const Kernels &base, const char *kind);

}  // namespace tavik::ct_planted
