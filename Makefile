# Front door of the project: `make test` and `make demo` set everything up on a fresh Debian 12.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo demo-station gui-demo bench fuzz asan windows windows-test package package-test clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDFU_BUILD_APP=ON -DQDFU_BUILD_BENCH=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

demo-station: build
	@scripts/demo-station.sh $(BUILD)

gui-demo: build
	@scripts/gui-demo.sh $(BUILD)

bench: build
	@scripts/bench.sh $(BUILD)

fuzz:
	@scripts/install-deps.sh --fuzz
	@scripts/fuzz.sh

# Tests of the AddressSanitizer + UBSan build.
asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan CMAKE_FLAGS="-DQDFU_SANITIZE=ON -DQDFU_BUILD_BENCH=OFF"

# The core and the command line cross-built for 64-bit Windows, and the zip to hand out.
windows:
	@scripts/install-deps.sh --windows
	@cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DQDFU_BUILD_APP=OFF -DQDFU_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-windows -j$(JOBS) -- --no-print-directory
	@scripts/windows-package.sh build-windows

# The Windows build's tests and whole runs under Wine, against the Linux simulated controller.
windows-test: windows build
	@scripts/windows-test.sh build-windows $(BUILD)

# dist/quarnelix-dfu_VERSION_amd64.deb, built with Debian's build flags.
package:
	@scripts/install-deps.sh --package
	@cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DQDFU_BUILD_TESTS=OFF -DQDFU_BUILD_BENCH=OFF \
	  -DQDFU_STATIC_CLI=OFF -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" >/dev/null
	@cmake --build build-package -j$(JOBS) -- --no-print-directory
	@cd build-package && cpack -G DEB >/dev/null && ls ../dist/*.deb

# The package checked with lintian, installed, its programs run, and removed again.
package-test: package
	@scripts/package-test.sh

clean:
	rm -rf build build-asan build-fuzz build-windows build-package dist
