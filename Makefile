# make test   set up the machine if needed, build, run every test under Wine
# make build  build only: the release DLL, its debug file, the tests and tools
# make bench  the DLL beside a bare WinHTTP client (tools/bench/README.md)
# make demo   (see README)

BUILD ?= build
JOBS  ?= 2
CMAKE_ARGS ?=
BENCH_ARGS ?=

.PHONY: all setup configure build test bench clean demo

all: build

setup:
	@tools/setup.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw32.cmake $(CMAKE_ARGS)

configure: setup $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@tools/run-tests.sh $(BUILD) $(JOBS)

# The bench needs the DLL and itself, not the tests.
bench: configure
	cmake --build $(BUILD) --target tly-bench -j $(JOBS)
	@tools/bench/run-bench.sh $(BUILD) $(BENCH_ARGS)

clean:
	-tools/wine-prefix.sh $(BUILD) stop
	rm -rf $(BUILD)

# The demo: set-up, build, then the translator at work against the simulator.
demo: build
	@tools/demo/run-demo.sh $(BUILD)
