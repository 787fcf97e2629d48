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
    benches="paint_bench decode_bench"
    # The host that runs out of address space is a 32-bit one.
    [ "$width" = i686 ] && benches="$benches capacity_bench"
    for bench in $benches; do
        echo "== $width $bench"
        sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/$bench.exe"
    done
done
