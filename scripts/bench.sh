#!/bin/sh
# make bench: the benchmarks of both widths, i686 first where this machine
# runs 32-bit programs.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
widths=x86_64
if wine32_runs; then
    widths="i686 x86_64"
else
    echo "bench: i686 skipped: this machine cannot run 32-bit programs ($PROBE32)"
fi
for width in $widths; do
    for bench in paint_bench decode_bench; do
        echo "== $width $bench"
        sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/$bench.exe"
    done
done
