# The commands of the README:
#   make demo   runs the simulated station through a visitor scenario
#   make demo-sip  the same scenario with real SIP (sipbridge, baresip, SIPp)
#   make sim    leaves the simulated station running, with a prompt
#   make test   builds everything and runs every test
#   make cross  builds for the AArch64 board and runs the tests under qemu
#   make package  Debian packages for amd64 and arm64 (package-amd64, package-arm64)
#   make vm-test  the package installed and booted in a Debian 12 VM, its
#               scenarios (ARCH=arm64 for the board's architecture)
#   make fuzz   builds the fuzz targets with clang and runs each FUZZ_SECONDS
#   make soak   both programs under steady work, Redis restarts and kills
#               (SOAK=short: the minute that CI runs)
#   make bench  key release to dial, session events per second, idle CPU and
#               memory, beside a plain C yardstick (about four minutes)
# Each installs what is missing first.

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo demo-sip sim soak bench cross cross-deps package package-amd64 package-arm64 \
	vm-test fuzz fuzz-deps clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# CTEST_FLAGS adds to ctest's arguments (CI's sanitizer builds leave out
# the timing tests and the flood with -LE 'timed|flood').
CTEST_FLAGS ?=

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) $(CTEST_FLAGS)

demo: build
	$(BUILD)/bin/station-sim demo --root run/demo

demo-sip: build
	$(BUILD)/bin/station-sim demo-sip --root run/demo-sip

sim: build
	$(BUILD)/bin/station-sim interactive --root run/sim

# The soak test: about eight minutes with 50 Redis restarts and 30 kills of
# each program; SOAK=short runs about a minute. SOAK_FLAGS adds
# station-soak's own options (--seed N to repeat a run's faults).
SOAK ?= full
SOAK_FLAGS ?=
soak: build
	$(BUILD)/bin/station-soak --root run/soak $(if $(filter short,$(SOAK)),--short) $(SOAK_FLAGS)

# The benchmark: the programs of a Release build under a station root of its
# own. BENCH_FLAGS adds station-bench's options (--presses N, --events N,
# --idle-seconds S, --no-floor, --durable: the board's synced Redis and what it
# writes).
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSTATION_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target station-bench
	$(BENCH_BUILD)/bin/station-bench --root run/bench $(BENCH_FLAGS)

# The board's build: the cross toolchain from Debian, the tests under
# qemu-aarch64. CROSS_TESTS picks the labels to run (unit, integration, sip,
# timed: the tests that time blinks and holds, which an emulator makes late,
# and flood: the message log's 100,000 events, which it makes take
# minutes), CROSS_CTEST_FLAGS adds to ctest's arguments.
CROSS_BUILD ?= build-aarch64
CROSS_TESTS ?= unit|integration|sip
CROSS_CTEST_FLAGS ?=
cross-deps: deps
	@scripts/install-cross-deps.sh

cross: cross-deps
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j$(JOBS)
	cd $(CROSS_BUILD) && ctest --output-on-failure -j$(JOBS) -L '$(CROSS_TESTS)' $(CROSS_CTEST_FLAGS)

# Release builds for the board and this machine, stripped, as .deb files in
# build-package-amd64/ and build-package-arm64/.
# PACKAGE_CMAKE_FLAGS adds to them (CI: -Werror and ccache, as its first
# build, whose objects the package's then reuse).
PACKAGE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DSTATION_BUILD_TESTS=OFF -DSTATION_BUILD_SIMULATOR=OFF \
	-DSTATION_INSTALL_INIT_SCRIPT=OFF
PACKAGE_CMAKE_FLAGS ?=
package: package-amd64 package-arm64

package-amd64: deps
	cmake -S . -B build-package-amd64 $(PACKAGE_FLAGS) $(PACKAGE_CMAKE_FLAGS)
	cmake --build build-package-amd64 -j$(JOBS)
	cd build-package-amd64 && cpack

package-arm64: cross-deps
	cmake -S . -B build-package-arm64 $(PACKAGE_FLAGS) $(PACKAGE_CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build build-package-arm64 -j$(JOBS)
	cd build-package-arm64 && cpack

# The package installed in a Debian 12 image and booted under systemd in
# QEMU (KVM where it works, TCG otherwise), with the kernel's own GPIO lines
# and the station's peers inside the guest; the image and its kernel module
# are cached in VMTEST_CACHE (/var/cache/orvanel-vmtest). ARCH=arm64 boots
# the board's architecture under qemu-system-aarch64 (TCG). VMTEST=powercut
# pulls the plug CUTS times (30) at moments drawn from SEED, and checks
# that nothing accepted is lost.
ARCH ?= amd64
vm-test:
	tests/vm/vm-test --arch $(ARCH) $(if $(VMTEST),--mode $(VMTEST)) $(if $(CUTS),--cuts $(CUTS)) $(if $(SEED),--seed $(SEED))

# The fuzz targets, built with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/; each runs FUZZ_SECONDS from
# the seed corpus in fuzz/corpus/. FUZZ_CMAKE_FLAGS="" keeps the tests in
# the same build (CI runs them there under the same sanitizers).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CMAKE_FLAGS ?= -DSTATION_BUILD_TESTS=OFF -DSTATION_BUILD_SIMULATOR=OFF
fuzz-deps: deps
	@scripts/install-deps.sh clang libclang-rt-14-dev

fuzz: fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DSTATION_FUZZ=ON $(FUZZ_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target station_fuzzers
	scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf build build-sanitize build-tsan build-aarch64 build-package-amd64 build-package-arm64 build-pkg build-fuzz run
