# make demo  : install what is missing, build, and run `velkdb demo` (a
#              database of real certificates in velkdb-demo/).
# make test  : install what is missing, build, run every test (the library's
#              and the velkdb tool's), then the same under AddressSanitizer
#              and UndefinedBehaviorSanitizer, and under ThreadSanitizer.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
SANBUILD ?= build-asan
TSANBUILD ?= build-tsan

.PHONY: all setup build demo test test-plain test-sanitize test-tsan clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/bin/velkdb demo

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

clean:
	rm -rf $(BUILD) $(SANBUILD) $(TSANBUILD)
