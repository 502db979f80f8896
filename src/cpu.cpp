#include "cpu.h"

#if TAVIK_X86_KERNELS
#include <cpuid.h>
#endif
#if TAVIK_NEON_KERNELS
#include <sys/auxv.h>
#ifndef HWCAP_ASIMD
#define HWCAP_ASIMD (1ul << 1)
#endif
#ifndef HWCAP_SHA3
#define HWCAP_SHA3 (1ul << 17)
#endif
#endif

namespace tavik {
namespace {

#if TAVIK_X86_KERNELS
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ __volatile__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}
#endif

struct Features {
  bool avx2 = false;
  bool avx512 = false;
  bool neon = false;
  bool sha3 = false;
  bool pclmul = false;
  bool vpclmul = false;
};

Features detect() {
  Features f;
#if TAVIK_X86_KERNELS
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool osxsave = (c >> 27) & 1, popcnt = (c >> 23) & 1;  // the AVX2 rejection steps count with POPCNT
  f.pclmul = (c >> 1) & 1;
  if (!osxsave) return f;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm = (xcr0 & 0x6) == 0x6;
  const bool zmm = (xcr0 & 0xE6) == 0xE6;
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  const bool bmi1 = (b >> 3) & 1, avx2 = (b >> 5) & 1, bmi2 = (b >> 8) & 1;
  const bool avx512f = (b >> 16) & 1, avx512bw = (b >> 30) & 1, avx512vl = (b >> 31) & 1;
  f.avx2 = ymm && avx2 && bmi1 && bmi2 && popcnt;
  f.avx512 = f.avx2 && zmm && avx512f && avx512bw && avx512vl;
  f.vpclmul = f.avx2 && f.pclmul && ((c >> 10) & 1);
#endif
#if TAVIK_NEON_KERNELS
  const unsigned long hwcap = getauxval(AT_HWCAP);
  f.neon = (hwcap & HWCAP_ASIMD) != 0;
  f.sha3 = f.neon && (hwcap & HWCAP_SHA3) != 0;
#endif
  return f;
}

const Features &features() {
  static const Features f = detect();
  return f;
}

}  // namespace

bool backend_available(Backend b) {
  switch (b) {
    case Backend::scalar: return true;
    case Backend::avx2: return features().avx2;
    case Backend::avx512: return features().avx512;
    case Backend::neon: return features().neon;
#if TAVIK_SIMD128_KERNELS
    case Backend::simd128: return true;  // the module would not have loaded without SIMD
#else
    case Backend::simd128: return false;
#endif
  }
  return false;
}

bool cpu_has_sha3() { return features().sha3; }
bool cpu_has_pclmul() { return features().pclmul; }
bool cpu_has_vpclmul() { return features().vpclmul; }

const char *backend_name(Backend b) {
  switch (b) {
    case Backend::scalar: return "scalar";
    case Backend::avx2: return "avx2";
    case Backend::avx512: return "avx512";
    case Backend::neon: return "neon";
    case Backend::simd128: return "simd128";
  }
  return "scalar";
}

}  // namespace tavik
