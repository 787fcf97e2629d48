# Sourced by the scripts that run Windows programs: the project's own Wine
# prefix under build/, a quiet Wine without its Mono and Gecko installers, and
# code page 932 as the ANSI code page (Wine takes it from the Unix locale;
# LC_ALL wins over any LC_* the caller has set).
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix in $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
fi
