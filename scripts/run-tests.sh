#!/bin/sh
# Runs the whole suite: the static check of the shipped i686 files, and the
# x86_64 tests under Wine inside a virtual X display (they open real windows,
# dialogs and menus).
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"

cd "$ROOT/$BUILD/x86_64"
# The X server comes and goes with this one command; Wine's server is told to
# leave with it, so nothing outlives the run.
xvfb-run -a -s "-screen 0 1280x1024x24" sh -c 'ctest --output-on-failure "$@"; status=$?; wineserver -k 2>/dev/null || true; exit $status' ctest-run "$@"
