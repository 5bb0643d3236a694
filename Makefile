# The user's entry point: `make` builds, `make test` runs every test, `make demo` shows a pass.
BUILD ?= build
BUILD_WIN ?= build-win
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Test cases at once: most of them wait for the program (settle times, pauses, commands) rather
# than compute, and each waits for its events, never for a time, so four to a core only crowd them
# (at most 16: a few cases take hundreds of MB under the sanitizers).
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 4 < 16 ? $(JOBS) * 4 : 16 )))
CMAKE_FLAGS ?=

.PHONY: all build test test-linux test-sanitize test-windows test-slurm windows demo fuzz package bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the Linux unit and end-to-end suites, then the Windows leg when MinGW and Wine are
# installed, then the cluster test on a single-node Slurm (each says plainly when it is skipped).
# Every leg runs even when one before it failed; a summary names those that failed, and the
# status is then non-zero.
TEST_LEGS = test-linux test-sanitize test-windows test-slurm

test:
	@failed=""; \
	for leg in $(TEST_LEGS); do \
		echo "=== make $$leg"; \
		$(MAKE) --no-print-directory $$leg || failed="$$failed $$leg"; \
	done; \
	echo "=== make test summary"; \
	if [ -n "$$failed" ]; then echo "Failed:$$failed"; exit 1; fi; \
	echo "Every leg passed: $(TEST_LEGS)"

# The two document checks run even when a test failed; the leg fails when any of the three did.
test-linux: build
	@status=0; \
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS) || status=1; \
	bash tests/ship/check-doc-templates.sh $(BUILD)/hotbatch || status=1; \
	bash tests/ship/check-docs-match.sh $(BUILD)/hotbatch || status=1; \
	exit $$status

# The same suites built with AddressSanitizer and UndefinedBehaviorSanitizer (the soak test runs
# in test-linux only). Reports of the programs the end-to-end suite starts are written to files
# through the launcher, so that a report fails the run even where a test ignores stderr.
SAN_BUILD ?= build-asan
# Without the vptr check: it tells a live object from a freed one through a pipe, which a run out
# of descriptors (a case of the hostile suite) cannot make, so it would fail every virtual call
# there; AddressSanitizer still sees a freed object used.
SAN_FLAGS = -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_REPORTS = $(abspath $(SAN_BUILD))/reports
SAN_ENV = ASAN_OPTIONS=log_path=$(SAN_REPORTS)/asan UBSAN_OPTIONS=print_stacktrace=1:log_path=$(SAN_REPORTS)/ubsan

test-sanitize:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$(SAN_FLAGS)" $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	$(SAN_ENV) HOTBATCH_E2E_LAUNCHER="/usr/bin/env $(SAN_ENV)" \
		ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(TEST_JOBS) -LE soak
	@if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then cat $(SAN_REPORTS)/*; echo "Sanitizer reports above"; exit 1; fi

test-windows: build
	bash scripts/test-windows.sh $(BUILD) $(BUILD_WIN)

# The cluster test on a single-node Slurm started on this machine (root, slurm-wlm and munge);
# it says SKIPPED where the cluster cannot start, except with CI=true.
test-slurm: build
	bash tests/slurm/slurm_e2e.sh $(BUILD)/hotbatch

windows:
	cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_WIN) -j $(JOBS)

# The demo needs the program alone: configuring builds nothing, and only the hotbatch target
# is compiled, not the test suites (make test builds those).
demo:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target hotbatch
	bash examples/demo.sh $(BUILD)/hotbatch

# The packages: $(BUILD)/hotbatch_<version>_amd64.deb, and $(BUILD_WIN)/hotbatch-<version>-win64.zip
# when the MinGW-w64 cross compiler is installed (it says plainly when that one is skipped).
package: build
	cd $(BUILD) && cpack
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then \
		$(MAKE) --no-print-directory windows && cd $(BUILD_WIN) && cpack; \
	else \
		echo "Windows ZIP: SKIPPED (no MinGW-w64 cross compiler: apt-get install g++-mingw-w64-x86-64-posix)"; \
	fi

# Runs each libFuzzer target for FUZZ_SECONDS (clang only; a separate build keeps g++ for the
# rest). New inputs go to the build folder; the seed corpus in fuzz/corpus is only read.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_match fuzz_job_names

fuzz:
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$target && \
		echo "Fuzzing $$target for $(FUZZ_SECONDS) s" && \
		{ $(FUZZ_BUILD)/$$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/$$target- \
			$(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target > $(FUZZ_BUILD)/$$target.log 2>&1 \
			|| { tail -n 60 $(FUZZ_BUILD)/$$target.log; echo "$$target failed"; exit 1; }; } && \
		grep -E '^(Done|stat::number_of_executed_units)' $(FUZZ_BUILD)/$$target.log; \
	done

# The benchmarks: a Release build of their own (Google Benchmark needed), then the folder cases
# against find and a bare spawn loop, and the matcher against fnmatch. Each prints a table.
BENCH_BUILD ?= build-bench

bench:
	cmake -S bench -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/folder_bench $(BENCH_ARGS)
	$(BENCH_BUILD)/matcher_bench
	bash bench/jobs_bench.sh $(BENCH_BUILD)/hotbatch/hotbatch
	bash bench/wake_bench.sh $(BENCH_BUILD)/hotbatch/hotbatch
	bash bench/ready_bench.sh $(BENCH_BUILD)/hotbatch/hotbatch
	bash bench/core_bench.sh $(BENCH_BUILD)/hotbatch/hotbatch

clean:
	rm -rf $(BUILD) $(BUILD_WIN) $(SAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
