# The two commands of the README:
#   make run    starts the station under a fresh station root
#   make test   builds everything and runs every test
# Both install what is missing first.

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test run clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

run: build
	scripts/run-station.sh $(BUILD)

clean:
	rm -rf build build-sanitize run
