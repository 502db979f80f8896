# Front door: `make run` builds the library and the menu's program and opens the menu, `make test` builds and
# runs every suite (a g++ build, then a clang build under AddressSanitizer + UndefinedBehaviorSanitizer).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
BENCH_RUNS ?= 1000
PREFIX ?= /usr/local
CONFIGURE = cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON $(CMAKE_FLAGS)

.PHONY: all build programs test test-fast test-asan test-cross run bench report install fuzz clean kat test-ct test-ct-avx512 test-tsan js test-js bench-js

all: build

build:
	$(CONFIGURE)
	cmake --build build -j $(JOBS)

# Quiet builds of chosen targets: the output goes to build/programs.log and is shown when
# something fails. `make programs` builds the library and every program, and fails naming any
# program that cannot be built here and the package it needs; `make run` builds only the library,
# the menu's program and (with OpenSSL 3's headers) the provider tavik.so, so that the menu opens
# after a build of a minute or two on a fresh clone and the README's OpenSSL commands work after it.
quiet_build = @mkdir -p build && echo "Building the library and $(or $(2),$(1)) (log: build/programs.log)" && \
	{ $(CONFIGURE) && cmake --build build --target $(1) -j $(JOBS); } >build/programs.log 2>&1 \
	  || { cat build/programs.log; exit 1; }

programs:
	$(call quiet_build,tavik_programs)

# The kernel suites (label "kernel") run first: a faulty kernel fails them in seconds instead of
# leaving the signature suites to retry until their time limit.
CTEST = ctest --output-on-failure --no-tests=error -j $(JOBS)

test-fast: build
	cd build && $(CTEST) -L kernel && $(CTEST) -LE kernel

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON -DTAVIK_SANITIZE=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(CTEST) -L kernel && $(CTEST) -LE kernel

# The stages in turn, stopping at the first that fails, then one line per stage and the verdict
# (tools/test_stages.sh); make fails when a stage did.
TEST_STAGES = test-fast test-asan test-ct test-ct-avx512 test-js
test:
	@sh tools/test_stages.sh "$(MAKE)" $(TEST_STAGES)

# Eight threads making, signing and verifying at once under ThreadSanitizer (clang), with
# getrandom working and denied, on every path.
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON -DTAVIK_TSAN=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang $(CMAKE_FLAGS)
	cmake --build build-tsan --target test_threads -j $(JOBS)
	@set -e; for path in scalar avx2 avx512; do \
	  echo "test-tsan: $$path path"; \
	  TAVIK_BACKEND=$$path TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/test_threads; \
	done
	@# The PKCS#11 module: six threads signing, verifying and drawing random bytes in sessions of their own.
	@if cmake --build build-tsan --target help | grep -q ' test_pkcs11$$'; then \
	  cmake --build build-tsan --target test_pkcs11 -j $(JOBS) && \
	  echo "test-tsan: PKCS#11 module, concurrent sessions" && \
	  TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/test_pkcs11 --gtest_filter=Token.ConcurrentSessions; \
	else echo "test-tsan: the PKCS#11 module is not built here (libsodium-dev, libp11-kit-dev): skipped"; fi

# Constant-time check: tavik_ct_check under valgrind's memcheck with the secrets marked, built by
# g++ and clang at -O2 and -O3, on the scalar path and on the avx2 path at four and at eight Keccak
# lanes, whose key generation and signing are forms of their own (tests/ct/ct_check.cmake). valgrind
# has no AVX-512: the configurations with a fourth field also build the avx512 path's kernels over
# SIMDe's portable intrinsics and run them at the widths it lists (arithmetic bits / Keccak lanes),
# and check that a planted branch and a planted secret-indexed load in them are reported; those
# configurations also run the simd128 path (WebAssembly SIMD kernels over SIMDe) at 4 and 8 lanes.
CT_CONFIGS ?= g++:gcc:O2 g++:gcc:O3:avx512/256/4,avx512/512/8 clang++:clang:O2:avx512/256/8,avx512/512/4 clang++:clang:O3
test-ct:
	@set -e; for cfg in $(CT_CONFIGS); do \
	  cxx=$${cfg%%:*}; rest=$${cfg#*:}; cc=$${rest%%:*}; rest=$${rest#*:}; opt=$${rest%%:*}; \
	  runs=; case $$rest in *:*) runs=$${rest#*:};; esac; dir=build-ct-$$cc-$$opt; \
	  emulated="-DTAVIK_CT_AVX512_EMULATED=OFF -DTAVIK_CT_SIMD128_EMULATED=OFF"; \
	  if [ -n "$$runs" ]; then emulated="-DTAVIK_CT_AVX512_EMULATED=ON -DTAVIK_CT_SIMD128_EMULATED=ON -DTAVIK_CT_AVX512_RUNS=$$(echo $$runs | tr , ';')"; fi; \
	  echo "test-ct: $$cxx -$$opt: scalar, avx2 at 4 and 8 lanes$${runs:+, $$runs and simd128/4,8 over SIMDe}"; \
	  cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON -DTAVIK_TESTS=OFF -DTAVIK_PROGRAMS=OFF -DTAVIK_CT_VALGRIND=ON $$emulated \
	    -DCMAKE_CXX_COMPILER=$$cxx -DCMAKE_C_COMPILER=$$cc "-DCMAKE_CXX_FLAGS_RELEASE=-$$opt -gdwarf-4" \
	    "-DCMAKE_C_FLAGS_RELEASE=-$$opt -gdwarf-4" >/dev/null; \
	  cmake --build $$dir --target tavik_ct_check -j $(JOBS) >/dev/null; \
	  (cd $$dir && $(CTEST)); \
	done

# Constant-time check of the code compiled for AVX-512 itself, at both arithmetic widths and both
# Keccak lane counts (and of avx2 and scalar): tavik_ct_check with the library built by clang under
# MemorySanitizer, the secrets poisoned, branches on them, divisions by them and addresses computed
# from them reported; and each of three planted leaks in the avx512 kernels (a branch, a load, a
# gather) must be reported (tests/ct/ct_check.cmake). Skipped where the processor has no AVX-512.
test-ct-avx512:
	@if ! grep -qw avx512f /proc/cpuinfo || ! grep -qw avx512bw /proc/cpuinfo || ! grep -qw avx512vl /proc/cpuinfo; then \
	  echo "test-ct-avx512: skipped: this processor has no AVX-512 (test-ct checks the avx512 path's source over SIMDe)"; \
	  exit 0; \
	fi; \
	set -e; echo "test-ct-avx512: clang -O3 under MemorySanitizer: avx512 at 256/512 bits x 4/8 lanes, avx2, scalar"; \
	cmake -S . -B build-ct-msan -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON -DTAVIK_TESTS=OFF -DTAVIK_PROGRAMS=OFF -DTAVIK_CT_MSAN=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null; \
	cmake --build build-ct-msan --target tavik_ct_check -j $(JOBS) >/dev/null; \
	cd build-ct-msan && $(CTEST)

# Cross builds for a little-endian (aarch64) and a big-endian (s390x) processor, each running its
# suites (tests/CMakeLists.txt: TAVIK_CROSS_SUITES) and the model cross-check under qemu-user.
# s390x runs the portable path. aarch64 runs the portable and the neon path as a processor with
# NEON alone (qemu -cpu cortex-a72), then the neon path again as one with the SHA-3 instructions
# (-cpu max), whose Keccak kernels differ (QEMU_CPU chooses the emulated processor).
# Needs g++-aarch64-linux-gnu, g++-s390x-linux-gnu, qemu-user and GoogleTest's sources
# (libgtest-dev); .ci/run installs them. Each architecture's tests are bounded by CROSS_SECONDS.
CROSS_ARCHES ?= aarch64 s390x
CROSS_SECONDS ?= 1500
CROSS_TARGETS = model_kat c_api_smoke c99_headers test_kernels test_signature test_io test_Polynomial test_Reduce test_Rounding \
  test_neon test_context_kat
CROSS_BACKENDS_aarch64 = scalar;neon
CROSS_BACKENDS_s390x = scalar

test-cross:
	set -e; for a in $(CROSS_ARCHES); do \
	  if [ $$a = aarch64 ]; then backends='$(CROSS_BACKENDS_aarch64)'; else backends='$(CROSS_BACKENDS_s390x)'; fi; \
	  cmake -S . -B build-$$a -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON -DTAVIK_LTO=OFF \
	    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$$a \
	    -DCMAKE_C_COMPILER=$$a-linux-gnu-gcc -DCMAKE_CXX_COMPILER=$$a-linux-gnu-g++ \
	    "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$$a;-L;/usr/$$a-linux-gnu" \
	    -DTAVIK_GTEST_SOURCE=/usr/src/googletest "-DTAVIK_TEST_BACKENDS=$$backends" -DTAVIK_TEST_TIMEOUT=900 \
	    $(CMAKE_FLAGS); \
	  cmake --build build-$$a -j $(JOBS) --target $(CROSS_TARGETS); \
	  if [ $$a = aarch64 ]; then \
	    echo "test-cross: aarch64 as cortex-a72 (NEON, no SHA-3): scalar and neon paths"; \
	    (cd build-$$a && QEMU_CPU=cortex-a72 timeout $(CROSS_SECONDS) $(CTEST)); \
	    echo "test-cross: aarch64 as max (NEON and SHA-3): neon path"; \
	    (cd build-$$a && QEMU_CPU=max timeout $(CROSS_SECONDS) $(CTEST) -L '^(neon|any)'); \
	  else \
	    (cd build-$$a && timeout $(CROSS_SECONDS) $(CTEST)); \
	  fi; \
	done

# The JavaScript package's WebAssembly modules, js/dist/tavik.wasm (portable kernels) and
# js/dist/tavik-simd.wasm (WebAssembly SIMD), compiled by clang for wasm32-wasi with Debian's
# wasi-libc and libc++ (cmake/wasm32-wasi.cmake, js/wasm/wasm.cmake).
WASM_CONFIGURE = cmake -S . -B build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.cmake -DCMAKE_BUILD_TYPE=Release \
	-DTAVIK_WERROR=ON -DTAVIK_PROGRAMS=OFF -DTAVIK_TESTS=OFF -DTAVIK_INSTALL=OFF -DTAVIK_HYBRID=OFF
js:
	$(WASM_CONFIGURE) >/dev/null
	cmake --build build-wasm --target tavik_js -j $(JOBS)

# The package's tests: Node's test runner over tests/js/*.test.mjs. Skipped, with what is missing
# (tools/js_missing.sh), where Node 18+ or clang's wasm32-wasi toolchain is not installed; under
# CI=true a missing tool fails the stage instead.
test-js:
	@if missing=$$(sh tools/js_missing.sh); then \
	  if [ "$$CI" = true ]; then echo "test-js: missing under CI: $$missing" | tr '\n' ' '; echo; exit 1; fi; \
	  echo "test-js: skipped: missing $$missing" | tr '\n' ' '; echo; exit 0; \
	fi; \
	set -e; $(MAKE) --no-print-directory js; \
	echo "test-js: node --test tests/js/*.test.mjs (both modules: SIMD and forced scalar)"; \
	node --test tests/js/*.test.mjs; \
	if [ -x js/node_modules/.bin/tsc ]; then \
	  echo "test-js: the declarations, tsc --noEmit --strict tests/js/types_check.ts"; \
	  js/node_modules/.bin/tsc --noEmit --strict --target es2022 --module nodenext --moduleResolution nodenext tests/js/types_check.ts; \
	elif [ "$$CI" = true ]; then echo "test-js: no TypeScript under CI (npm ci --prefix js)"; exit 1; \
	else echo "test-js: declarations not checked: no js/node_modules/.bin/tsc (npm ci --prefix js)"; fi; \
	echo "test-js: the demo page in headless Chromium (tests/js/browser.mjs)"; \
	rc=0; node tests/js/browser.mjs || rc=$$?; \
	if [ $$rc = 77 ]; then echo "test-js: browser test skipped"; else exit $$rc; fi

# Medians of key generation, signing and verification in Node on both modules, beside the native
# scalar path's (build/tavik_speed with TAVIK_BACKEND=scalar), in the same sitting.
bench-js: js
	$(call quiet_build,tavik_speed)
	node bench/js/bench.mjs

run:
	$(call quiet_build,tavik_run,testtavik and the provider where OpenSSL 3 is found)
	@./build/testtavik

# Known-answer files PQCsignKAT_3056.req/.rsp, written into build/kat/.
kat:
	$(call quiet_build,tavik_genkat)
	mkdir -p build/kat && cd build/kat && ../tavik_genkat && sha256sum PQCsignKAT_3056.req PQCsignKAT_3056.rsp

bench:
	$(call quiet_build,tavik_speed)
	./build/tavik_speed --compare $(BENCH_RUNS)

# Headers, the static and the shared library, CMake package, pkg-config file, the programs into
# bin/ and the known-answer generator into libexec/tavik/, under $(PREFIX) (DESTDIR is honoured).
# Each kind of library is configured afresh in a folder of its own on every call, so no option
# given to one install (CMAKE_FLAGS) stays for the next, nor comes from `make build`. The shared
# build, installed last, gives the CMake package and the pkg-config file their library. As root,
# the loader's cache is refreshed for the new shared library.
install_build = mkdir -p build-install-$(1) && { cmake --fresh -S . -B build-install-$(1) -DCMAKE_BUILD_TYPE=Release \
	-DTAVIK_WERROR=ON -DTAVIK_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(2) $(CMAKE_FLAGS) && \
	cmake --build build-install-$(1) --target $(3) -j $(JOBS); } >build-install-$(1)/install.log 2>&1 \
	|| { cat build-install-$(1)/install.log; exit 1; }
install:
	@echo "Building the static and the shared library and the programs (logs: build-install-*/install.log)"
	@$(call install_build,static,-DBUILD_SHARED_LIBS=OFF -DTAVIK_PROGRAMS=OFF,all)
	@$(call install_build,shared,-DBUILD_SHARED_LIBS=ON -DTAVIK_PROGRAMS=ON,tavik_programs)
	cmake --install build-install-static --prefix $(PREFIX)
	cmake --install build-install-shared --prefix $(PREFIX)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ] && command -v ldconfig >/dev/null 2>&1; then ldconfig; fi

# Charts and a summary from performance logs and tavik_speed --json files:
#   make report LOG=tavik_c_test_performance.txt [SPEED=speed.json] [REPORT_DIR=report]
REPORT_DIR ?= report
report:
	@test -n "$(LOG)$(SPEED)" || { echo "usage: make report LOG=performance-log [SPEED=tavik_speed.json] [REPORT_DIR=dir]" >&2; exit 2; }
	./tools/tavik_report -o $(REPORT_DIR) $(LOG) $(SPEED)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-ct-* build-aarch64 build-s390x build-install-* build-wasm js/dist

# Every target of fuzz/ for FUZZ_SECONDS each under ASan + UBSan (CI: FUZZ_SECONDS=20); prints
# each target's executions.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(basename $(notdir $(wildcard fuzz/fuzz_*.cpp)))
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DTAVIK_FUZZ=ON -DTAVIK_SANITIZE=ON -DTAVIK_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  [ -x build-fuzz/$$t ] || { echo "fuzz: $$t not built (fuzz_hybrid needs libsodium-dev)"; continue; }; \
	  mkdir -p build-fuzz/corpus-$$t; \
	  ./build-fuzz/$$t -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus-$$t > build-fuzz/$$t.log 2>&1 || \
	    { tail -40 build-fuzz/$$t.log; echo "fuzz: $$t failed"; exit 1; }; \
	  echo "fuzz: $$t, $(FUZZ_SECONDS) s: $$(grep -E '^Done ' build-fuzz/$$t.log)"; \
	done
