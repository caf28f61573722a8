#!/usr/bin/env bash
# Compile check of the Windows side with Debian's MinGW-w64 i686 cross
# compiler, so that it cannot rot unseen on a Linux CI: the WinUSB host and
# every other source that needs no Qt (the host seam, the hosts, the
# simulated bus and the simulated Vantor device), with warnings as errors,
# and a small program that links the WinUSB host against SetupAPI and WinUSB.
# The shipped build is 64-bit (make windows, with Qt for MinGW); this check
# keeps the Qt-free code 32-bit clean, so the Qt-dependent sources (the
# window, the driver, WinDevChangeEventFilter) are left out and listed.
#
# usage: check-windows-build.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=i686-w64-mingw32-g++-posix # std::thread and std::mutex need the POSIX thread model
command -v "$compiler" >/dev/null || { echo "check-windows-build: $compiler missing (scripts/install-deps.sh --ci)" >&2; exit 2; }
out=${1:-build-mingw}
mkdir -p "$out"
flags=(-std=c++17 -Wall -Wextra -Werror -O1 -Isrc)

checked=()
skipped=()
while IFS= read -r source; do
  # Qt's headers are not there for this compiler: a source that reaches one,
  # directly or through a project header, is left out; any other error counts.
  if ! errors=$("$compiler" "${flags[@]}" -E "$source" 2>&1 >/dev/null); then
    if grep -q "fatal error: Q[A-Za-z]*: No such file" <<<"$errors"; then
      skipped+=("$source")
      continue
    fi
    echo "$errors" >&2
    exit 1
  fi
  "$compiler" "${flags[@]}" -c "$source" -o "$out/$(echo "$source" | tr / _).o"
  checked+=("$source")
done < <(find src/usb src/protocol/sim -name '*.cpp' -not -path '*/libusb/*' | sort)

"$compiler" "${flags[@]}" -static tests/winusb/winusbsmoke.cpp src/usb/host/winusb/winusbhost.cpp src/usb/host/usbhost.cpp \
  src/usb/host/usbbatchqueue.cpp \
  -o "$out/winusbsmoke.exe" -lsetupapi -lwinusb

echo "check-windows-build: ${#checked[@]} sources compiled for 32-bit Windows, winusbsmoke.exe linked"
printf '  %s\n' "${checked[@]}"
echo "check-windows-build: left out (need Qt; make windows builds them for 64-bit Windows):"
printf '  %s\n' "${skipped[@]}"
