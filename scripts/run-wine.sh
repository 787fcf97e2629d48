#!/bin/sh
# Runs one Windows program under Wine with the project's prefix, code page
# 932 and a virtual X display: scripts/run-wine.sh PROGRAM [ARGS...]
# The loader matches the program's width. Exits with the program's status.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
LOADER=$(wine_for "$1")
STATUS=$(mktemp)
export STATUS_FILE="$STATUS" LOADER
trap 'rm -f "$STATUS"' EXIT
# Wine's X11 driver reports the display going away at the end; that line is
# noise, everything else is passed on.
xvfb-run -a -s "-screen 0 2048x1536x24" sh -c '"$LOADER" "$@"; echo $? > "$STATUS_FILE"; wineserver -k 2>/dev/null || true' \
    wine-run "$@" 2>&1 | grep -v '^X connection to' || true
# A status that was never written (the shell around the program ended
# first, say) is a failure, never a success.
status=$(cat "$STATUS" 2>/dev/null || true)
case $status in
''|*[!0-9]*)
    echo "run-wine: $1 left no exit status" >&2
    exit 1
    ;;
esac
exit "$status"
