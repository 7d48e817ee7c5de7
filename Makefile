# make test   set up the machine if needed, build, run every test under Wine
# make build  build only
# make demo   (see README)
# make dist   build, then the release package and its symbols in dist/

BUILD ?= build
JOBS  ?= 2
CMAKE_ARGS ?=

.PHONY: all setup configure build test clean demo dist

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

clean:
	-tools/wine-prefix.sh $(BUILD) stop
	rm -rf $(BUILD) dist

# The release package and its symbols (see tools/dist/README.md).
dist: build
	@/usr/bin/python3 tools/dist/make_dist.py $(BUILD) dist

# The demo: set-up, build, then the translator at work against the simulator.
demo: build
	@tools/demo/run-demo.sh $(BUILD)
