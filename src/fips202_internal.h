// The forms of the single-stream permutation behind KeccakF1600_StatePermute, callable directly
// so that each can be checked whatever path the process selected.
#pragma once
#include <cstdint>

#if defined(__x86_64__)
#define TAVIK_FIPS202_BMI 1
#define TAVIK_FIPS202_AVX512 1
#endif

namespace tavik {

// Portable form for any processor.
void KeccakF1600_StatePermute_portable(uint64_t state[25]);

#if TAVIK_FIPS202_BMI
// Form with BMI1 and BMI2 (andn, rorx): only to be called when backend_available(Backend::avx2).
void KeccakF1600_StatePermute_bmi(uint64_t state[25]);
#endif

#if TAVIK_FIPS202_AVX512
// Form with AVX-512VL (one lane per 128-bit register, vprolq and ternary logic): only to be
// called when backend_available(Backend::avx512).
void KeccakF1600_StatePermute_avx512(uint64_t state[25]);
#endif

}  // namespace tavik
