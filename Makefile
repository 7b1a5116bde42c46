# Thin wrapper over the CMake presets. `make test` builds and tests both
# architectures; `make demo` shows what the plug-in produces.
PRESETS  := i386 x86_64
PACKAGES := cmake ninja-build g++ g++-multilib qemu-user googletest libgtest-dev \
            libbenchmark-dev libstb-dev ffmpeg

.PHONY: all setup build test bench demo clean $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build

setup:
	@tools/setup.sh $(PACKAGES)

build: $(addprefix build-,$(PRESETS))

$(addprefix build-,$(PRESETS)): build-%: setup
	@[ -f build/$*/build.ninja ] || cmake --preset $* >/dev/null
	@cmake --build --preset $* | grep -v '^\[' || true
	@test -f build/$*/plugin/libtcap.so

test: $(addprefix test-,$(PRESETS))

$(addprefix test-,$(PRESETS)): test-%: build-%
	@ctest --preset $*

# Frame production timings (x86-64 only: Google Benchmark is installed for it).
bench: build-x86_64
	@build/x86_64/bench/tcap_bench

demo: build
	@tools/demo.sh

clean:
	rm -rf build demo
