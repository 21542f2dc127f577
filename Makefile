# Convenience wrapper around CMake and CTest.
#   make        build everything (build/)
#   make test   build everything and run every test
#   make demo   build the programs and run the two-firm demo on this machine
BUILD ?= build
JOBS  ?= 2

.PHONY: all build test demo clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

demo:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) --target programs -j$(JOBS)
	bash examples/demo/demo.sh $(BUILD)/bin

clean:
	rm -rf $(BUILD)
