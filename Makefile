# Thin wrapper over the CMake presets. `make test` builds and tests both
# architectures; `make demo` shows what the plug-in produces.
PRESETS  := i386 x86_64
# A failed build must fail the make run, through the filter below.
SHELL    := /bin/bash
.SHELLFLAGS := -o pipefail -c
PACKAGES := cmake ninja-build g++ g++-multilib qemu-user googletest libgtest-dev \
            libbenchmark-dev libstb-dev ffmpeg

.PHONY: all setup build test demo clean $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build

setup:
	@tools/setup.sh $(PACKAGES)

build: $(addprefix build-,$(PRESETS))

$(addprefix build-,$(PRESETS)): build-%: setup
	@[ -f build/$*/build.ninja ] || cmake --preset $* >/dev/null
	@cmake --build --preset $* | sed '/^\[/d'
	@test -f build/$*/plugin/libtcap.so

test: $(addprefix test-,$(PRESETS))

$(addprefix test-,$(PRESETS)): test-%: build-%
	@ctest --preset $*

demo: build
	@tools/demo.sh

clean:
	rm -rf build demo
