# Front door over CMake. `make run` and `make test` set up a fresh Debian
# machine (missing packages only), build, and start the tool or run the tests.
# QT=6 builds against Qt 6 instead of Qt 5 (use its own BUILD_DIR).
# `make package` builds the Debian package in its own folder, PACKAGE_DIR.
BUILD_DIR ?= build
PACKAGE_DIR ?= build-package
BUILD_TYPE ?= RelWithDebInfo
QT ?= 5
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test package clean

all: build

deps:
	@scripts/install-deps.sh $(if $(filter 6,$(QT)),--qt6)

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTALVEX_QT_MAJOR=$(QT) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/talvex-updater

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# A release build with Debian's hardening flags and without the tests; CPack
# strips the programs and asks dpkg-shlibdeps for the dependencies.
package:
	@scripts/install-deps.sh --package $(if $(filter 6,$(QT)),--qt6)
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=None -DTALVEX_QT_MAJOR=$(QT) -DTALVEX_BUILD_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) $$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)" $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack
	@ls $(PACKAGE_DIR)/*.deb

clean:
	rm -rf $(BUILD_DIR) $(PACKAGE_DIR)
