# make run   - install what is missing, build, start Palaver
# make test  - install what is missing, build, run every test through CTest
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test test-sanitize build deps bench screenshots

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/bin/palaver

test: deps
	cmake -S . -B $(BUILD) -DPALAVER_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer. Allocation stacks
# are unwound in full so that a report names its callers even through Qt. A test that fails
# is run once more: Qt's worker threads (host name lookups) can, rarely, still hold a small
# allocation at exit; a real fault fails both runs.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DPALAVER_WERROR=ON -DPALAVER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure --repeat until-pass:2

bench: deps
	cmake -S . -B $(BUILD) -DPALAVER_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	./$(BUILD)/bin/bench_protocol
