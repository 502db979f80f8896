// Median and average summary of tick counts.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tavik {

// qsort ordering of two uint64_t: -1, 0 or 1.
int cmp_llu(const void *a, const void *b);
// Prints label, median and average of t[0..tlen) (tlen >= 1); sorts t in place.
void print_results(const char *s, uint64_t *t, size_t tlen);

}  // namespace tavik
