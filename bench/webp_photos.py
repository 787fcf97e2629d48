#!/usr/bin/python3
"""Writes the WebP photos of the benchmarks with Debian's own tools, and
dwebp's decodes of them: webp_photos.py OUTDIR.

A 6000x4000 photo-like picture (gradients with fine grain, made row by row
from one grain row shifted and re-toned, fast enough in plain Python) as a
PPM, then photo-lossy.webp (cwebp -q 85, as cameras and sites write) and
photo-lossless.webp (cwebp -lossless -z 1), and each decoded by dwebp to
.ppm. Nothing is written again once there.
"""
import os
import subprocess
import sys

WIDTH, HEIGHT = 6000, 4000


def photo(path):
    seed = 12345
    grain = bytearray()
    for _ in range(WIDTH * 3 + 512):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        grain.append(seed >> 16 & 31)
    ramp = bytes(i * 224 // (WIDTH * 3 - 1) for i in range(WIDTH * 3))
    with open(path, "wb") as f:
        f.write(f"P6\n{WIDTH} {HEIGHT}\n255\n".encode())
        for y in range(HEIGHT):
            shift = (y * 7) % 512
            tone = bytes(min(255, v * (HEIGHT + y) // (2 * HEIGHT) + 40) for v in range(256))
            f.write(bytes(map(int.__add__, ramp, grain[shift:shift + WIDTH * 3])).translate(tone))


def main(out):
    os.makedirs(out, exist_ok=True)
    p = lambda name: os.path.join(out, name)
    if os.path.exists(p("photo-lossless.ppm")):
        return
    photo(p("photo.ppm"))
    subprocess.run(["cwebp", "-quiet", "-q", "85", p("photo.ppm"), "-o", p("photo-lossy.webp")], check=True)
    subprocess.run(["cwebp", "-quiet", "-lossless", "-z", "1", p("photo.ppm"), "-o", p("photo-lossless.webp")],
                   check=True)
    for kind in ("lossy", "lossless"):
        subprocess.run(["dwebp", "-quiet", p(f"photo-{kind}.webp"), "-ppm", "-o", p(f"photo-{kind}.ppm")], check=True)
    os.remove(p("photo.ppm"))
    print(f"webp photos: written in {out}")


if __name__ == "__main__":
    main(sys.argv[1])
