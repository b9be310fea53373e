# The commands of the README:
#   make demo   runs the simulated station through a visitor scenario
#   make demo-sip  the same scenario with real SIP (sipbridge, baresip, SIPp)
#   make sim    leaves the simulated station running, with a prompt
#   make test   builds everything and runs every test
# Each installs what is missing first.

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo demo-sip sim clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	$(BUILD)/bin/station-sim demo --root run/demo

demo-sip: build
	$(BUILD)/bin/station-sim demo-sip --root run/demo-sip

sim: build
	$(BUILD)/bin/station-sim interactive --root run/sim

clean:
	rm -rf build build-sanitize build-tsan run
