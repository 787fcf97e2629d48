#!/bin/sh
# Installs the Debian packages the build and the tests need, and only those
# that are missing, so a second run costs a dpkg query and nothing more.
set -eu

PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth
doctest-dev python3-pefile cmake make locales fonts-ipafont-gothic zip"
# The product is a 32-bit DLL: its own width runs under 32-bit Wine, which
# Debian ships for the i386 architecture beside the 64-bit one.
PACKAGES32="wine32:i386"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

need_update=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    need_update=1
fi

missing=""
for p in $PACKAGES $PACKAGES32; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ] || [ -n "$need_update" ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
fi
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# Wine takes its ANSI code page (932) and its file-name encoding from the
# Unix locale; without the real ja_JP.UTF-8 locale, Japanese file names
# cannot be created.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
