# The two commands of the README: `make demo` and `make test`.
BUILD := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
JOBS := $(shell nproc)

export WINEPREFIX := $(CURDIR)/$(BUILD)/wineprefix
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=

.PHONY: all setup build test demo bench soak dist clean

all: build

setup:
	@sh scripts/setup.sh

build: setup
	@sh scripts/fetch-sources.sh
	cmake --no-warn-unused-cli -S . -B $(BUILD)/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake -DOVILUNE_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/i686 -j $(JOBS)
	cmake --no-warn-unused-cli -S . -B $(BUILD)/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DOVILUNE_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/x86_64 -j $(JOBS)

test: build
	@sh scripts/run-tests.sh $(BUILD)

bench: build
	@sh scripts/bench.sh $(BUILD)

soak: build
	@sh scripts/soak.sh $(BUILD)

dist: setup
	@sh scripts/dist.sh

demo: build
	@sh scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) out dist
