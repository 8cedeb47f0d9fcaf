# Every target installs what is missing first (scripts/install-deps is idempotent): a build
# and the demo only what compiling needs, the test suites everything.
JOBS    ?= $(shell nproc)
BUILD   ?= build
ASAN    ?= build-asan
TSAN    ?= build-tsan
MINGW   ?= build-mingw
CMAKE_FLAGS ?=

.PHONY: all deps deps-build build demo dll test test-native test-asan test-tsan test-mingw \
        test-wine test-dll test-install bench fuzz fuzz-run clean

all: build

deps:
	@scripts/install-deps

deps-build:
	@scripts/install-deps build

build: deps-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DUNSPOOL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Extracts the bundled sample archive into ./demo-out with a progress bar.
demo: build
	rm -rf demo-out
	$(BUILD)/unspool -o demo/sample.zip demo-out
	@echo "extracted into ./demo-out:"; find demo-out -type f | sort | head -n 40

test: test-native test-asan test-tsan test-mingw test-wine test-dll test-install
	@echo "all test suites passed"

test-native: deps build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DUNSPOOL_SANITIZE=ON -DUNSPOOL_WERROR=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS)

# Components extracting on several threads at once, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNSPOOL_TSAN=ON -DUNSPOOL_WERROR=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(TSAN) -j$(JOBS) --target unspool_tests
	TSAN_OPTIONS="halt_on_error=1" $(TSAN)/tests/unspool_tests --gtest_filter='Concurrency.*'

# The codec libraries are built first, once per build folder (a source that cannot be
# fetched leaves its method without a row, and says so).
MINGW_CONFIGURE = scripts/build-mingw-codecs $(MINGW) && \
	cmake -S . -B $(MINGW) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DUNSPOOL_WERROR=ON \
	  -DUNSPOOL_CODEC_PREFIX=$(abspath $(MINGW))/codecs/prefix

# Unspool.dll alone, in $(MINGW).
dll: deps
	$(MINGW_CONFIGURE)
	cmake --build $(MINGW) -j$(JOBS) --target Unspool

test-mingw: deps
	$(MINGW_CONFIGURE)
	cmake --build $(MINGW) -j$(JOBS)

# The command under Wine, then the component suites of the Windows build, one Wine process
# per test source file (ctest runs them through scripts/wine-run). UNSPOOL_NO_WINE=1 (a
# machine without Wine) runs neither.
test-wine: test-mingw
	@if [ "$${UNSPOOL_NO_WINE:-0}" = 1 ]; then echo "UNSPOOL_NO_WINE=1: nothing run under Wine"; \
	else scripts/test-wine $(MINGW) && cd $(MINGW) && ctest --output-on-failure -j$(JOBS); fi

# The DLL's export table, then the DLL under Wine: gauge, host calls, dialog, screenshots.
test-dll: test-mingw
	scripts/test-dll $(MINGW)

test-install: deps build
	scripts/test-install $(BUILD)

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DUNSPOOL_BENCH=ON -DUNSPOOL_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	bench/run-all build-bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DUNSPOOL_FUZZ=ON -DUNSPOOL_TESTS=OFF
	cmake --build build-fuzz -j$(JOBS)

# Runs each fuzz target for FUZZ_SECONDS (default 60), seeded from tests/data/corpus.
fuzz-run: fuzz
	fuzz/run-all build-fuzz $(or $(FUZZ_SECONDS),60)

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(MINGW) build-bench build-fuzz demo-out
