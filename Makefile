# The two commands of the README: `make test` and `make test-asan`.
JOBS ?= $(shell nproc)
WERROR ?= OFF
CMAKE_FLAGS ?=
# `make install PREFIX=/usr/local DESTDIR=...`
PREFIX ?= /usr/local
DESTDIR ?=
# where `make deb` leaves the Debian packages
DEB_DIR ?= build-deb

.PHONY: deps test test-asan test-tsan build build-asan build-tsan demo bench fuzz format format-check clean install deb package-test

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

test: build
	cd build && ctest --output-on-failure -j$(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

install: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=$(WERROR) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target qelvorlent vorlent
	DESTDIR=$(DESTDIR) cmake --install build

deb:
	@scripts/install-deps.sh --deb
	@JOBS=$(JOBS) scripts/build-deb.sh $(DEB_DIR)

# Builds, checks, installs, uses and purges the packages on this machine (root or sudo).
package-test: deb
	@scripts/package-test.sh $(DEB_DIR)

# ThreadSanitizer over the layers that threads share work in: package, crypto and automation
# (the thread stress test among them, with fewer rounds since every step runs many times slower).
# The two ten-thousand-round leak loops are single-threaded and left to test-asan: under
# ThreadSanitizer they alone would take over six minutes.
TSAN_LAYERS = package crypto automation
build-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) $(addprefix --target test_,$(TSAN_LAYERS))

test-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp QV_STRESS_ROUNDS=$(or $(TSAN_STRESS_ROUNDS),25) \
	  ctest --output-on-failure -j$(JOBS) \
	  -L '^($(subst $(eval) ,|,$(strip $(TSAN_LAYERS))))$$' -E 'Loop\.TenThousand'

demo: deps
	@JOBS=$(JOBS) scripts/demo.sh

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j$(JOBS)
	@scripts/bench.sh build-bench
	@scripts/bench-crypto-cli.sh build-bench
	@scripts/bench-receive.sh build-bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all
	@scripts/fuzz.sh build-fuzz $(or $(FUZZ_SECONDS),60)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-deb
