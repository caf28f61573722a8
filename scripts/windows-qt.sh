#!/usr/bin/env bash
# Unpacks Qt (with its PostgreSQL driver and libpq.dll, unpacked over it)
# and libsodium for 64-bit Windows (MinGW-w64) into BUILD_DIR/qt and
# BUILD_DIR/sodium after checking each tarball against its SHA-256, once:
# a second run finds them there. The tarballs lie in shared/toolchains beside
# the repository (TALVEX_QT_TARBALL and TALVEX_SODIUM_TARBALL name others;
# TALVEX_QT_PSQL_TARBALL; their SHA256SUMS must lie beside them).
#
# usage: windows-qt.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: windows-qt.sh BUILD_DIR}

# unpack TARBALL FOLDER WHAT [MARK]: MARK (default .unpacked) names the
# file that says it is done; another mark than the folder's first one
# unpacks over what the folder holds.
unpack() {
  local tarball=$1 folder=$2 what=$3 mark=${4:-.unpacked}
  [ -f "$folder/$mark" ] && return 0
  [ -f "$tarball" ] || {
    echo "windows-qt: $tarball missing; the build script beside it makes it again" >&2
    exit 2
  }
  local sums expected actual
  sums=$(dirname "$tarball")/SHA256SUMS
  expected=$(awk -v name="$(basename "$tarball")" '$2 == name { print $1 }' "$sums")
  actual=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [ -z "$expected" ] || [ "$expected" != "$actual" ]; then
    echo "windows-qt: $tarball does not match its SHA-256 in $sums" >&2
    exit 1
  fi
  [ "$mark" = .unpacked ] && rm -rf "$folder"
  mkdir -p "$folder"
  tar -xJf "$tarball" -C "$folder"
  touch "$folder/$mark"
  echo "windows-qt: $what for Windows unpacked into $folder"
}

unpack "${TALVEX_QT_TARBALL:-../shared/toolchains/qt-5.15.8-mingw64-posix.tar.xz}" "$build/qt" Qt
unpack "${TALVEX_QT_PSQL_TARBALL:-../shared/toolchains/qt-5.15.8-mingw64-posix-psql.tar.xz}" "$build/qt" \
  "Qt's PostgreSQL driver and libpq" .psql-unpacked
unpack "${TALVEX_SODIUM_TARBALL:-../shared/toolchains/libsodium-1.0.18-mingw64.tar.xz}" "$build/sodium" libsodium
