// The forms of the single-stream permutation behind KeccakF1600_StatePermute, callable directly
// so that each can be checked whatever path the process selected.
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_FIPS202_BMI 1
#endif

namespace tavik {

// Portable form for any processor.
void KeccakF1600_StatePermute_portable(uint64_t state[25]);

#if TAVIK_FIPS202_BMI
// Form with BMI1 and BMI2 (andn, rorx): only to be called when backend_available(Backend::avx2).
void KeccakF1600_StatePermute_bmi(uint64_t state[25]);
#endif

}  // namespace tavik
