# Front door over CMake. `make run` and `make test` set up a fresh Debian
# machine (missing packages only), build, and start the tool or run the tests.
# QT=6 builds against Qt 6 instead of Qt 5 (use its own BUILD_DIR).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
QT ?= 5
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test clean

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

clean:
	rm -rf $(BUILD_DIR)
