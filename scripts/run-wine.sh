#!/bin/sh
# Runs one Windows program under Wine with the project's prefix, code page
# 932 and a virtual X display: scripts/run-wine.sh PROGRAM [ARGS...]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "run-wine: creating the Wine prefix in $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
fi
xvfb-run -a -s "-screen 0 2048x1536x24" sh -c 'wine "$@"; status=$?; wineserver -k 2>/dev/null || true; exit $status' wine-run "$@" 2>&1 \
    | grep -v '^X connection to' || true
