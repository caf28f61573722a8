# Front door over CMake. `make run` and `make test` set up a fresh Debian
# machine (missing packages only), build, and start the tool or run the tests.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test test-usb-vm clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/bin/talvex-updater

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The libusb host through the real Linux USB stack, in a qemu virtual machine.
test-usb-vm: build
	@scripts/install-deps.sh --vm
	tests/usbvm/run-usb-vm.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
