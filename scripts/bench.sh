#!/bin/sh
# make bench: the benchmarks of both widths, i686 first where this machine
# runs 32-bit programs. Under the emulator the i686 figures measure the
# emulator, not the library: they are run and marked so, and the x86_64
# figures still follow.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
for width in $(runnable_widths bench); do
    if [ "$width" = i686 ]; then
        case $(i686_how) in
        under*) echo "bench: i686 runs $(i686_how): its timings are not comparable with a real CPU's" ;;
        esac
    fi
    for bench in paint_bench decode_bench; do
        echo "== $width $bench"
        sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/$bench.exe"
    done
    # The host that runs out of address space is a 32-bit one.
    if [ "$width" = i686 ]; then
        echo "== $width capacity_bench"
        for megapixels in 12 24 48; do
            sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/capacity_bench.exe" "$megapixels"
        done
    fi
done
