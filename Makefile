# Convenience wrapper around CMake and CTest.
#   make        build everything (build/)
#   make test   build everything and run every test
BUILD ?= build
JOBS  ?= 2

.PHONY: all build test clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD)
