#!/usr/bin/env bash
# Unpacks Qt for 64-bit Windows (MinGW-w64) into BUILD_DIR/qt after checking
# the tarball against its SHA-256, once: a second run finds it there. The
# tarball lies in shared/toolchains beside the repository (TALVEX_QT_TARBALL
# names another one; its SHA256SUMS must lie beside it).
#
# usage: windows-qt.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: windows-qt.sh BUILD_DIR}
tarball=${TALVEX_QT_TARBALL:-../shared/toolchains/qt-5.15.8-mingw64-posix.tar.xz}
qt=$build/qt
[ -f "$qt/.unpacked" ] && exit 0

[ -f "$tarball" ] || {
  echo "windows-qt: $tarball missing; build-qt-windows.sh beside it makes it again" >&2
  exit 2
}
sums=$(dirname "$tarball")/SHA256SUMS
expected=$(awk -v name="$(basename "$tarball")" '$2 == name { print $1 }' "$sums")
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
  echo "windows-qt: $tarball does not match its SHA-256 in $sums" >&2
  exit 1
fi
rm -rf "$qt"
mkdir -p "$qt"
tar -xJf "$tarball" -C "$qt"
touch "$qt/.unpacked"
echo "windows-qt: Qt for Windows unpacked into $qt"
