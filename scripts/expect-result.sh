#!/bin/sh
# How the suite runs a Windows program: scripts/expect-result.sh PATTERN
# COMMAND [ARGS...] runs it, passes its output on, and fails unless it ends
# with status 0 and printed a line matching PATTERN (an extended regular
# expression): a program ended from outside (a `wineserver -k` of another
# run in the same prefix) leaves Wine's loader with status 0 and no result.
pattern=$1
shift
log=$(mktemp)
"$@" > "$log" 2>&1
status=$?
cat "$log"
found=1
tr -d '\r' < "$log" | grep -qE "$pattern" || found=0
rm -f "$log"
if [ "$status" -ne 0 ]; then
    exit "$status"
fi
if [ "$found" = 0 ]; then
    echo "expect-result: $* ended with status 0 but without its result ('$pattern')"
    exit 1
fi
