#!/bin/sh
# make demo: sample pictures of our own (BMP, PNG, JPEG), a chip text listing
# them, and chiphost rendering the chip in a few view modes and after a
# slideshow step, under Wine and Xvfb. Writes out/demo-*.png.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
OUT="$ROOT/out"
. "$ROOT/scripts/wine-env.sh"
# What users get where this machine runs it: the i686 host, library and
# plug-in; else their x86_64 twins.
if wine32_runs; then
    WIDTH=i686
else
    WIDTH=x86_64
    echo "demo: rendering with the x86_64 build: this machine cannot run 32-bit programs ($PROBE32)"
fi
how=""
[ "$WIDTH" = i686 ] && how=", $(i686_how)"
echo "demo: chiphost, Ovilune.dxl and ifsyscodec.spi of $BUILD/$WIDTH$how"
HOST="$ROOT/$BUILD/$WIDTH/chiphost.exe"

# Wine sees the Unix file system as drive Z:.
win() { printf 'Z:%s' "$1" | tr '/' '\\'; }

DXL=$(win "$ROOT/$BUILD/$WIDTH/Ovilune.dxl")
PLUGINS=$(win "$ROOT/$BUILD/$WIDTH/plugins")
PICS="$OUT/demo-pictures"
rm -rf "$OUT"
mkdir -p "$PICS"

chiphost() { sh "$ROOT/scripts/run-wine.sh" "$HOST" "$@"; }

chiphost picture --size 480x320 --pattern 0 --out "$(win "$PICS/hills.bmp")" >/dev/null
chiphost picture --size 300x400 --pattern 1 --out "$(win "$PICS/sunset.png")" >/dev/null
chiphost picture --size 400x300 --pattern 3 --out "$(win "$PICS/rings.jpg")" >/dev/null

list() {
    file="$OUT/$1"
    shift
    : > "$file"
    for picture in "$@"; do
        printf '%s\r\n' "$(win "$PICS/$picture")" >> "$file"
    done
    win "$file"
}

render() {
    name=$1
    shift
    printf '%-28s ' "out/$name:"
    chiphost render --dxl "$DXL" --plugins "$PLUGINS" --bg 283848 "$@" --out "$(win "$OUT/$name")"
}

render demo-100.png --text "$(list one-bmp.txt hills.bmp)" --size 560x380
render demo-fit-aspect.png --text "$(list one-png.txt sunset.png)" --size 480x320 --menu 10006
render demo-fit.png --text "$(list one-jpg.txt rings.jpg)" --size 480x320 --menu 10005
render demo-25.png --text "$(list one-jpg.txt rings.jpg)" --size 480x320 --menu 10000
ALL=$(list all.txt hills.bmp sunset.png rings.jpg)
render demo-slideshow-start.png --text "$ALL" --size 420x320 --menu 10006 --menu 10008 \
    --save "$(win "$OUT/slideshow.bin")"
render demo-slideshow-step.png --text "$ALL" --size 420x320 --block "$(win "$OUT/slideshow.bin")" \
    --ticks 3

echo
echo "pictures: $OUT/demo-*.png"
echo "product:  $ROOT/$BUILD/i686/Ovilune.dxl (with $ROOT/$BUILD/i686/plugins/ifsyscodec.spi)"
