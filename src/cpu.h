// The processor's features: which paths of kernels this processor (and this build) can run.
#pragma once
#include <cstdint>

// The vector kernels exist only on x86-64, and only when the build did not ask for the portable
// path alone (TAVIK_PORTABLE). Only kernels.cpp and cpu.cpp look at this.
#if defined(__x86_64__) && !defined(TAVIK_PORTABLE)
#define TAVIK_X86_KERNELS 1
#endif
// The NEON kernels exist only on little-endian aarch64, under the same condition.
#if defined(__aarch64__) && defined(__AARCH64EL__) && !defined(TAVIK_PORTABLE)
#define TAVIK_NEON_KERNELS 1
#endif
// The WebAssembly SIMD kernels exist only in a wasm build compiled with SIMD (-msimd128), which
// runs only on engines that validate it; the scalar build of the same sources has none.
#if defined(__wasm_simd128__) && !defined(TAVIK_PORTABLE)
#define TAVIK_SIMD128_KERNELS 1
#endif

namespace tavik {

enum class Backend : int { scalar = 0, avx2 = 1, avx512 = 2, neon = 3, simd128 = 4 };

// True when this processor (and this build) can run the path.
bool backend_available(Backend b);
// Name of a path: "scalar", "avx2", "avx512", "neon" or "simd128".
const char *backend_name(Backend b);
// True when the neon path may use the SHA-3 instructions (EOR3, RAX1, XAR, BCAX): the processor
// reports them (HWCAP_SHA3). False on every other processor.
bool cpu_has_sha3();
// True when this processor multiplies 64-bit words without carries: on 128-bit vectors (PCLMULQDQ),
// and on 256-bit and, with AVX-512, 512-bit ones (VPCLMULQDQ). False on every other processor.
bool cpu_has_pclmul();
bool cpu_has_vpclmul();

}  // namespace tavik
