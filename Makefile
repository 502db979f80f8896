# Front door: `make run` builds the library and programs and opens the menu, `make test` builds and
# runs every suite (a g++ build, then a clang build under AddressSanitizer + UndefinedBehaviorSanitizer).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
BENCH_RUNS ?= 1000
PREFIX ?= /usr/local
CONFIGURE = cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON $(CMAKE_FLAGS)

.PHONY: all build programs test test-fast test-asan test-cross run bench report install fuzz clean kat

all: build

build:
	$(CONFIGURE)
	cmake --build build -j $(JOBS)

# The library and the programs only, quietly: the output goes to build/programs.log and is shown
# when something fails.
programs:
	@mkdir -p build
	@echo "Building the library and programs (log: build/programs.log)"
	@{ $(CONFIGURE) && cmake --build build --target tavik_programs -j $(JOBS); } >build/programs.log 2>&1 \
	  || { cat build/programs.log; exit 1; }

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

test: test-fast test-asan

# Cross builds for a little-endian (aarch64) and a big-endian (s390x) processor, portable path
# only, each running its suites (tests/CMakeLists.txt: TAVIK_CROSS_SUITES) and the model
# cross-check under qemu-user.
# Needs g++-aarch64-linux-gnu, g++-s390x-linux-gnu, qemu-user and GoogleTest's sources
# (libgtest-dev); .ci/run installs them. Each architecture's tests are bounded by CROSS_SECONDS.
CROSS_ARCHES ?= aarch64 s390x
CROSS_SECONDS ?= 1500
CROSS_TARGETS = model_kat c_api_smoke test_kernels test_signature test_io test_Polynomial test_Reduce test_Rounding

test-cross:
	set -e; for a in $(CROSS_ARCHES); do \
	  cmake -S . -B build-$$a -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON -DTAVIK_LTO=OFF \
	    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$$a \
	    -DCMAKE_C_COMPILER=$$a-linux-gnu-gcc -DCMAKE_CXX_COMPILER=$$a-linux-gnu-g++ \
	    "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$$a;-L;/usr/$$a-linux-gnu" \
	    -DTAVIK_GTEST_SOURCE=/usr/src/googletest -DTAVIK_TEST_BACKENDS=scalar -DTAVIK_TEST_TIMEOUT=900 \
	    $(CMAKE_FLAGS); \
	  cmake --build build-$$a -j $(JOBS) --target $(CROSS_TARGETS); \
	  (cd build-$$a && timeout $(CROSS_SECONDS) $(CTEST)); \
	done

run: programs
	@./build/testtavik

# Known-answer files PQCsignKAT_3056.req/.rsp, written into build/kat/.
kat: programs
	mkdir -p build/kat && cd build/kat && ../tavik_genkat && sha256sum PQCsignKAT_3056.req PQCsignKAT_3056.rsp

bench: programs
	./build/tavik_speed --compare $(BENCH_RUNS)

# Headers, library, CMake package, pkg-config file and programs under $(PREFIX);
# CMAKE_FLAGS=-DBUILD_SHARED_LIBS=ON installs the shared library instead of the archive.
install: programs
	cmake --install build --prefix $(PREFIX)

# Charts and a summary from performance logs and tavik_speed --json files:
#   make report LOG=tavik_c_test_performance.txt [SPEED=speed.json] [REPORT_DIR=report]
REPORT_DIR ?= report
report:
	@test -n "$(LOG)$(SPEED)" || { echo "usage: make report LOG=performance-log [SPEED=tavik_speed.json] [REPORT_DIR=dir]" >&2; exit 2; }
	./tools/tavik_report -o $(REPORT_DIR) $(LOG) $(SPEED)

clean:
	rm -rf build build-asan build-fuzz build-aarch64 build-s390x

FUZZ_SECONDS ?= 60
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DTAVIK_FUZZ=ON -DTAVIK_SANITIZE=ON -DTAVIK_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	mkdir -p build-fuzz/corpus-verify build-fuzz/corpus-fields
	./build-fuzz/fuzz_verify -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus-verify
	./build-fuzz/fuzz_signature_fields -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus-fields
