#!/usr/bin/env bash
# Packs the Windows build: an NSIS installer talvex-updater-VERSION-win64-setup.exe
# and a portable talvex-updater-VERSION-win64.zip in BUILD_DIR/package. Both
# hold the two programs, stripped, and exactly the DLLs they load (followed
# from their import tables through the Qt, libsodium and MinGW runtime folders; Windows'
# own DLLs stay out) with the plugins Qt loads at run time: the windows and
# offscreen platforms (offscreen for runs without a display, as in CI), the
# native style, and the PostgreSQL driver (with libpq.dll) that a station
# on a line database uses. VERSION comes from project() in CMakeLists.txt.
#
# usage: windows-package.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: windows-package.sh BUILD_DIR}
version=$(sed -n 's/^project(TalvexUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "windows-package: no version in CMakeLists.txt's project()" >&2; exit 1; }
qt=$build/qt/opt/qt5-mingw64
search=("$qt/bin" "$build/sodium/opt/libsodium-mingw64/bin" /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)
name=talvex-updater-$version-win64
out=$build/package
stage=$out/$name
rm -rf "$out"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/sqldrivers"

cp "$build/bin/talvex-updater.exe" "$build/bin/talvex-cli.exe" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "$qt/plugins/sqldrivers/qsqlpsql.dll" "$stage/sqldrivers/"

# Every DLL a staged file imports that one of the search folders holds, and
# what those import in turn.
pending=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll "$stage"/sqldrivers/*.dll)
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[0]}
  pending=("${pending[@]:1}")
  while read -r dll; do
    # Windows matches DLL names in any case: qsqlpsql.dll imports LIBPQ.dll.
    [ -n "$(find "$stage" -maxdepth 1 -iname "$dll")" ] && continue
    for dir in "${search[@]}"; do
      found=$(find "$dir" -maxdepth 1 -iname "$dll" | head -n 1)
      if [ -n "$found" ]; then
        cp "$found" "$stage/"
        pending+=("$stage/$(basename "$found")")
        break
      fi
    done
  done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
find "$stage" -name '*.exe' -o -name '*.dll' | xargs x86_64-w64-mingw32-strip --strip-unneeded

# What the uninstaller removes: the installed files, then their folders.
{
  (cd "$stage" && find . -type f | sort) | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
  (cd "$stage" && find . -mindepth 1 -type d | sort -r) | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
} >"$stage.files.nsh"

makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DICON="$PWD/src/app/platform/app.ico" \
  -DOUTFILE="$PWD/$out/$name-setup.exe" packaging/windows/talvex-updater.nsi
(cd "$out" && zip -qr "$name.zip" "$name")
echo "windows-package: $out/$name-setup.exe and $out/$name.zip:"
(cd "$stage" && find . -type f | sort | sed 's|^\./|  |')
