# The two commands of a fresh Debian 12 machine: `make demo` and `make test`.
# Both install what is missing first.

CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST_FLAGS ?= --output-on-failure -j2 --timeout 600

.PHONY: all deps build test demo bench soak test-asan test-tsan fuzz clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B build -G Ninja $(CMAKE_FLAGS)
	cmake --build build

test: build
	ctest --test-dir build $(CTEST_FLAGS)

demo: build
	scripts/demo

# Encoder throughput against the ffmpeg command line (docs/benchmarks.md).
bench: build
	scripts/bench

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

clean:
	rm -rf build build-asan build-tsan build-fuzz
