# The JavaScript package's WebAssembly modules, built by a WebAssembly configuration
# (cmake/wasm32-wasi.cmake; `make js`) into js/dist/:
#   tavik.wasm       the library on its portable kernels;
#   tavik-simd.wasm  every file compiled for WebAssembly SIMD (-msimd128), with the kernels of
#                    src/simd128/ where that folder exists.
# Both at -O3 with link-time optimisation, which inlines the reduction into the transforms across
# files (measured: signing about 1.6 times as fast as -O2 without it; -O3 alone gains nothing over -O2).
# wasm-opt -O3 after the link was measured too and gained nothing, so it is not run.
# Both use the bulk memory instructions (-mbulk-memory: memset and memcpy as memory.fill and
# memory.copy, which V8 runs as its own native copies, instead of wasi-libc's loops in
# WebAssembly); every engine the package supports has them (Node 18+, browsers since 2020).
# Measured in Node 20: key generation 0.93x on the scalar module and 0.97x on the SIMD one,
# verification 0.96x on both, signing unchanged (scalar) and 0.94x (SIMD).
# Keccak runs one round per pass in both modules (keccak_permute_lanes_by_round, chosen for
# __wasm__ in src/scalar/keccak_scalar.cpp and always in src/simd128/keccak_simd128.cpp): V8 keeps
# fewer of the fifty lanes of the two-round loop in registers than native compilers do. Measured
# in Node 20 on a module of the permutations alone: two states a register 0.77x of the two-round
# loop's time, the single state on integers 0.92x; rotations by 8 and 56 as byte shuffles, the
# two pairs of permute4x interleaved, and 24 unrolled rounds were each slower or no faster. On the
# package's calls: key generation 0.86x, signing 0.89x, verification 0.86x (SIMD module), and
# 0.95x, 0.96x, 0.94x (scalar module).
# Each is the library's sources (less the system random source, whose place the host's takes:
# js/wasm/random.cpp) and the calls of js/wasm/exports.cpp, linked as a reactor module without an
# entry point; its only imports are the package's own (module "env"), none from WASI.
file(GLOB TAVIK_WASM_GLUE CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/js/wasm/*.cpp)
file(GLOB TAVIK_SIMD128_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/simd128/*.cpp)
set(TAVIK_WASM_DIST ${PROJECT_SOURCE_DIR}/js/dist CACHE PATH "Where the .wasm modules are written")
# The self-tests of a vector path run on the caller's stack here (no thread can be started): a key
# pair, a signature and a verification nested below the package's first call need about 140 KiB.
set(TAVIK_WASM_STACK 1048576 CACHE STRING "Stack of the WebAssembly modules in bytes")
set(TAVIK_WASM_OPT "-O3" CACHE STRING "Optimisation level of the WebAssembly modules (-O2 or -O3)")
option(TAVIK_WASM_LTO "Link-time optimisation of the WebAssembly modules" ON)

# Linked without the compile flags: clang given an optimisation level at the link runs wasm-opt
# itself when it finds one, on a stripped module whose SIMD it cannot see (and fails on it).
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_CXX_COMPILER> --target=wasm32-wasi <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

function(tavik_wasm_module target output)
  add_executable(${target} ${TAVIK_SOURCES} ${TAVIK_WASM_GLUE} ${ARGN})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${TAVIK_WASM_OPT} -ffunction-sections -fdata-sections -mbulk-memory)
  target_link_options(${target} PRIVATE -mbulk-memory)
  if(TAVIK_WASM_LTO)
    string(REGEX REPLACE "^-O" "" level "${TAVIK_WASM_OPT}")
    target_compile_options(${target} PRIVATE -flto)
    target_link_options(${target} PRIVATE -flto -Wl,--lto-O${level})
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output} SUFFIX ".wasm"
    RUNTIME_OUTPUT_DIRECTORY ${TAVIK_WASM_DIST}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE -mexec-model=reactor -Wl,--gc-sections -Wl,--strip-all
    -Wl,-z,stack-size=${TAVIK_WASM_STACK})
endfunction()

tavik_wasm_module(tavik_wasm tavik)
tavik_wasm_module(tavik_wasm_simd tavik-simd ${TAVIK_SIMD128_SOURCES})
# The SIMD module's vector code is the kernels' own: the compiler's automatic vectorisation, at
# compile and at link time, is off. Measured in Node 20 (V8) it made the portable code slower:
# the single Keccak permutation 20% and the forward transform twice as slow.
target_compile_options(tavik_wasm_simd PRIVATE -msimd128 -fno-vectorize -fno-slp-vectorize)
target_link_options(tavik_wasm_simd PRIVATE -msimd128 -Wl,-mllvm,-vectorize-loops=false -Wl,-mllvm,-vectorize-slp=false)
add_custom_target(tavik_js DEPENDS tavik_wasm tavik_wasm_simd)
