# The constant-time check's builds (included by the top CMakeLists.txt when TAVIK_CT_VALGRIND or
# TAVIK_CT_MSAN is on): tavik_ct_check and the library's objects with the annotations of src/ct.h
# live, and the check's runs as tests of the build directory (ctest).
#   TAVIK_CT_VALGRIND: memcheck requests; each run under valgrind. valgrind has no AVX-512, so
#     the avx512 path runs only with TAVIK_CT_AVX512_EMULATED, its kernels compiled over SIMDe's
#     portable intrinsics (AVX2 code): a check of their source, not of AVX-512 code.
#   TAVIK_CT_SIMD128_EMULATED (with TAVIK_CT_VALGRIND): the simd128 path's kernels (WebAssembly
#     SIMD, src/simd128/) compiled over SIMDe's portable WebAssembly intrinsics, run as that path.
#   TAVIK_CT_MSAN: clang's MemorySanitizer over the whole library, the annotations poisoning and
#     unpoisoning; the code compiled for AVX-512 itself runs, where the processor has it.
if(TAVIK_CT_VALGRIND AND TAVIK_CT_MSAN)
  message(FATAL_ERROR "TAVIK_CT_VALGRIND and TAVIK_CT_MSAN are two different builds")
endif()
if(TAVIK_CT_AVX512_EMULATED AND NOT (TAVIK_CT_VALGRIND AND TAVIK_AVX512_SOURCES))
  message(FATAL_ERROR "TAVIK_CT_AVX512_EMULATED needs TAVIK_CT_VALGRIND and an x86-64 build with the vector paths")
endif()
if(TAVIK_CT_SIMD128_EMULATED AND NOT TAVIK_CT_VALGRIND)
  message(FATAL_ERROR "TAVIK_CT_SIMD128_EMULATED needs TAVIK_CT_VALGRIND")
endif()
set(TAVIK_CT_AVX512_RUNS "avx512/256/4;avx512/256/8;avx512/512/4;avx512/512/8" CACHE STRING
    "The avx512 path's widths (arithmetic bits / Keccak lanes) the check runs at")

# The library's objects carry the annotations; the check program marks its own inputs.
add_executable(tavik_ct_check ${PROJECT_SOURCE_DIR}/tests/ct_check.cpp)
target_link_libraries(tavik_ct_check PRIVATE tavik_internal)

if(TAVIK_CT_VALGRIND)
  find_path(TAVIK_VALGRIND_INCLUDE valgrind/memcheck.h REQUIRED)
  find_program(TAVIK_VALGRIND valgrind REQUIRED)
  foreach(target IN ITEMS tavik_objects tavik_ct_check)
    target_include_directories(${target} SYSTEM PRIVATE ${TAVIK_VALGRIND_INCLUDE})
    target_compile_definitions(${target} PRIVATE TAVIK_CT_VALGRIND=1)
  endforeach()
  set(tavik_ct_runner ${TAVIK_VALGRIND} -q --error-exitcode=1)
endif()

if(TAVIK_CT_AVX512_EMULATED)
  find_path(SIMDE_INCLUDE_DIR simde/x86/avx512.h)
  if(NOT SIMDE_INCLUDE_DIR)
    message(FATAL_ERROR "TAVIK_CT_AVX512_EMULATED needs SIMDe's headers (Debian: libsimde-dev)")
  endif()
  # Every object sees the emulated kernels' names (kernels.cpp builds the tables from them).
  set_source_files_properties(${TAVIK_AVX512_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi;-mbmi2;-mpopcnt;-Wno-psabi")
  foreach(target IN ITEMS tavik_objects tavik_ct_check)
    target_include_directories(${target} SYSTEM PRIVATE ${SIMDE_INCLUDE_DIR})
    target_compile_definitions(${target} PRIVATE TAVIK_AVX512_EMULATED=1)
  endforeach()
  target_compile_options(tavik_ct_check PRIVATE -Wno-psabi)
  target_link_options(tavik_ct_check PRIVATE -Wno-psabi)
endif()

if(TAVIK_CT_SIMD128_EMULATED)
  find_path(SIMDE_WASM_INCLUDE_DIR simde/wasm/simd128.h)
  if(NOT SIMDE_WASM_INCLUDE_DIR)
    message(FATAL_ERROR "TAVIK_CT_SIMD128_EMULATED needs SIMDe's headers (Debian: libsimde-dev)")
  endif()
  file(GLOB tavik_simd128_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/simd128/*.cpp)
  target_sources(tavik_ct_check PRIVATE ${tavik_simd128_sources})
  target_include_directories(tavik_ct_check PRIVATE ${PROJECT_SOURCE_DIR}/src SYSTEM PRIVATE ${SIMDE_WASM_INCLUDE_DIR})
  target_compile_definitions(tavik_ct_check PRIVATE TAVIK_SIMD128_EMULATED=1 TAVIK_CT_SIMD128=1)
endif()

if(TAVIK_CT_MSAN)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TAVIK_CT_MSAN needs clang (-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang)")
  endif()
  # Loads and stores at addresses computed from poisoned bytes are reported, as are branches on
  # them and divisions by them. Line tables name the place of a report.
  set(tavik_msan -fsanitize=memory -fno-omit-frame-pointer -gline-tables-only -mllvm -msan-check-access-address=1)
  foreach(target IN ITEMS tavik_objects tavik_ct_check)
    target_compile_options(${target} PRIVATE ${tavik_msan})
    target_compile_definitions(${target} PRIVATE TAVIK_CT_MSAN=1)
  endforeach()
  target_link_options(tavik_ct_check PRIVATE -fsanitize=memory)
  # The two AVX-512 instructions MemorySanitizer cannot follow, made followable (the header says how).
  set_property(SOURCE ${TAVIK_AVX512_SOURCES} APPEND PROPERTY COMPILE_OPTIONS
    -include ${PROJECT_SOURCE_DIR}/tests/ct/msan_intrinsics.h)
  set(tavik_ct_runner "")
endif()

# The deliberate leaks that show the check catching a branch and a load on the avx512 path
# (tavik_ct_check --plant), compiled as that path's kernels are in the build.
set(tavik_planted_kinds "")
if(TAVIK_CT_MSAN OR TAVIK_CT_AVX512_EMULATED)
  set(tavik_planted ${PROJECT_SOURCE_DIR}/tests/ct/planted.cpp)
  target_sources(tavik_ct_check PRIVATE ${tavik_planted})
  target_compile_definitions(tavik_ct_check PRIVATE TAVIK_CT_PLANTED=1)
  if(TAVIK_CT_MSAN)
    set_source_files_properties(${tavik_planted} PROPERTIES
      COMPILE_OPTIONS "-mavx512f;-mavx512vl;-mavx512bw;-mavx2;-mbmi;-mbmi2;-mprefer-vector-width=512")
    set(tavik_planted_kinds branch:check_norm_branching load:add_loading gather:add_gathering)
  else()
    set_source_files_properties(${tavik_planted} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi;-mbmi2;-mpopcnt;-Wno-psabi")
    set(tavik_planted_kinds branch:check_norm_branching load:add_loading)
  endif()
endif()

# The runs: one test per path and width (exit status 3, a path the processor cannot run: skipped).
# Each names its kernels and width itself; the environment only spares the process's own choice of
# path its timings (slow under either tool).
enable_testing()
set(tavik_ct_environment "TAVIK_LANES=4;TAVIK_ARITH=256")
set(tavik_ct_paths scalar avx2/4 avx2/8)
if(TAVIK_CT_MSAN OR TAVIK_CT_AVX512_EMULATED)
  list(APPEND tavik_ct_paths ${TAVIK_CT_AVX512_RUNS})
endif()
if(TAVIK_CT_SIMD128_EMULATED)
  list(APPEND tavik_ct_paths simd128/4 simd128/8)
endif()
foreach(path IN LISTS tavik_ct_paths)
  add_test(NAME ct/${path} COMMAND ${tavik_ct_runner} $<TARGET_FILE:tavik_ct_check> ${path})
  set_tests_properties(ct/${path} PROPERTIES SKIP_RETURN_CODE 3 TIMEOUT 900 ENVIRONMENT "${tavik_ct_environment}")
endforeach()
# Each planted leak must be reported, in the planted kernel, by the tool's first report: these
# pass only on that report (valgrind stops at it; MemorySanitizer always does).
foreach(planted IN LISTS tavik_planted_kinds)
  string(REPLACE ":" ";" parts ${planted})
  list(GET parts 0 kind)
  list(GET parts 1 function)
  if(TAVIK_CT_MSAN)
    set(report "WARNING: MemorySanitizer: use-of-uninitialized-value\n +#0 0x[0-9a-f]+ in tavik::ct_planted::[^\n]*${function}")
    set(runner "")
  else()
    if(kind STREQUAL "branch")
      set(what "Conditional jump or move depends on uninitialised value\\(s\\)")
    else()
      set(what "Use of uninitialised value of size [0-9]+")
    endif()
    set(report "${what}\n(==[0-9]+== +(at|by) 0x[0-9A-F]+: UnknownInlinedFun[^\n]*\n)*==[0-9]+== +(at|by) 0x[0-9A-F]+: tavik::ct_planted::[^\n]*${function}")
    set(runner ${TAVIK_VALGRIND} -q --error-exitcode=1 --exit-on-first-error=yes)
  endif()
  add_test(NAME ct/planted/${kind} COMMAND ${runner} $<TARGET_FILE:tavik_ct_check> --plant=${kind} avx512/512/8)
  set_tests_properties(ct/planted/${kind} PROPERTIES PASS_REGULAR_EXPRESSION "${report}" SKIP_RETURN_CODE 3 TIMEOUT 900
                                                      ENVIRONMENT "${tavik_ct_environment}")
endforeach()

# The hybrid library's check (tests/ct/ct_hybrid.cpp), where the library is built: its objects
# annotated as the core's, built with tavik_ct_check, run on the process's own path.
if(TARGET tavik_hybrid)
  add_executable(tavik_ct_hybrid ${PROJECT_SOURCE_DIR}/tests/ct/ct_hybrid.cpp)
  target_link_libraries(tavik_ct_hybrid PRIVATE tavik_internal tavik_hybrid)
  add_dependencies(tavik_ct_check tavik_ct_hybrid)
  if(TAVIK_CT_VALGRIND)
    foreach(target IN ITEMS tavik_hybrid tavik_ct_hybrid)
      target_include_directories(${target} SYSTEM PRIVATE ${TAVIK_VALGRIND_INCLUDE})
      target_compile_definitions(${target} PRIVATE TAVIK_CT_VALGRIND=1)
    endforeach()
  endif()
  if(TAVIK_CT_MSAN)
    foreach(target IN ITEMS tavik_hybrid tavik_ct_hybrid)
      target_compile_options(${target} PRIVATE ${tavik_msan})
      target_compile_definitions(${target} PRIVATE TAVIK_CT_MSAN=1)
    endforeach()
    target_link_options(tavik_ct_hybrid PRIVATE -fsanitize=memory)
  endif()
  add_test(NAME ct/hybrid COMMAND ${tavik_ct_runner} $<TARGET_FILE:tavik_ct_hybrid>)
  set_tests_properties(ct/hybrid PROPERTIES TIMEOUT 900 ENVIRONMENT "${tavik_ct_environment}")
endif()
