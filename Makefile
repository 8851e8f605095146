# Top-level commands. `make run` and `make test` install what is missing on a Debian 12 machine,
# build, and run; everything builds into build/ with the programs in build/bin/.
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-asan windows-test fuzz bench clean
SHELL := /bin/bash

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVRIM_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

# The part without Qt cross-compiled for Windows (MinGW-w64) and its tests run under Wine, in a
# fresh Wine prefix inside build-win/.
windows-test:
	@bash scripts/install-deps.sh windows
	bash scripts/windows-test.sh build-win $(JOBS)

# The file readers under libFuzzer (clang), each for FUZZ_SECONDS from the corpus kept in fuzz/corpus.
FUZZ_SECONDS ?= 30
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DVRIM_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	@set -e; for t in build-fuzz/bin/fuzz_*; do \
	  n=$${t##*/fuzz_}; mkdir -p build-fuzz/found-$$n; \
	  echo "== fuzz_$$n for $(FUZZ_SECONDS) s"; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	      build-fuzz/found-$$n fuzz/corpus/$$n 2>&1 | tail -n 12; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

bench: build
	@cd $(BUILD)/bin && for b in ./bench_*; do echo "== $$b"; QT_QPA_PLATFORM=$${QT_QPA_PLATFORM:-offscreen} $$b || exit 1; done

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-win
