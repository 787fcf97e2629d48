#!/bin/sh
# libjpeg-turbo's source, as Debian ships it for this machine's release, in a
# cache under build/: scripts/fetch-libjpeg-turbo.sh [CACHE]
#
# apt-get fetches it through a source list of our own, with its lists and its
# cache beside it, so that the system's apt configuration is neither read
# for sources nor written. The upstream tarball must have the hash pinned
# here; dpkg-source unpacks it with Debian's patches. Once unpacked and
# checked, later runs use the cache and never go to the network.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${1:-$ROOT/build/deps}
VERSION=2.1.5
ORIG=libjpeg-turbo_$VERSION.orig.tar.gz
ORIG_SHA256=254f3642b04e309fee775123133c6464181addc150499561020312ec61c1bf7c
TREE=$CACHE/libjpeg-turbo-$VERSION
STAMP=$TREE/.ovilune-verified

if [ -f "$STAMP" ]; then
    exit 0
fi

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$codename" ]; then
    echo "libjpeg-turbo: cannot tell this Debian release's name" >&2
    exit 1
fi
# The mirror the release itself is installed from.
mirror=$(apt-cache policy 2>/dev/null | awk -v s="$codename/main" '$3 == s { print $2; exit }')
mirror=${mirror:-http://deb.debian.org/debian}

APT=$CACHE/apt
mkdir -p "$APT/sources.list.d" "$APT/lists/partial" "$APT/cache/archives/partial" "$CACHE/download"
{
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$mirror" "$codename"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
} > "$APT/sources.list.d/debian-src.sources"
apt_private() {
    apt-get -q -o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$APT/sources.list.d" \
        -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -o APT::Sandbox::User=root "$@"
}

echo "libjpeg-turbo: fetching Debian's source package for $codename from $mirror"
apt_private update >/dev/null
rm -f "$CACHE/download/"*
(cd "$CACHE/download" && apt_private source --download-only libjpeg-turbo >/dev/null)

seen=$(sha256sum "$CACHE/download/$ORIG" 2>/dev/null | cut -d' ' -f1)
if [ "$seen" != "$ORIG_SHA256" ]; then
    echo "libjpeg-turbo: $ORIG has SHA256 ${seen:-(missing)}, not the pinned $ORIG_SHA256; refusing it" >&2
    exit 1
fi
rm -rf "$TREE" "$TREE.partial"
dsc=$(ls "$CACHE/download/"libjpeg-turbo_*.dsc)
# apt has checked the files against the release's signed index; the
# uploader's own signature on the .dsc, which gpgv cannot check without the
# uploader's key, is not needed for that, and its warning is kept out of sight.
if ! dpkg-source --no-copy -x "$dsc" "$TREE.partial" >"$CACHE/dpkg-source.log" 2>&1; then
    cat "$CACHE/dpkg-source.log" >&2
    exit 1
fi
mv "$TREE.partial" "$TREE"
echo "$(basename "$dsc" .dsc) $ORIG_SHA256" > "$STAMP"
echo "libjpeg-turbo: $(basename "$dsc" .dsc) unpacked with Debian's patches in $TREE"
