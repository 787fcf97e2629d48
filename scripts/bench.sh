#!/bin/sh
# make bench: the benchmarks of both widths, x86_64 first. The i686 build
# runs where this machine runs 32-bit programs; under an emulator its
# timings measure the emulator, so there only the lines that measure no time
# run (memory held, peaks, the 32-bit host's capacity), and it says so. A
# benchmark that ends without its result, or fails its own check (a chip
# that cannot show its photo), fails the run, which ends non-zero naming the
# width and why after the others have run.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
widths=$(runnable_widths bench)
failures=""
run() {
    pattern=$1
    program=$2
    shift 2
    run_to_result "$pattern" "$ROOT/$BUILD/$width/bench/$program.exe" "$@"
    if [ -n "$RUN_FAILURE" ]; then
        echo "bench: $width $program $*: $RUN_FAILURE"
        failures="$failures
  $width, $program $*: $RUN_FAILURE"
    fi
}
# WebP photos come from Debian's own encoder, on this side of Wine.
/usr/bin/python3 "$ROOT/bench/webp_photos.py" "$ROOT/$BUILD/webp-photos"
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
        run "paint bench: done" paint_bench
        echo "== $width decode_bench"
        run "decode bench: done" decode_bench
        echo "== $width helper_bench"
        run "helper bench: done" helper_bench
        echo "== $width webp_bench"
        run "webp bench: done" webp_bench
    else
        echo "== $width decode_bench --untimed"
        run "decode bench: done" decode_bench --untimed
    fi
    echo "== $width capacity_bench"
    for megapixels in $sizes; do
        run "*-bit host, *" capacity_bench "$megapixels"
    done
    # The host's own memory with every decode in this process, beside the
    # helper's figure for the largest photos.
    if [ "$width" = i686 ]; then
        run "*-bit host, *" capacity_bench 48 --in-process
    fi
done
if [ -n "$failures" ]; then
    echo "bench: FAILED:$failures"
    exit 1
fi
