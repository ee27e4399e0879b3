# The two commands a new user types: `make demo` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps configure build test demo clean

all: build

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 600 -j2

demo: build
	scripts/demo $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
