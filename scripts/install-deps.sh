#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that
# are missing. Safe to run again. `--ci` adds what the sanitizer and fuzzing
# builds and the Windows compile check need (among them the MinGW resource
# compiler that checks the Windows resource file); `--qt6` adds Qt 6 for a
# build against it; `--package` adds what `make package` and the package
# checks need; `--vm` adds what the tests through the real Linux USB stack
# need (qemu, a static busybox, udev); `--windows` adds the 64-bit MinGW-w64
# compiler, Wine and NSIS for the Windows build, its tests and its installer; `--gui` adds an X server for headless
# screenshots.
set -euo pipefail

# libsodium checks the signatures of firmware files; the tests sign with minisign.
# Qt's PostgreSQL driver reaches the line database; the tests run a PostgreSQL 15 of their own.
packages=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libusb-1.0-0-dev libbenchmark-dev libsodium-dev minisign
  libqt5sql5-psql postgresql-15)
for arg in "$@"; do
  case "$arg" in
    --ci) packages+=(clang libclang-rt-14-dev g++-mingw-w64-i686) ;;
    --qt6) packages+=(qt6-base-dev qt6-base-dev-tools libqt6sql6-psql) ;;
    --package) packages+=(dpkg-dev fakeroot file lintian appstream desktop-file-utils man-db) ;;
    --vm) packages+=(qemu-system-x86 busybox-static cpio udev) ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 nsis zip xz-utils) ;;
    --gui) packages+=(xvfb xauth) ;;
    *) echo "usage: $0 [--ci] [--qt6] [--package] [--vm] [--windows] [--gui]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# Another installer may hold the package lock for a while; wait rather than fail.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
