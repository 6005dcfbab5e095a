# make run   - install what is missing, build, start Palaver
# make test  - install what is missing, build, run every test through CTest
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test test-build test-sanitize test-unit build deps bench fuzz screenshots install package check-desktop

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/bin/palaver

# Installs under PREFIX (bin/palaver, the checksum library in lib/.../palaver/, the desktop
# entry, icons, AppStream metadata and documents under share/).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package, built for /usr, its dependencies found by dpkg-shlibdeps.
PKG_BUILD ?= build-package
package: deps
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DPALAVER_TESTS=OFF -DPALAVER_FUZZ=OFF
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB
	dpkg-deb --info $(PKG_BUILD)/palaver_*.deb

# What only a real window manager shows: installation, placement, alerts, notifications.
check-desktop: build
	./scripts/install-deps.sh desktop
	./scripts/check-install.sh
	./scripts/check-desktop.sh
	./scripts/check-notify.sh
	./scripts/check-history.sh
	./scripts/check-windows.sh

test-build: deps
	cmake -S . -B $(BUILD) -DPALAVER_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

# Twice as many tests as cores: most of their time is spent waiting on sockets and timers.
test: test-build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $$(( $(JOBS) * 2 ))

# The quick part of the suite: no sockets, no windows.
test-unit: test-build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -L unit

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer. Allocation stacks
# are unwound in full so that a report names its callers even through Qt. Every test runs
# once: an intermittent fault must show, not be retried away.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DPALAVER_WERROR=ON -DPALAVER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure -LE slow

# Benchmarks in their own optimised build; start-up is measured under a real X server.
BENCH_BUILD ?= build-bench
bench:
	./scripts/install-deps.sh desktop
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DPALAVER_BENCH=ON \
	  -DPALAVER_TESTS=OFF -DPALAVER_FUZZ=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	./$(BENCH_BUILD)/bin/bench_protocol
	./$(BENCH_BUILD)/bin/bench_app
	./$(BENCH_BUILD)/bin/bench_tls
	./$(BENCH_BUILD)/bin/bench_nearby
	./$(BENCH_BUILD)/bin/bench_files
	QT_QPA_PLATFORM=$$([ -n "$$DISPLAY" ] && echo xcb || echo offscreen) ./$(BENCH_BUILD)/bin/bench_burst
	ANCHOR_BIN=$(BENCH_BUILD)/bin/anchor_window PALAVER_BIN=$(BENCH_BUILD)/bin/palaver \
	  BENCH_APP=$(BENCH_BUILD)/bin/bench_app \
	  ./scripts/bench-startup.sh

# Long fuzzing runs with libFuzzer (clang), program code instrumented as well:
# FUZZ_SECONDS per target, corpora kept in build-fuzz/corpus/. A small quarantine keeps a
# long run's memory, and with it its speed, where it starts (ASan itself is unchanged).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
fuzz:
	./scripts/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DPALAVER_LIBFUZZER=ON -DPALAVER_SANITIZE=ON -DPALAVER_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_session fuzz_settings fuzz_history_query sumcore
	for t in fuzz_session fuzz_settings fuzz_history_query; do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	  QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16 \
	    ./$(FUZZ_BUILD)/bin/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	done
