#!/bin/sh
# Runs the whole suite: the static check of the shipped i686 library, and the
# x86_64 tests under Wine inside a virtual X display (they open real windows,
# dialogs and menus). Wine gets a prefix of the project's own under build/.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)

export WINEPREFIX="${WINEPREFIX:-$ROOT/$BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LANG=ja_JP.UTF-8
# Wine takes the code page from the locale; LC_ALL wins over any LC_* the
# caller has set.
export LC_ALL=ja_JP.UTF-8

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "run-tests: creating the Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
fi

cd "$ROOT/$BUILD/x86_64"
# The X server comes and goes with this one command; Wine's server is told to
# leave with it, so nothing outlives the run.
xvfb-run -a -s "-screen 0 1280x1024x24" sh -c 'ctest --output-on-failure "$@"; status=$?; wineserver -k 2>/dev/null || true; exit $status' ctest-run "$@"
