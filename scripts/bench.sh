#!/bin/sh
# make bench: the benchmarks of both widths, x86_64 first. The i686 build
# runs where this machine runs 32-bit programs; under an emulator its
# timings measure the emulator, so there only the lines that measure no time
# run (memory held, peaks, the 32-bit host's capacity), and it says so.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
widths=$(runnable_widths bench)
run() {
    program=$1
    shift
    sh "$ROOT/scripts/run-wine.sh" "$ROOT/$BUILD/$width/bench/$program.exe" "$@"
}
for width in x86_64 i686; do
    case " $widths " in *" $width "*) ;; *) continue ;; esac
    timed=1
    sizes="48"
    if [ "$width" = i686 ]; then
        # The host that runs out of address space is a 32-bit one.
        sizes="12 24 48"
        case $(i686_how) in
        under*)
            timed=0
            sizes="48"
            echo "bench: i686 runs $(i686_how): only the lines that measure no time (memory held, peaks," \
                 "the 32-bit host's capacity at 48 MP); its times there are the emulator's"
            ;;
        esac
    fi
    if [ "$timed" = 1 ]; then
        echo "== $width paint_bench"
        run paint_bench
        echo "== $width decode_bench"
        run decode_bench
    else
        echo "== $width decode_bench --untimed"
        run decode_bench --untimed
    fi
    echo "== $width capacity_bench"
    for megapixels in $sizes; do
        run capacity_bench "$megapixels"
    done
done
