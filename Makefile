# Front door over CMake. `make run` and `make test` set up a fresh Debian
# machine (missing packages only), build, and start the tool or run the tests.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test test-usb-vm bench soak demo clean

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

# The window with one simulated device (firmware 1.0.0) and a sample firmware
# file (1.2.0) to flash onto it; the device keeps what it gets in
# $(BUILD_DIR)/demo/device.json between runs.
demo: build
	@echo "Sample firmware to choose in the window: $$(scripts/make-demo-firmware.sh $(BUILD_DIR)/bin/talvex-cli $(BUILD_DIR)/demo)"
	TALVEX_SIMULATOR="state=$(BUILD_DIR)/demo/device.json,restart-ms=800,busy-ms=600" $(BUILD_DIR)/bin/talvex-updater

# Flashes 1 MiB and 16 MiB through the whole stack against the simulated device.
bench: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target bench_flash
	$(BUILD_DIR)/bin/bench_flash

# A thousand flashes of a simulated device, each with a fault drawn at random
# and followed by a healthy flash; prints one summary line. SOAK_FLAGS takes
# --runs N and --seed S.
soak: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target soak_flash
	$(BUILD_DIR)/bin/soak_flash $(SOAK_FLAGS)

clean:
	rm -rf $(BUILD_DIR)
