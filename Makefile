# Entry points: make, make test, make bench, make run, make fuzz. SANITIZE=1 builds with the
# address and undefined-behaviour sanitizers into a separate folder; TSAN=1 builds with the thread
# sanitizer and runs only the tests that use threads.
SANITIZE ?= 0
TSAN ?= 0
# The tests TSAN=1 runs (a ctest -R pattern): the window-system layer, the cross-thread units, the
# thread library's transfer, window-call and thread-callback units and its scripts, and the
# per-thread caches.
THREAD_TESTS := ^(WindowSystem|CrossThread|ThreadTransfer|ThreadCache|NamedLock|WindowCall|EventPump)\.|^script/thread/|^script/native/thread_
TEST_FILTER :=
BUILD_TARGETS :=
ifeq ($(TSAN),1)
  BUILD := build-tsan
  CMAKE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUEVRO_TSAN=ON
  TEST_FILTER := -R '$(THREAD_TESTS)'
  BUILD_TARGETS := --target host_tests quevro quevro_test_fixture
else ifeq ($(SANITIZE),1)
  BUILD := build-asan
  CMAKE_ARGS := -DCMAKE_BUILD_TYPE=Debug -DQUEVRO_SANITIZE=ON
else
  BUILD := build
  CMAKE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif
JOBS ?= 2

.PHONY: all deps configure test bench run fuzz clean

all: configure
	@cmake --build $(BUILD) -j $(JOBS) $(BUILD_TARGETS)

deps:
	@bash tools/deps.sh

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) >/dev/null

test: all
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(TEST_FILTER)

bench: deps
	@[ -f build-bench/build.ninja ] || cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j $(JOBS) --target benchmarks quevro
	@bash bench/run.sh build-bench

# Fuzzing: each target runs FUZZ_SECONDS (default 60) from its corpus under the sanitizers.
FUZZ_SECONDS ?= 60
fuzz: deps
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUEVRO_SANITIZE=ON -DQUEVRO_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target quevro quevro_memory_fixture $$(cd tests/fuzz && ls *_fuzzer.cpp | sed 's/\.cpp$$//')
	@bash tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

run: all
	@./$(BUILD)/papyrant

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
