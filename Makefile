# make test  : install what is missing, build, run every test, then the same
#              under AddressSanitizer and UndefinedBehaviorSanitizer, and
#              under ThreadSanitizer.
# make bench : build the benchmarks (Release) and run them; writes
#              BENCHMARKS.md.  Takes a few minutes; never part of a build.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
SANBUILD ?= build-asan
TSANBUILD ?= build-tsan
BENCHBUILD ?= build-bench

.PHONY: all setup build test test-plain test-sanitize test-tsan bench clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: setup
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DVEL_SANITIZE=ON >/dev/null
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer: the concurrency tests first, then the whole suite.
test-tsan: setup
	cmake -S . -B $(TSANBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_TSAN=ON >/dev/null
	cmake --build $(TSANBUILD) -j $(JOBS)
	cd $(TSANBUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ./bin/velfiledb_tests --gtest_filter='*Concurrency*'
	cd $(TSANBUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-plain test-sanitize test-tsan

bench: setup
	cmake -S . -B $(BENCHBUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCHBUILD) -j $(JOBS) --target velfiledb_bench
	$(BENCHBUILD)/bin/velfiledb_bench --benchmark_out=$(BENCHBUILD)/bench.json --benchmark_out_format=json
	python3 bench/report.py $(BENCHBUILD)/bench.json BENCHMARKS.md

clean:
	rm -rf $(BUILD) $(SANBUILD) $(TSANBUILD) $(BENCHBUILD)
