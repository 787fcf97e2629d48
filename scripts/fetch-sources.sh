#!/bin/sh
# The C libraries linked into the shipped files, as Debian ships them for
# this machine's release, in a cache under build/:
#   scripts/fetch-sources.sh [CACHE]
#
# apt-get fetches each source package through a source list of our own (the
# release with its updates and security suites, so the newest revision with
# its security fixes is taken), with its lists and its cache beside it, so
# that the system's apt configuration is neither read for sources nor
# written. Each upstream tarball must have the hash pinned below;
# dpkg-source unpacks it with Debian's patches into CACHE/NAME-VERSION, and
# the package's own files (.dsc, tarballs) stay in CACHE/download/NAME for
# the release's source archive. Once a tree is unpacked and checked, later
# runs use the cache and never go to the network.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${1:-$ROOT/build/deps}

# name  upstream version  upstream tarball  its SHA256
PACKAGES="
libjpeg-turbo 2.1.5 libjpeg-turbo_2.1.5.orig.tar.gz 254f3642b04e309fee775123133c6464181addc150499561020312ec61c1bf7c
libwebp 1.2.4 libwebp_1.2.4.orig.tar.gz 7bf5a8a28cc69bcfa8cb214f2c3095703c6b73ac5fba4d5480c205331d9494df
"

missing=""
while read -r name version orig sha; do
    [ -n "$name" ] || continue
    [ -f "$CACHE/$name-$version/.ovilune-verified" ] || missing="$missing $name"
done <<EOF
$PACKAGES
EOF
[ -n "$missing" ] || exit 0

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$codename" ]; then
    echo "sources: cannot tell this Debian release's name" >&2
    exit 1
fi
# The mirrors the release itself is installed from.
mirror=$(apt-cache policy 2>/dev/null | awk -v s="$codename/main" '$3 == s { print $2; exit }')
mirror=${mirror:-http://deb.debian.org/debian}
security=$(apt-cache policy 2>/dev/null | awk -v s="$codename-security/main" '$3 == s { print $2; exit }')
security=${security:-http://deb.debian.org/debian-security}

APT=$CACHE/apt
mkdir -p "$APT/sources.list.d" "$APT/lists/partial" "$APT/cache/archives/partial"
rm -f "$APT/sources.list.d/"*
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
{
    printf 'Types: deb-src\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$mirror" "$codename" "$codename"
    [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
    printf '\nTypes: deb-src\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$security" "$codename"
    [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
} > "$APT/sources.list.d/debian-src.sources"
apt_private() {
    apt-get -q -o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$APT/sources.list.d" \
        -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -o APT::Sandbox::User=root "$@"
}
echo "sources: fetching Debian's source packages for $codename:$missing"
apt_private update >/dev/null

while read -r name version orig sha; do
    [ -n "$name" ] || continue
    tree=$CACHE/$name-$version
    [ -f "$tree/.ovilune-verified" ] && continue
    download=$CACHE/download/$name
    rm -rf "$download"
    mkdir -p "$download"
    (cd "$download" && apt_private source --download-only "$name" >/dev/null)
    seen=$(sha256sum "$download/$orig" 2>/dev/null | cut -d' ' -f1)
    if [ "$seen" != "$sha" ]; then
        echo "sources: $orig has SHA256 ${seen:-(missing)}, not the pinned $sha; refusing it" >&2
        exit 1
    fi
    rm -rf "$tree" "$tree.partial"
    dsc=$(ls "$download/"*.dsc)
    # apt has checked the files against the release's signed index; the
    # uploader's own signature on the .dsc, which gpgv cannot check without
    # the uploader's key, is not needed for that, and its warning is kept
    # out of sight.
    if ! dpkg-source --no-copy -x "$dsc" "$tree.partial" >"$CACHE/dpkg-source-$name.log" 2>&1; then
        cat "$CACHE/dpkg-source-$name.log" >&2
        exit 1
    fi
    mv "$tree.partial" "$tree"
    echo "$(basename "$dsc" .dsc) $sha" > "$tree/.ovilune-verified"
    echo "sources: $(basename "$dsc" .dsc) unpacked with Debian's patches in $tree"
done <<EOF
$PACKAGES
EOF
