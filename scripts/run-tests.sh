#!/bin/sh
# Runs the whole suite in two legs: i686, the width users get, under 32-bit
# Wine, and x86_64 under 64-bit Wine, each inside a virtual X display (the
# tests open real windows, dialogs and menus). The static check of the
# shipped i686 files runs in the x86_64 leg, so it runs on every machine.
# The i686 leg runs wherever the machine runs 32-bit programs, natively or
# under the emulator that scripts/setup.sh registers where the kernel refuses
# them; the closing lines say which, and why not where neither works.
set -u
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/wine-env.sh"

passed=0
failed=0
summary=""

# ctest in one build tree; adds its counts to the totals.
run_leg() {
    width=$1
    how=${2:+ $2}
    log=$(mktemp)
    echo "== $width leg"
    # The X server comes and goes with this one command; Wine's server is
    # told to leave with it, so nothing outlives the run.
    (cd "$ROOT/$BUILD/$width" && xvfb-run -a -s "-screen 0 1280x1024x24" \
        sh -c 'ctest --output-on-failure; status=$?; wineserver -k 2>/dev/null || true; exit $status') \
        2>&1 | grep -v '^X connection to' | tee "$log"
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        summary="$summary
$width leg: ran$how, but ctest reported no result"
        return
    fi
    total=$(printf '%s\n' "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
    bad=$(printf '%s\n' "$line" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    summary="$summary
$width leg: ran$how, $((total - bad)) of $total tests passed"
}

# A machine may refuse 32-bit programs altogether: ask the loader first, then
# run a PE32 program of our own that must report its width and code page.
skip32=""
if ! wine32_runs; then
    skip32=$PROBE32
else
    seen=$("$WINE32" "$ROOT/$BUILD/i686/tests/width_probe.exe" 2>&1 | tr -d '\r' | head -n 1)
    [ "$seen" = "32-bit, code page 932" ] || skip32="width probe printed: ${seen:-nothing}"
fi
if [ -n "$skip32" ]; then
    echo "i686 leg skipped: this machine cannot run 32-bit programs ($skip32)"
    summary="
i686 leg: skipped ($skip32)"
else
    run_leg i686 "$(i686_how)"
fi
run_leg x86_64

printf '%s\n' "$summary" | sed '/^$/d'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
