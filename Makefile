# Thin wrapper over the CMake presets. `make test` builds and tests both
# architectures and the sanitizer build; `make demo` shows what the plug-in
# produces; `make fuzz` searches for faults for FUZZ_SECONDS.
PRESETS      := i386 x86_64
TEST_PRESETS := $(PRESETS) x86_64-asan
PACKAGES     := cmake ninja-build g++ g++-multilib qemu-user googletest libgtest-dev \
                libbenchmark-dev libstb-dev ffmpeg clang libclang-rt-14-dev valgrind cppcheck clang-tidy \
                gstreamer1.0-tools gstreamer1.0-plugins-base
FUZZ_SECONDS ?= 60
# A failed build must fail the make run, through the filter below.
SHELL        := /bin/bash
.SHELLFLAGS  := -o pipefail -c

.PHONY: all setup build test bench demo fuzz package clean $(addprefix build-,$(TEST_PRESETS)) $(addprefix test-,$(TEST_PRESETS))

all: build

setup:
	@tools/setup.sh $(PACKAGES)

build: $(addprefix build-,$(PRESETS))

$(addprefix build-,$(TEST_PRESETS)): build-%: setup
	@[ -f build/$*/build.ninja ] || cmake --preset $* >/dev/null
	@cmake --build --preset $* | sed '/^\[/d; /^ninja: no work to do/d'
	@test -f build/$*/plugin/libtcap.so

test: $(addprefix test-,$(TEST_PRESETS))

$(addprefix test-,$(TEST_PRESETS)): test-%: build-%
	@ctest --preset $*

# The Debian packages of both architectures, in build/packages, checked to
# install side by side.
package: build
	@rm -rf build/packages
	@for p in $(PRESETS); do cpack --config build/$$p/CPackConfig.cmake -B build/packages >/dev/null || exit 1; done
	@rm -rf build/packages/_CPack_Packages
	@packaging/side_by_side.sh build/packages
	@ls -1 build/packages/*.deb

# Frame production timings (x86-64 only: Google Benchmark is installed for it).
bench: build-x86_64
	@build/x86_64/bench/tcap_bench

demo: build
	@tools/demo.sh

fuzz: build-x86_64-asan
	@mkdir -p build/x86_64-asan/fuzz-work/corpus build/x86_64-asan/fuzz-work/artifacts
	build/x86_64-asan/fuzz/fuzz_plugin -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	  -artifact_prefix=build/x86_64-asan/fuzz-work/artifacts/ build/x86_64-asan/fuzz-work/corpus fuzz/corpus

clean:
	rm -rf build demo
