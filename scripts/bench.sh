#!/bin/sh
# make bench: the benchmarks of both widths, i686 first where this machine
# runs 32-bit programs.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
for width in $(runnable_widths bench); do
    for bench in paint_bench decode_bench; do
        echo "== $width $bench"
        sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/$bench.exe"
    done
done
