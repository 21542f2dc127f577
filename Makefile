# Convenience wrapper around CMake and CTest.
#   make        build everything (build/)
#   make test   check + asan + tsan + fuzz: everything CI runs
#   make check  build everything with the default compiler and run every test
#   make asan   the tests built with clang under AddressSanitizer and UBSan (build-asan/)
#   make tsan   the tests built with clang under ThreadSanitizer (build-tsan/)
#   make fuzz   build the fuzz targets (build-fuzz/) and run each for FUZZ_SECONDS
#   make demo   build the programs and run the two-firm demo on this machine
#   make package  build the Debian package (build-package/fixgate_<version>_<arch>.deb): only
#                 what it ships, no tests, benchmarks or QuickFIX peer, with Debian's hardening
#                 flags (dpkg-buildflags, hardening=+all)
#   make roundtrip  build the programs and run the round-trip benchmark against QuickFIX
#                 (bench/README.md; options in ROUNDTRIP_ARGS, e.g. "--rounds 1 --pingpong 2000")
# demo, package and test first check the Debian packages they need (scripts/deps.sh): as root the
# missing ones are installed, otherwise the apt-get line to run is printed.
BUILD ?= build
JOBS  ?= 2
PACKAGE_BUILD ?= build-package
SAN_CXX ?= clang++
FUZZ_SECONDS ?= 10

# Programs the tests start inherit these. A report ends the process at once with a non-zero
# status; leaks are reported when a process exits normally.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Sanitizer builds optimise less and keep only line tables: they compile and link much faster, and
# reports still name every frame's file and line.
SAN_CMAKE = -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIXGATE_BENCH=OFF \
            -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG"

.PHONY: all build test check asan tsan fuzz demo package roundtrip clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test:
	bash scripts/deps.sh test
	$(MAKE) check asan tsan fuzz

check: build
	ctest --test-dir $(BUILD) -j$(JOBS) --output-on-failure

asan:
	cmake -S . -B build-asan $(SAN_CMAKE) -DFIXGATE_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	$(ASAN_ENV) ctest --test-dir build-asan -j$(JOBS) --output-on-failure

tsan:
	cmake -S . -B build-tsan $(SAN_CMAKE) -DFIXGATE_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	$(TSAN_ENV) ctest --test-dir build-tsan -j$(JOBS) --output-on-failure

fuzz:
	cmake -S . -B build-fuzz $(SAN_CMAKE) -DFIXGATE_SANITIZE=address,undefined -DFIXGATE_FUZZ=ON
	cmake --build build-fuzz --target fuzzers -j$(JOBS)
	$(ASAN_ENV) bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS) $(JOBS)

demo:
	bash scripts/deps.sh build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) --target programs -j$(JOBS)
	bash examples/demo/demo.sh $(BUILD)/bin

# Debian's build flags with every hardening feature: PIE, stack protector, _FORTIFY_SOURCE, full
# RELRO with immediate binding. -Werror holds with them.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package:
	bash scripts/deps.sh package
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIXGATE_TESTS=OFF \
	    -DFIXGATE_BENCH=OFF \
	    -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PACKAGE_BUILD) --target shipped -j$(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

roundtrip:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) --target roundtrip_programs -j$(JOBS)
	$(BUILD)/bin/roundtrip $(ROUNDTRIP_ARGS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(PACKAGE_BUILD)
