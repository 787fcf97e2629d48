#!/bin/sh
# make dist: dist/Ovilune-<version>.zip and dist/SHA256SUMS. The shipped
# files are built twice, in two folders of their own, and must come out
# byte for byte the same before anything is packed.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
VERSION=$(/usr/bin/python3 scripts/package.py --version)
OUT=dist
rm -rf "$OUT"
mkdir -p "$OUT"
sh scripts/fetch-sources.sh
for tree in a b; do
    cmake -S . -B "$OUT/build-$tree" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$OUT/build-$tree" -j "$(nproc)" --target Ovilune OviluneHelper ifsyscodec >/dev/null
done
for file in Ovilune.dxl OviluneHelper.exe plugins/ifsyscodec.spi; do
    if ! cmp "$OUT/build-a/$file" "$OUT/build-b/$file"; then
        echo "dist: two builds of the same sources differ in $file" >&2
        exit 1
    fi
done
echo "dist: two builds in separate folders gave identical Ovilune.dxl, OviluneHelper.exe and ifsyscodec.spi"
ZIP="Ovilune-$VERSION.zip"
/usr/bin/python3 scripts/package.py "$OUT/build-a" dist-src/readme.txt "$OUT/$ZIP"
rm -rf "$OUT/build-a" "$OUT/build-b"
(cd "$OUT" && sha256sum "$ZIP" > SHA256SUMS)
/usr/bin/python3 tests/check_dist.py "$OUT/$ZIP"
cat "$OUT/SHA256SUMS"
