# The user's entry point: `make` builds, `make test` runs every test, `make demo` shows a pass.
BUILD ?= build
BUILD_WIN ?= build-win
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build test test-linux test-windows windows demo clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the Linux unit and end-to-end suites, then the Windows leg when MinGW and Wine are
# installed (it says plainly when it is skipped).
test: test-linux test-windows

test-linux: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-windows: build
	bash scripts/test-windows.sh $(BUILD) $(BUILD_WIN)

windows:
	cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_WIN) -j $(JOBS)

demo: build
	bash examples/demo.sh $(BUILD)/hotbatch

clean:
	rm -rf $(BUILD) $(BUILD_WIN)
