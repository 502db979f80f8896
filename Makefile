# Front door: `make run` builds and opens the menu, `make test` builds and runs every suite
# (a g++ build, then a clang build under AddressSanitizer + UndefinedBehaviorSanitizer).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
BENCH_RUNS ?= 1000

.PHONY: all build test test-fast test-asan run bench report fuzz clean kat

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVIK_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test-fast: build
	cd build && ctest --output-on-failure --no-tests=error -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_WERROR=ON -DTAVIK_SANITIZE=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure --no-tests=error -j $(JOBS)

test: test-fast test-asan

run: build
	./build/testtavik

# Known-answer files PQCsignKAT_3056.req/.rsp, written into build/kat/.
kat: build
	mkdir -p build/kat && cd build/kat && ../tavik_genkat && sha256sum PQCsignKAT_3056.req PQCsignKAT_3056.rsp

bench: build
	./build/tavik_speed --compare $(BENCH_RUNS)

# Charts and a summary from performance logs and tavik_speed --json files:
#   make report LOG=tavik_c_test_performance.txt [SPEED=speed.json] [REPORT_DIR=report]
REPORT_DIR ?= report
report:
	@test -n "$(LOG)$(SPEED)" || { echo "usage: make report LOG=performance-log [SPEED=tavik_speed.json] [REPORT_DIR=dir]" >&2; exit 2; }
	./tools/tavik_report -o $(REPORT_DIR) $(LOG) $(SPEED)

clean:
	rm -rf build build-asan build-fuzz

FUZZ_SECONDS ?= 60
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
	  -DTAVIK_FUZZ=ON -DTAVIK_SANITIZE=ON -DTAVIK_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	mkdir -p build-fuzz/corpus-verify build-fuzz/corpus-fields
	./build-fuzz/fuzz_verify -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus-verify
	./build-fuzz/fuzz_signature_fields -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus-fields
