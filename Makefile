# Front door for the two everyday jobs; CMake does the building.
#   make demo   build and replay the bundled example flows through the plug-in
#   make test   build and run every test, then again under the sanitizers
#   make bench  build the benchmarks in Release, run them, print each figure beside its reference
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build demo test test-plain layering asan tsan bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The example configuration writes its log files into build/demo/logs, so the demo folder stays
# there whatever BUILD is.
DEMO := build/demo

demo: build
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

test: layering test-plain asan tsan

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
	rm -rf $(BUILD) build-asan build-tsan $(BENCH_BUILD)
