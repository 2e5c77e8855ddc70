# The two commands of the README: `make test` and `make test-asan`.
JOBS ?= $(shell nproc)
WERROR ?= OFF
CMAKE_FLAGS ?=
# `make install PREFIX=/usr/local DESTDIR=...`
PREFIX ?= /usr/local
DESTDIR ?=
# where `make deb` leaves the Debian packages
DEB_DIR ?= build-deb

.PHONY: deps test test-asan build build-asan demo bench fuzz format format-check clean install deb package-test

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

demo: deps
	@JOBS=$(JOBS) scripts/demo.sh

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j$(JOBS)
	@scripts/bench.sh build-bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_all
	@scripts/fuzz.sh build-fuzz $(or $(FUZZ_SECONDS),60)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-bench build-fuzz build-deb
