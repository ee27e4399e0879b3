# The two commands a new user types: `make demo` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE_BUILD_DIR ?= build-sanitize

WIN_BUILD_DIR ?= build-win

.PHONY: all deps configure build configure-windows build-windows test test-linux test-windows test-sanitize fuzz \
	demo package clean

all: build

deps:
	scripts/install-deps

# The Linux build knows the Windows build, whose programs some of its tests run under Wine.
configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DOSTRAWEN_WINDOWS_BUILD_DIR=$(abspath $(WIN_BUILD_DIR))

build: configure
	cmake --build $(BUILD_DIR)

# The Windows programs, cross-built with mingw-w64; their tests run under Wine.
configure-windows: deps
	cmake -S . -B $(WIN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		--toolchain cmake/mingw-w64-x86_64.cmake

build-windows: configure-windows
	cmake --build $(WIN_BUILD_DIR)

# Both builds first: tests of the Linux build run the Windows programs too.
test: build build-windows
	$(MAKE) test-linux test-windows

test-linux:
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 600 -j2

# Wine now and then fails a program for reasons of its own under load (a crash handler, a process
# that lingers after it ended): a Windows test that fails is run once more, and fails only twice.
test-windows:
	cd $(WIN_BUILD_DIR) && ctest --output-on-failure --timeout 600 -j2 --repeat until-pass:2

# The Debian packages `ostrawen` and `ostrawen-cli`, and ostrawen-windows-x64.zip from the Windows
# cross build in $(WIN_BUILD_DIR) (configured here only if it is not yet), all in $(BUILD_DIR)/packages.
# WIN_PROGRAMS: the Windows programs the zip holds, built before it is packed.
WIN_PROGRAMS ?= ostrawen-cli Ostrawen
package: build
	cmake --build $(BUILD_DIR) --target package
	test -f $(WIN_BUILD_DIR)/CMakeCache.txt || $(MAKE) configure-windows
	cmake --build $(WIN_BUILD_DIR) --target $(WIN_PROGRAMS)
	cpack --config $(WIN_BUILD_DIR)/CPackConfig.cmake -B $(abspath $(BUILD_DIR))/packages

# The core's suites once more with the address and undefined-behaviour sanitizers, so that the
# tests feeding hostile bytes check memory safety too. Capped: CI must stay well inside its hour.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRAWEN_SANITIZE=ON \
		-DOSTRAWEN_BUILD_GUI=OFF -DOSTRAWEN_BUILD_BENCH=OFF
	cmake --build $(SANITIZE_BUILD_DIR)
	cd $(SANITIZE_BUILD_DIR) && timeout 2400 ctest --output-on-failure --timeout 600 -j2

# libFuzzer over our archive check and the archive door, a few minutes per harness (FUZZ_SECONDS
# overrides); its own clang build in build-fuzz. Not part of `make test`.
fuzz: deps
	scripts/fuzz

demo: build
	scripts/demo $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(WIN_BUILD_DIR)
