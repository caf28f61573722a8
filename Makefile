# Front door over CMake. `make run` and `make test` set up a fresh Debian
# machine (missing packages only), build, and start the tool or run the tests.
# QT=6 builds against Qt 6 instead of Qt 5 (use its own BUILD_DIR).
# `make package` builds the Debian package in its own folder, PACKAGE_DIR.
# `make windows` cross-builds for 64-bit Windows in WINDOWS_DIR; `make
# test-windows` runs its tests under Wine; `make windows-package` builds its
# installer.
BUILD_DIR ?= build
PACKAGE_DIR ?= build-package
BUILD_TYPE ?= RelWithDebInfo
QT ?= 5
CMAKE_FLAGS ?=
WINDOWS_DIR ?= build-windows
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run test test-usb-vm package bench bench-station bench-line soak demo demo-station windows test-windows windows-package clean

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
	  -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_CXX_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) $$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)" $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack
	@ls $(PACKAGE_DIR)/*.deb

# The window, the command line and the tests for 64-bit Windows, with MinGW-w64
# and the Qt and libsodium for it from shared/toolchains (checked, then
# unpacked into WINDOWS_DIR/qt and WINDOWS_DIR/sodium).
windows:
	@scripts/install-deps.sh --windows
	scripts/windows-qt.sh $(WINDOWS_DIR)
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DTALVEX_WINDOWS_QT=$(abspath $(WINDOWS_DIR))/qt/opt/qt5-mingw64 \
	  -DTALVEX_WINDOWS_SODIUM=$(abspath $(WINDOWS_DIR))/sodium/opt/libsodium-mingw64 -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

# The tests under Wine, in a Wine prefix of their own in WINDOWS_DIR/wine;
# whatever still runs in that prefix when they end (a console host a killed
# program left behind, the desktop) ends with them.
test-windows: windows
	cd $(WINDOWS_DIR) && status=0 && ctest --output-on-failure -j $(JOBS) || status=$$?; \
	  WINEPREFIX="$${WINEPREFIX:-$(abspath $(WINDOWS_DIR))/wine}" wineserver -k 2>/dev/null; exit $$status

# The installer talvex-updater-VERSION-win64-setup.exe and a portable zip, in
# WINDOWS_DIR/package; scripts/check-windows-package.sh tries the installer
# under Wine.
windows-package: windows
	scripts/windows-package.sh $(WINDOWS_DIR)

# The libusb host through the real Linux USB stack, in a qemu virtual machine.
test-usb-vm: build
	@scripts/install-deps.sh --vm
	tests/usbvm/run-usb-vm.sh $(BUILD_DIR)

# The window with one simulated device (firmware 1.0.0) and a sample firmware
# file (1.2.0) loaded, to flash onto it; the device keeps what it gets in
# $(BUILD_DIR)/demo/device.json between runs. The window's settings (the
# folder its file dialog opens in) go to $(BUILD_DIR)/demo/config, so the
# dialog opens where the sample is and the user's own settings stay as they are.
demo: build
	@sample="$$(scripts/make-demo-firmware.sh $(BUILD_DIR)/bin/talvex-cli $(BUILD_DIR)/demo)" && \
	  echo "Sample firmware, loaded in the window: $$sample" && \
	  XDG_CONFIG_HOME="$(abspath $(BUILD_DIR))/demo/config" \
	  TALVEX_SIMULATOR="state=$(BUILD_DIR)/demo/device.json,restart-ms=800,busy-ms=600" \
	  $(BUILD_DIR)/bin/talvex-updater -- "$$sample"

# The station at work on eight simulated devices plugged in one after
# another; it ends once all eight are handled. The fifth device's write
# fails on purpose, so the station's exit status 4 is the demo's expected
# end. The record and the serials given are kept in
# $(BUILD_DIR)/demo-station between runs.
demo-station: build
	@mkdir -p $(BUILD_DIR)/demo-station
	@echo "demo-station: the fifth device's write fails on purpose; its failed unit is planted."
	@status=0; $(BUILD_DIR)/bin/talvex-cli station --serials 'ZOK{000100..000999}' --board 2.1 --count 8 \
	  --state $(BUILD_DIR)/demo-station/station.json --record $(BUILD_DIR)/demo-station/record.jsonl \
	  "$$(scripts/make-demo-firmware.sh $(BUILD_DIR)/bin/talvex-cli $(BUILD_DIR)/demo-station)" || status=$$?; \
	if [ $$status -eq 4 ]; then echo "demo-station: ended as planned: the one failed unit is the planted one."; \
	else exit $$status; fi
demo-station: export TALVEX_SIMULATOR = devices=8,arrive=0,700,1400,2100,3500,4200,5600,6300,restart-ms=800,busy-ms=1500,fail-batch=40,fault-devices=5

# 1, 8 and 32 simulated devices arriving 100 ms apart through the station.
bench-station: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target talvex-cli
	bench/station-bench.sh $(BUILD_DIR)/bin/talvex-cli $(BUILD_DIR)/bench-station

# The line database: a unit's reservation and settle, and 8 stations on one database against local files.
bench-line: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target talvex-cli bench_line_units
	bench/line-bench.sh $(BUILD_DIR)

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
	rm -rf $(BUILD_DIR) $(PACKAGE_DIR) $(WINDOWS_DIR)
