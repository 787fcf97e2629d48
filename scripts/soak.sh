#!/bin/sh
# make soak: 10,000 chip lifecycles and 10,000 picture changes per width,
# with the growth of each counter per cycle.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
for width in $(runnable_widths soak); do
    if [ "$width" = i686 ]; then
        echo "== $width, $(i686_how)"
    else
        echo "== $width"
    fi
    sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/tests/soak.exe" --calibrate
    sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/tests/soak.exe" 10000
done
