#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in the build's own
# Wine prefix, with the Qt, libsodium and MinGW runtime DLLs on its path. CTest uses it
# as the cross-compiling emulator; by hand:
#
#   scripts/wine-run.sh BUILD_DIR/bin/talvex-cli.exe --version
#
# The prefix is made on first use (about 15 s). Wine hands no variable named
# QT_* to a Windows program, so the prefix's own environment (HKCU\Environment)
# carries QT_QPA_PLATFORM=offscreen: every program started in it, and every
# program those start, draws offscreen. QT_FORCE_STDERR_LOGGING=1 there sends
# Qt's messages and the test logs to the terminal: without a console window a
# Qt program writes them to the debugger's output instead.
#
# Environment: TALVEX_WINE_BUILD (the build folder; default: two levels above
# the program), WINEPREFIX (default: BUILD/wine), WINEDEBUG (default: -all).
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGUMENTS...]" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine-run: wine missing (scripts/install-deps.sh --windows)" >&2; exit 2; }

program=$1
build=${TALVEX_WINE_BUILD:-$(cd "$(dirname "$program")/.." && pwd)}
export WINEPREFIX=${WINEPREFIX:-$build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Wine takes the ANSI code page from the locale: 1252, whatever the caller's.
export LC_ALL=C.UTF-8
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

qt=$build/qt/opt/qt5-mingw64
[ -d "$qt/bin" ] || { echo "wine-run: no Qt for Windows in $qt (make windows unpacks it)" >&2; exit 2; }
runtime=(
  "$qt/bin"
  "$build/sodium/opt/libsodium-mingw64/bin"
  /usr/lib/gcc/x86_64-w64-mingw32/12-posix
  /usr/x86_64-w64-mingw32/lib
)
winepath=""
for dir in "${runtime[@]}"; do winepath+="Z:${dir};"; done
export WINEPATH="${winepath%;}${WINEPATH:+;$WINEPATH}"

# Several tests start at once: one makes the prefix, the others wait for it.
if [ ! -f "$WINEPREFIX/.talvex-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.talvex-ready" ]; then
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /t REG_SZ /d offscreen /f >/dev/null 2>&1
    wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null 2>&1
    touch "$WINEPREFIX/.talvex-ready"
  fi
  flock -u 9
  exec 9>&-
fi

# Every Windows program inherits the standard error of the one that starts
# it, and so does every helper Wine starts on demand: the desktop's
# explorer.exe, the console host of a program started without a window, the
# services of a new session. These outlive the program that happened to start
# them (the desktop lasts while any program of the prefix runs), and CTest
# waits for a test's output to close: the test would last as long as they do.
# The program's errors go to a file instead, which tail passes on until the
# program ends, whatever keeps the file open after it.
errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
(
  tail -s 0.2 -n +1 -f --pid=$$ "$errors" >&2 || true
  rm -f "$errors"
) </dev/null &
exec wine "$@" 2>"$errors"
