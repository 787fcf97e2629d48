# Sourced by the scripts that run Windows programs: the project's own Wine
# prefix under build/, a quiet Wine without its Mono and Gecko installers,
# code page 932 as the ANSI code page (Wine takes it from the Unix locale;
# LC_ALL wins over any LC_* the caller has set), and one loader per width.
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, and
# fails for every program where the kernel cannot run 32-bit code; each width
# therefore gets its own loader. WINE32 may be pointed elsewhere (a missing
# file, say) to see the suite on a machine without 32-bit support.
WINE64="${WINE64:-/usr/lib/wine/wine64}"
WINE32="${WINE32:-/usr/lib/wine/wine}"

# Whether the kernel runs the 32-bit loader at all; PROBE32 says what was seen.
wine32_runs() {
    if [ ! -x "$WINE32" ]; then
        PROBE32="$WINE32: not installed"
        return 1
    fi
    if ! PROBE32=$("$WINE32" --version 2>&1); then
        PROBE32=$(printf '%s' "$PROBE32" | head -n 1)
        # The shell's own "script: line:" prefix says nothing about the machine.
        case "$PROBE32" in
            *"$WINE32"*) PROBE32="$WINE32${PROBE32##*"$WINE32"}" ;;
        esac
        [ -n "$PROBE32" ] || PROBE32="$WINE32 --version failed"
        return 1
    fi
    return 0
}

# How 32-bit programs run here: a binfmt_misc entry for i386 programs comes
# before the kernel's own loader, so while qemu's is enabled they are emulated.
i686_how() {
    entry=/proc/sys/fs/binfmt_misc/qemu-i386
    if [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ]; then
        # The registered interpreter runs only through binfmt_misc; the
        # binary it links to answers for it.
        qemu=$(readlink -f "$(sed -n 's/^interpreter //p' "$entry")")
        version=$("$qemu" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\.[0-9]*\).*/\1/p')
        echo "under emulation (qemu-i386${version:+ $version})"
    else
        echo natively
    fi
}

# The widths whose programs this machine runs, i686 first; where it runs no
# 32-bit programs, says so once on stderr in the words of `$1` (who asks).
runnable_widths() {
    if wine32_runs; then
        echo "i686 x86_64"
    else
        echo "$1: i686 skipped: this machine cannot run 32-bit programs ($PROBE32)" >&2
        echo x86_64
    fi
}

# A prefix made while only the 64-bit loader was there lacks its 32-bit half,
# and once wine32 can run, every program fails in it (kernel32.dll, status
# c0000135). The prefix records which kind it is, and one of the wrong kind
# (or of no recorded kind) is made again where 32-bit programs run.
ensure_wine_prefix() {
    kind=win64
    if wine32_runs; then
        kind=wow64
    fi
    marker="$WINEPREFIX/.ovilune-prefix"
    if [ -f "$WINEPREFIX/system.reg" ] && [ "$kind" = wow64 ] \
        && [ "$(head -n 1 "$marker" 2>/dev/null)" != wow64 ]; then
        echo "rebuilding the Wine prefix in $WINEPREFIX: it was made without its 32-bit half" >&2
        wineserver -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix in $WINEPREFIX ($kind)" >&2
        if [ "$kind" = wow64 ]; then
            "$WINE32" wineboot.exe -i >/dev/null 2>&1 || true
        else
            "$WINE64" wineboot.exe -i >/dev/null 2>&1 || true
        fi
        wineserver -w || true
        echo "$kind" > "$marker"
    fi
    # An unhandled exception would start Wine's debugger and its crash dialog,
    # which waits for a click no one gives under Xvfb: a crashing test would
    # hang until its time limit. Without a debugger the process ends at once
    # with the exception's code. Both registry views, for both widths.
    if ! grep -qx 'crashes end' "$marker" 2>/dev/null; then
        for view in 64 32; do
            "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
                /v Debugger /t REG_SZ /d '' /f /reg:$view >/dev/null 2>&1 || true
        done
        wineserver -w || true
        echo 'crashes end' >> "$marker"
    fi
}

# The loader for a PE file: 32-bit for i386 programs, 64-bit otherwise.
wine_for() {
    offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    machine=$(od -An -tx2 -j$((${offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    if [ "$machine" = 014c ]; then
        echo "$WINE32"
    else
        echo "$WINE64"
    fi
}

ensure_wine_prefix

# Runs a Windows program to its result: run_to_result PATTERN PROGRAM [ARGS...]
# passes its output on, gives it RUN_LIMIT seconds (900 unless set), and
# sets RUN_FAILURE to why it did not end well, or to nothing: a status other
# than 0, the time limit, or a last line that does not match PATTERN (a
# shell pattern) - no result, which a program ended from outside can leave
# with status 0 (a `wineserver -k` of another run in the same prefix ends
# every Wine program in it).
run_to_result() {
    pattern=$1
    shift
    log=$(mktemp)
    status_file=$(mktemp)
    { timeout --kill-after=30 "${RUN_LIMIT:-900}" sh "$ROOT/scripts/run-wine.sh" "$@"
      echo $? > "$status_file"; } | tee "$log"
    status=$(cat "$status_file")
    last=$(tr -d '\r' < "$log" | sed '/^[[:space:]]*$/d' | tail -n 1)
    rm -f "$log" "$status_file"
    case $status in
    124|137) RUN_FAILURE="stopped after ${RUN_LIMIT:-900} s" ;;
    0) RUN_FAILURE="" ;;
    *) RUN_FAILURE="ended with status $status" ;;
    esac
    # shellcheck disable=SC2254
    case $last in
    $pattern) ;;
    *) RUN_FAILURE="${RUN_FAILURE:-ended with status 0} without its result (last line: ${last:-none})" ;;
    esac
}
