#!/usr/bin/env bash
# Checks the Windows installer under Wine, in a prefix of its own that is
# made anew: a silent install; the installed talvex-cli.exe --version and,
# with the simulated device, list; the installed window started offscreen
# with the simulated device, up and still running after some seconds; all of
# it with no folder on the program's path but its own; then a silent
# uninstall that leaves neither a file, nor the Start-menu entry, nor a
# registry key behind.
#
# usage: check-windows-package.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: check-windows-package.sh BUILD_DIR}
version=$(sed -n 's/^project(TalvexUpdater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup=$build/package/talvex-updater-$version-win64-setup.exe
[ -f "$setup" ] || { echo "check-windows-package: $setup missing (make windows-package)" >&2; exit 2; }
fail() { echo "check-windows-package: $*" >&2; exit 1; }

export WINEPREFIX=$PWD/$build/wine-install WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C.UTF-8
unset WINEPATH
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /t REG_SZ /d offscreen /f >/dev/null 2>&1

echo "-- silent install"
wine "$setup" /S
wineserver -w
installed="$WINEPREFIX/drive_c/Program Files/TALVEX Updater"
for file in talvex-updater.exe talvex-cli.exe uninstall.exe Qt5Core.dll libsodium-23.dll platforms/qwindows.dll \
  sqldrivers/qsqlpsql.dll libpq.dll; do
  [ -f "$installed/$file" ] || fail "the install lacks $file"
done
[ -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TALVEX Updater.lnk" ] \
  || fail "no Start-menu entry"
keys="$WINEPREFIX/drive_c/ProgramData/TALVEX Updater/trusted-keys"
[ -d "$keys" ] || fail "the install did not make ProgramData\\TALVEX Updater\\trusted-keys"
wine reg query 'HKLM\Software\Classes\Vantor.TalvexFirmware\shell\open\command' | grep -q 'talvex-updater.exe" "%1"' \
  || fail ".tvf does not open the window"

cli='C:\Program Files\TALVEX Updater\talvex-cli.exe'
echo "-- the installed programs, nothing else on their path"
[ "$(wine "$cli" --version | tr -d '\r')" = "talvex-cli $version" ] || fail "talvex-cli --version is not $version"
TALVEX_SIMULATOR= wine "$cli" list | tr -d '\r' | grep -qx 'serial: ZOK000001' || fail "list shows no simulated device"
# The driver and libpq load: a closed port is reported as such, not as a driver missing.
line=$(wine "$cli" line report 'host=127.0.0.1 port=1 dbname=none connect_timeout=5' 2>&1 | tr -d '\r' || true)
grep -q 'cannot be reached' <<<"$line" || fail "the PostgreSQL driver did not load: $line"

# Missing DLLs or plugins end the window at once, with Wine's loader or Qt
# saying why on stderr.
TALVEX_SIMULATOR= WINEDEBUG=err+module wine 'C:\Program Files\TALVEX Updater\talvex-updater.exe' \
  >"$build/package/window.log" 2>&1 &
window=$!
sleep 8
kill -0 "$window" 2>/dev/null || { cat "$build/package/window.log" >&2; fail "the window did not stay up"; }
if grep -E 'import_dll|could not (find|load) the Qt platform plugin' "$build/package/window.log" >&2; then
  fail "the window is missing a library"
fi
wineserver -k
wait "$window" 2>/dev/null || true
echo "the window came up and ran for 8 s"

echo "-- silent uninstall"
wine "$installed/uninstall.exe" /S
wineserver -w
[ ! -e "$installed" ] || { find "$installed" >&2; fail "the uninstall left files"; }
[ ! -e "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TALVEX Updater.lnk" ] \
  || fail "the Start-menu entry is still there"
for key in 'HKLM\Software\Classes\.tvf' 'HKLM\Software\Classes\Vantor.TalvexFirmware' \
  'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEX Updater'; do
  if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall left $key"; fi
done
# An empty key folder goes with the program; one holding an administrator's
# key stays (checked by a second install and uninstall with a key in it).
[ ! -e "$keys" ] || fail "the uninstall left the empty trusted-keys folder"
wine "$setup" /S
wineserver -w
echo 'untrusted comment: minisign public key 0000000000000000' >"$keys/admin.pub"
wine "$installed/uninstall.exe" /S
wineserver -w
[ -f "$keys/admin.pub" ] || fail "the uninstall removed a key an administrator installed"
rm -rf "$WINEPREFIX/drive_c/ProgramData/TALVEX Updater"
echo "check-windows-package: installed, ran and uninstalled $(basename "$setup")"
