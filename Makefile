# Front door for the two everyday jobs; CMake does the building.
#   make demo   build and replay the bundled example flows through the plug-in
#   make test   build and run every test, then again under the sanitizers
#   make install  install the plug-in under PREFIX (staged under DESTDIR when set)
#   make fuzz   build the libFuzzer targets and run each for FUZZ_SECONDS
#   make bench  build the benchmarks in Release, run them, print each figure beside its reference
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

FUZZ_SECONDS ?= 60
# make test runs each fuzz target this long, so a fault the seeds reach quickly fails the suite.
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_TARGETS := fuzz-config fuzz-expression fuzz-replay-line fuzz-host-entry fuzz-sink-render

.PHONY: all deps configure build demo-build demo test test-plain layering asan tsan freebsd-check install fuzz-build fuzz fuzz-smoke bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: tfa-replay brings the plug-in library, the stand-in agent and the pf
# model with it; the test suites wait for `make test`.
demo-build: configure
	cmake --build $(BUILD) -j $(JOBS) --target tfa-replay

# The example configuration writes its log files into build/demo/logs, so the demo folder stays
# there whatever BUILD is.
DEMO := build/demo

demo: demo-build
	@rm -rf $(DEMO) && mkdir -p $(DEMO)/logs
	$(BUILD)/bin/tfa-replay run -c examples/flow-actions.json -a examples/applications.json \
		--sink events=$(DEMO)/events.jsonl --summary-json $(DEMO)/summary.json \
		examples/flows.jsonl
	@echo
	@echo "Where everything went:"
	@echo "  log files (one JSON document each)  $(DEMO)/logs/"
	@echo "  payloads of the sink \"events\"      $(DEMO)/events.jsonl"
	@echo "  the results above, as JSON          $(DEMO)/summary.json"
	@echo "  pf tables                           listed above (held by the pf model, gone with the run)"
	@echo "Replay the sink's payloads through the same configuration:"
	@echo "  $(BUILD)/bin/tfa-replay run -c examples/flow-actions.json -a examples/applications.json $(DEMO)/events.jsonl"

test: layering test-plain asan tsan freebsd-check fuzz-smoke

# Includes must run one way through the folders; prints each offending include.
layering:
	@scripts/check-layering

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer; any finding fails.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTFA_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The concurrency tests with ThreadSanitizer.
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTFA_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS) --target test-stress
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -L concurrency \
		--no-tests=error

# Compiles the plug-in for FreeBSD 14 against FreeBSD's own headers when a sysroot is at hand
# (FREEBSD_SYSROOT, or shared/freebsd14-sysroot beside the clone); says so and passes otherwise.
freebsd-check: deps
	scripts/freebsd-check

# DESTDIR stages the files as a port's build expects.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# libFuzzer targets in their own tree, built by clang with AddressSanitizer and UBSan; the normal
# build never compiles them.
fuzz-build: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFA_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: fuzz-build
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	scripts/run-fuzzers build-fuzz $(FUZZ_SMOKE_SECONDS)


# Release build of its own, without the test suites; every program writes its results as JSON,
# which bench/report.py turns into one table of figures, references and ratios.
BENCH_BUILD := build-bench
BENCHMARKS := bench-intake bench-flow-parser bench-encode bench-criteria bench-pftable bench-replay

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DTFA_TESTS=OFF >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target $(BENCHMARKS)
	@mkdir -p $(BENCH_BUILD)/results
	@for program in $(BENCHMARKS); do \
		$(BENCH_BUILD)/bin/$$program --benchmark_out_format=json \
			--benchmark_out=$(BENCH_BUILD)/results/$$program.json || exit 1; \
	done
	@echo
	@uptime
	@bench/report.py $(addprefix $(BENCH_BUILD)/results/,$(addsuffix .json,$(BENCHMARKS)))

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(BENCH_BUILD)
