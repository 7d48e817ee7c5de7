# make test   set up the machine if needed, build, run every test under Wine
# make build  build only: the release DLL, its debug file, the tests and tools
# make bench  the DLL beside a bare WinHTTP client (tools/bench/README.md)
# make demo   (see README)
# make dist   build, then the zip, the MSI and the symbols in dist/ (SIGN_CERT, SIGN_KEY sign them)
# make fuzz   every parser entry point fed 10,000 reproducible mutations (FUZZ_ARGS)
# make fuzz-native  each native libFuzzer target under the sanitizers for 5 minutes, then
#             a table of lines covered (FUZZ_NATIVE_SECONDS, FUZZ_NATIVE_ARGS; tools/fuzz-native)
# make soak   the soak: 10,000 activities over 7 minutes with every fault (tools/soak)
# make soak-quick  the same in about a minute; SOAK_ARGS passes options to both
# make log-volume  the log of a 32-panel site healthy and through an outage (tools/logsite)

BUILD ?= build
JOBS  ?= 2
CMAKE_ARGS ?=
BENCH_ARGS ?=
SOAK_ARGS ?=
LOG_VOLUME_ARGS ?=

.PHONY: all setup configure build test bench clean demo dist fuzz fuzz-native soak soak-quick log-volume

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
	rm -rf $(BUILD) dist

# The release packages and their symbols (see tools/dist/README.md); with
# SIGN_CERT=cert.pem SIGN_KEY=key.pem the programs and the MSI are signed.
SIGN_CERT ?=
SIGN_KEY ?=
dist: build
	@SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" /usr/bin/python3 tools/dist/make_dist.py $(BUILD) dist

# The demo: set-up, build, then the translator at work against the simulator.
demo: build
	@tools/demo/run-demo.sh $(BUILD)

# The full parser sweep (tools/fuzz): 10,000 inputs per entry point by default.
FUZZ_ARGS ?= --iterations 10000 --run 1
fuzz: build
	@TLY_BUILD_DIR=$(abspath $(BUILD)) tools/fuzz/run-fuzz.sh $(BUILD) $(FUZZ_ARGS)

# The native lane (tests/native, tools/fuzz-native): the portable core built
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer, each
# libFuzzer target searched for FUZZ_NATIVE_SECONDS; FUZZ_NATIVE_ARGS passes
# libFuzzer options (-jobs=2, -max_len=65536, ...). A slice runs in make test.
FUZZ_NATIVE_SECONDS ?= 300
FUZZ_NATIVE_ARGS ?=
fuzz-native: setup
	@JOBS=$(JOBS) tools/fuzz-native/run-fuzz-native.sh $(BUILD)/native/fuzz $(FUZZ_NATIVE_SECONDS) $(FUZZ_NATIVE_ARGS)

# The soak: host-sim through the registered DLL against the simulator with
# faults armed over the run; one summary, exit 1 on any loss (tools/soak).
soak: build
	@tools/soak/run-soak.sh $(BUILD) $(SOAK_ARGS)

soak-quick: build
	@tools/soak/run-soak.sh $(BUILD) --profile quick $(SOAK_ARGS)

# How much the log of a 32-panel site grows, healthy and through an outage.
log-volume: build
	@tools/wine-prefix.sh $(BUILD) init && tools/wine-prefix.sh $(BUILD) start
	@TLY_BUILD_DIR=$(abspath $(BUILD)) /usr/bin/python3 tools/logsite/log_volume.py $(LOG_VOLUME_ARGS)
