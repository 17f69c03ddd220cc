# Front door of the project: `make test` and `make demo` set everything up on a fresh Debian 12.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
# Where the Windows build keeps Qt and the database clients it cross-builds once per machine.
WINDOWS_CACHE ?= $(HOME)/.cache/quarnelix-dfu
# The database clients' own cache; CI points it at an empty folder so that they are built from
# scratch in every run.
DBCLIENTS_CACHE ?= $(WINDOWS_CACHE)

.PHONY: all deps configure build test demo demo-station gui-demo bench fuzz asan windows-qt windows-dbclients windows windows-test windows-cli windows-cli-test screenshots package package-test clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQDFU_BUILD_APP=ON -DQDFU_BUILD_BENCH=ON -DQDFU_WERROR=ON $(CMAKE_FLAGS) >/dev/null

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

# Everything for 64-bit Windows: the command line and the window, with Qt and the ledger's database
# clients built once per machine from Debian's source into a cache (scripts/build-qt-windows.sh,
# scripts/build-db-clients-windows.sh; windows-qt and windows-dbclients build each alone); the
# command line's zip, the
# zip with the window and its Qt files, and the installer.
windows-qt:
	@scripts/install-deps.sh --windows
	@scripts/build-qt-windows.sh "$(WINDOWS_CACHE)" $(JOBS) >/dev/null

windows-dbclients:
	@scripts/install-deps.sh --windows
	@scripts/build-db-clients-windows.sh "$(DBCLIENTS_CACHE)" $(JOBS) >/dev/null

windows:
	@scripts/install-deps.sh --windows
	@db=$$(scripts/build-db-clients-windows.sh "$(DBCLIENTS_CACHE)" $(JOBS)) && \
	qt=$$(scripts/build-qt-windows.sh "$(WINDOWS_CACHE)" $(JOBS)) && \
	  cmake -S . -B build-windows-gui -DCMAKE_TOOLCHAIN_FILE=$$qt/lib/cmake/Qt6/qt.toolchain.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DQDFU_BUILD_APP=ON -DQDFU_BUILD_BENCH=OFF -DQDFU_WERROR=ON -DQT_HOST_PATH=/usr -DQDFU_DB_CLIENTS=$$db \
	    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null && \
	  cmake --build build-windows-gui -j$(JOBS) -- --no-print-directory && \
	  scripts/windows-package.sh build-windows-gui "$$qt"

# The Windows build's tests, the window's among them, and whole runs under Wine against the Linux
# simulated controller; then the real window and the installer.
windows-test: windows build
	@scripts/windows-test.sh build-windows-gui $(BUILD)

# The README's screenshots from the current builds: the window on Linux (offscreen) and under Wine.
screenshots: windows build
	@scripts/screenshots.sh $(BUILD)

# The command line alone, without Qt (minutes on a machine that has no Qt cache yet), its zip, and
# everything of windows-test but the window.
windows-cli:
	@scripts/install-deps.sh --windows
	@db=$$(scripts/build-db-clients-windows.sh "$(DBCLIENTS_CACHE)" $(JOBS)) && \
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DQDFU_BUILD_APP=OFF -DQDFU_BUILD_BENCH=OFF -DQDFU_WERROR=ON -DQDFU_DB_CLIENTS=$$db >/dev/null
	@cmake --build build-windows -j$(JOBS) -- --no-print-directory
	@scripts/windows-package.sh build-windows

windows-cli-test: windows-cli build
	@scripts/windows-test.sh build-windows $(BUILD)

# dist/quarnelix-dfu_VERSION_amd64.deb, built with Debian's build flags.
package:
	@scripts/install-deps.sh --package
	@cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DQDFU_BUILD_TESTS=OFF -DQDFU_BUILD_BENCH=OFF -DQDFU_WERROR=ON \
	  -DQDFU_STATIC_CLI=OFF -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" >/dev/null
	@cmake --build build-package -j$(JOBS) -- --no-print-directory
	@cd build-package && cpack -G DEB >/dev/null && ls ../dist/*.deb

# The package checked with lintian, installed, its programs run, and removed again.
package-test: package
	@scripts/package-test.sh

clean:
	rm -rf build build-asan build-fuzz build-release build-windows build-windows-gui build-package dist
