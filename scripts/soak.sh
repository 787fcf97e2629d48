#!/bin/sh
# make soak: chip lifecycles and picture changes per width, with the growth
# of each counter per cycle: 10,000 cycles of each natively; where the i686
# build runs under an emulator 2,000 (about five minutes there, where
# 10,000 took half an hour), and it says so. A run that ends without its
# result fails, and the script ends non-zero naming the width and why.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"
failures=""
for width in $(runnable_widths soak); do
    cycles=10000
    how=""
    if [ "$width" = i686 ]; then
        how=", $(i686_how)"
        case $how in
        *under*) cycles=2000; how="$how: 2,000 cycles of each (10,000 take half an hour there)" ;;
        esac
    fi
    echo "== $width$how"
    program="$ROOT/$BUILD/$width/tests/soak.exe"
    for run in --calibrate "$cycles"; do
        pattern="no growth"
        [ "$run" = --calibrate ] && pattern="*GDI objects*"
        run_to_result "$pattern" "$program" "$run"
        if [ -n "$RUN_FAILURE" ]; then
            echo "soak: $width $run: $RUN_FAILURE"
            failures="$failures
  $width, $run: $RUN_FAILURE"
        fi
    done
done
if [ -n "$failures" ]; then
    echo "soak: FAILED:$failures"
    exit 1
fi
echo "soak: every width ran to its result, and none grew"
