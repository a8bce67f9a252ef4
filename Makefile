# Quick start: `make run` builds and starts the demo, `make test` builds and runs every test.
# Each target installs missing system packages first (scripts/install-deps.sh).

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build

# make fuzz: each libFuzzer target for FUZZ_SECONDS (see fuzz/README.md).
FUZZ_SECONDS ?= 60

.PHONY: all deps build test test-sanitize test-tsan fuzz run format clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Release -DTARLIM_SANITIZE=ON
	cmake --build build-sanitize -j $(JOBS)
	LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-tests.supp ctest --test-dir build-sanitize --output-on-failure -j $(JOBS)

# The detector-object tests under ThreadSanitizer: two detectors on two threads.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DTARLIM_TSAN=ON
	cmake --build build-tsan --target test_detector -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/test_detector

fuzz:
	@scripts/install-deps.sh --fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DTARLIM_FUZZ=ON
	cmake --build build-fuzz --target fuzzers -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh build-fuzz

run: build
	@BUILD=$(BUILD) scripts/run-demo.sh

# The tree's one formatting style, .clang-format, applied to every tracked C++ file.
format:
	git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i

clean:
	rm -rf $(BUILD) build-sanitize build-tsan build-fuzz
