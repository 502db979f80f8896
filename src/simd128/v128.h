// The instruction set of the WebAssembly SIMD kernels. A wasm build compiled with -msimd128 uses
// the compiler's own intrinsics. The native suites compile the same files with
// TAVIK_SIMD128_EMULATED set, over a portable implementation of the same intrinsics under the
// same names (SIMDe, a test-only dependency), so that every kernel of this folder is checked
// against the scalar ones on the machines that run the native suites.
#pragma once

#ifndef TAVIK_SIMD128_EMULATED
#define TAVIK_SIMD128_EMULATED 0
#endif

#if TAVIK_SIMD128_EMULATED
#define SIMDE_WASM_SIMD128_ENABLE_NATIVE_ALIASES
#include <simde/wasm/simd128.h>
#else
#include <wasm_simd128.h>
#endif
