# make demo  : install what is missing, build, and run `velkdb demo` (a
#              database of real certificates in velkdb-demo/).
# make test  : install what is missing, build, run every test (the library's
#              and the velkdb tool's), then the same under AddressSanitizer
#              and UndefinedBehaviorSanitizer, under ThreadSanitizer, then
#              the fuzz targets.
# make fuzz  : build the libFuzzer targets with clang (build-fuzz), replay the
#              seed corpus of each as regression tests, then fuzz each for
#              FUZZ_SECONDS seconds.
# make test-install : install into a temporary prefix and build the examples
#              out of tree against it, once with find_package and once with
#              pkg-config, and run them; then the same with the Debian package
#              unpacked (part of make test).
# make package : the Debian package build/package/velfiledb_*.deb.
# make bench : build the benchmarks (Release) and velkdb, which the import
#              and list benchmarks run, and run them beside the programs
#              that build a store of the same certificates (openssl pkcs12,
#              and a Java KeyStore when java and javac are installed);
#              writes BENCHMARKS.md and its plot.  Takes about ten minutes;
#              never part of a build.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
SANBUILD ?= build-asan
TSANBUILD ?= build-tsan
BENCHBUILD ?= build-bench
FUZZBUILD ?= build-fuzz
FUZZ_SECONDS ?= 30

.PHONY: all setup build demo test test-plain test-install install-build package test-sanitize test-tsan fuzz \
        fuzz-build fuzz-corpus bench clean

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

# ThreadSanitizer: the concurrency tests first, then the whole suite but the
# single-threaded disk-fault, crash and power-loss matrices and the tool's
# script (one thread each: the plain and AddressSanitizer runs cover them).
TSAN_SKIP = FileDBFaultsTest|FileDBCrashPointsTest|PowerLoss|velkdb_cli
test-tsan: setup
	cmake -S . -B $(TSANBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_TSAN=ON >/dev/null
	cmake --build $(TSANBUILD) -j $(JOBS)
	cd $(TSANBUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ./bin/velfiledb_tests --gtest_filter='*Concurrency*:*Transaction*'
	cd $(TSANBUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -E '$(TSAN_SKIP)'

fuzz-build: setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_FUZZ=ON >/dev/null
	cmake --build $(FUZZBUILD) -j $(JOBS)

fuzz: fuzz-build
	bash scripts/fuzz.sh $(FUZZBUILD) $(FUZZ_SECONDS)

# Rewrites the checked-in seed corpus (fresh keys each time).
fuzz-corpus: fuzz-build
	rm -rf fuzz/corpus
	$(FUZZBUILD)/bin/make_corpus fuzz/corpus

# The tested build is what is installed and packaged (install rules take
# the libraries, public headers, velkdb, its manual page and completion;
# no test program).
install-build: build
package: install-build
	rm -rf $(BUILD)/package
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/package/*.deb

test-install: package
	bash scripts/test-install.sh prefix $(BUILD)
	bash scripts/test-install.sh deb $(BUILD)/package/velfiledb_*.deb

test: test-plain test-install test-sanitize test-tsan fuzz

bench: setup
	cmake -S . -B $(BENCHBUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCHBUILD) -j $(JOBS) --target velfiledb_bench
	$(BENCHBUILD)/bin/velfiledb_bench --benchmark_out=$(BENCHBUILD)/bench.json --benchmark_out_format=json
	python3 bench/report.py $(BENCHBUILD)/bench.json BENCHMARKS.md
	# The store provider: one key and certificate by label from 10,000
	# records, against velkdb show.
	cmake --build $(BENCHBUILD) -j $(JOBS) --target velstore_bench

clean:
	rm -rf $(BUILD) $(SANBUILD) $(TSANBUILD) $(BENCHBUILD) $(FUZZBUILD) $(BUILD)
