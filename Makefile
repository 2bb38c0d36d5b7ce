# The two commands of a fresh Debian 12 machine: `make demo` and `make test`.
# Both install what is missing first.

CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST_FLAGS ?= --output-on-failure -j2 --timeout 600

.PHONY: all deps build test demo bench bench-web soak test-asan test-tsan fuzz faults install package clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B build -G Ninja $(CMAKE_FLAGS)
	cmake --build build

test: build
	ctest --test-dir build $(CTEST_FLAGS)
	@scripts/test-ratio

demo: build
	scripts/demo

# Encoder throughput against the ffmpeg command line (docs/benchmarks.md).
bench: build
	scripts/bench

# The web front end: status page load, API reads and the preview's CPU cost
# against their targets, on the recorder in a sandbox (docs/benchmarks.md).
bench-web: build
	build/web-bench

# The whole recorder in real time on the simulated card, recording 1080i50 to
# two drives: make soak [MINUTES=1]. Prints a summary and plots RSS and CPU.
MINUTES ?= 1
soak: build
	scripts/install-deps gnuplot-nox
	scripts/soak $(MINUTES) Hi50

# Sanitizer builds: each its own build directory, running the same tests.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVA_SANITIZE=address
	cmake --build build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQVA_SANITIZE=thread
	cmake --build build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan $(CTEST_FLAGS)

# libFuzzer on the web request language (clang): make fuzz [FUZZ_SECONDS=60].
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz $(FUZZ_SECONDS)

# The fault catalogue (docs/fault-catalogue.md): each patch in tests/faults/
# built in a worktree of its own and run against the tests; names every fault
# no test catches. Far too slow for `make test`. make faults [QUICK=1] runs
# only the tests each patch names.
QUICK ?= 0
faults: deps
	QUICK=$(QUICK) scripts/fault-catalogue

# Installs what the box runs from the build: make install [PREFIX=/usr] [DESTDIR=/stage].
# The box paths (/QVA, /var/www/uploads, /formatusb.sh) stay absolute under DESTDIR.
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The Debian package for the box, from a Release build of its own (build-pkg);
# dpkg-shlibdeps (dpkg-dev, file) turns the linked libraries into Depends, and
# check-deb makes sure nothing but the box's files went in.
package:
	scripts/install-deps dpkg-dev file
	cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	rm -f build-pkg/qva-recorder_*.deb
	cmake --build build-pkg --target package
	packaging/check-deb build-pkg/qva-recorder_*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz build-pkg
