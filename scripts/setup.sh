#!/bin/sh
# Installs the Debian packages the build and the tests need, and only those
# that are missing, so a second run costs a dpkg query and nothing more.
set -eu

# webp: Debian's own encoder and decoder, which the tests make and check
# their WebP pictures with.
PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth
doctest-dev python3-pefile cmake make locales fonts-ipafont-gothic zip
colord-data nasm dpkg-dev xz-utils webp"
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

# A mirror caught in the middle of a sync serves an index that does not match
# its Release file, and apt-get update fails on it as a whole. That passes in
# minutes, so it is tried again a few times; after that the index apt named is
# said in one line, and the install is still tried with the indexes apt has,
# which is enough whenever the failed index adds nothing we need.
UPDATE_TRIES=${SETUP_UPDATE_TRIES:-4}
UPDATE_PAUSE=${SETUP_UPDATE_PAUSE:-20}
update_failed=""
apt_update() {
    try=1
    while :; do
        if $SUDO apt-get update -qq >/tmp/ovilune-apt-update.$$ 2>&1; then
            update_failed=""
            rm -f /tmp/ovilune-apt-update.$$
            return 0
        fi
        update_failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' /tmp/ovilune-apt-update.$$ | head -n 1)
        [ -n "$update_failed" ] || update_failed=$(grep -m 1 '^E:' /tmp/ovilune-apt-update.$$ || echo "apt-get update")
        if [ "$try" -ge "$UPDATE_TRIES" ]; then
            rm -f /tmp/ovilune-apt-update.$$
            echo "setup: the package index $update_failed did not download after $UPDATE_TRIES tries" \
                 "(the mirror may be syncing); going on with the indexes apt has" >&2
            return 1
        fi
        echo "setup: apt-get update failed on $update_failed; trying again in $UPDATE_PAUSE s ($try of $UPDATE_TRIES)" >&2
        sleep "$UPDATE_PAUSE"
        try=$((try + 1))
    done
}

if [ -n "$missing" ] || [ -n "$need_update" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt_update || true
fi
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    if ! $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
        if [ -n "$update_failed" ]; then
            echo "setup: could not install the packages: the index $update_failed failed to download;" \
                 "try again later, once the mirror has finished its sync" >&2
        fi
        exit 100
    fi
fi

# Wine takes its ANSI code page (932) and its file-name encoding from the
# Unix locale; without the real ja_JP.UTF-8 locale, Japanese file names
# cannot be created.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    $SUDO localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# --- 32-bit programs: natively where the kernel runs them, else emulated ---
# Many kernels of this kind refuse i386 programs ("Exec format error"). There
# the i686 leg runs through qemu-user's i386 emulator, registered with
# binfmt_misc. Bookworm's own qemu-user is too old (it loses the trap number
# of a fault, and Wine then cannot tell what happened), so the emulator comes
# from the backports suite of the release, and only it does.
# EMULATE_I686=1 asks for the emulator even where the kernel would run the
# programs itself, to see the emulated leg on such a machine.
WINE32_LOADER=/usr/lib/wine/wine
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=$BINFMT/qemu-i386
QEMU_CONF=/usr/share/qemu/binfmt.d/qemu-i386.conf
QEMU_MIN=1:10

as_root() { $SUDO sh -c "$1"; }
runs32() { "$WINE32_LOADER" --version >/dev/null 2>&1; }
entry_enabled() { [ "$(head -n 1 "$ENTRY" 2>/dev/null)" = enabled ]; }

# A binfmt_misc entry is consulted before the kernel's own loader, so while
# ours is enabled, asking the loader says nothing about the kernel. The entry
# is switched off for the question and left as the answer requires.
kernel_runs32() {
    if entry_enabled; then
        as_root "echo 0 > $ENTRY"
        if runs32; then
            return 0
        fi
        as_root "echo 1 > $ENTRY"
        return 1
    fi
    runs32
}

release_mirror() {
    apt-cache policy | awk -v s="$1/main" '$3 == s { print $2; exit }'
}

install_emulator() {
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
    if [ -n "$version" ] && dpkg --compare-versions "$version" ge "$QEMU_MIN"; then
        return 0
    fi
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    suite="$codename-backports"
    if [ -z "$codename" ]; then
        echo "setup: cannot tell this Debian release's name; no emulator" >&2
        return 1
    fi
    # The suite comes from the mirror the release itself uses.
    if ! grep -rqs -- "$suite" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        mirror=$(release_mirror "$codename")
        if [ -z "$mirror" ]; then
            apt_update || true
            mirror=$(release_mirror "$codename")
        fi
        if [ -z "$mirror" ]; then
            echo "setup: no apt source for $codename/main to take $suite from; no emulator" >&2
            return 1
        fi
        echo "setup: adding $suite ($mirror) to apt's sources, for qemu-user alone"
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        {
            printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n' "$mirror" "$suite"
            [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
        } > /tmp/ovilune-backports.sources
        $SUDO cp /tmp/ovilune-backports.sources "/etc/apt/sources.list.d/$suite.sources"
        rm -f /tmp/ovilune-backports.sources
        apt_update || true
    fi
    echo "setup: installing qemu-user from $suite"
    # A suite listed in the sources but never fetched is fetched first.
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "qemu-user/$suite" >/dev/null 2>&1 \
        || { { apt_update || true; } && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq \
                 --no-install-recommends "qemu-user/$suite" >/dev/null; }
}

register_emulator() {
    if [ ! -f "$BINFMT/register" ]; then
        as_root "mount -t binfmt_misc binfmt_misc $BINFMT" 2>/dev/null || true
    fi
    if [ ! -f "$BINFMT/register" ]; then
        echo "setup: binfmt_misc is not available here; no emulator" >&2
        return 1
    fi
    # :name:type:offset:magic:mask:interpreter:flags
    interpreter=$(cut -d: -f7 "$QEMU_CONF")
    # Another i386 handler under the same name (an older qemu's) is replaced.
    if [ -f "$ENTRY" ] && ! grep -qx "interpreter $interpreter" "$ENTRY"; then
        as_root "echo -1 > $ENTRY"
    fi
    if [ ! -f "$ENTRY" ]; then
        echo "setup: registering qemu-i386 for i386 programs"
        as_root "cat $QEMU_CONF > $BINFMT/register"
    elif ! entry_enabled; then
        as_root "echo 1 > $ENTRY"
    fi
}

if [ "${EMULATE_I686:-0}" != 1 ] && kernel_runs32; then
    # Runs natively: an emulator registered earlier would only slow it down.
    if [ -f "$ENTRY" ]; then
        echo "setup: this kernel runs 32-bit programs; removing the i386 emulator's registration"
        as_root "echo -1 > $ENTRY"
    fi
elif ! { install_emulator && register_emulator && runs32; }; then
    echo "setup: 32-bit programs cannot run here; the i686 leg will be skipped" >&2
fi
