#!/usr/bin/python3
"""Writes the WebP pictures of the syscodec tests with Debian's own tools
(cwebp, img2webp, webpmux, dwebp from the webp package), and their reference
decodes: webp_pictures.py OUTDIR.

Sources are PAM files (RGBA, top row first) made here: a photo-like picture
with fine grain, the same with an alpha ramp, and a second frame. What the
tests compare against: the sources themselves for the lossless files, and
dwebp's own decode (PAM, straight alpha) for the lossy ones.
"""
import os
import struct
import subprocess
import sys

WIDTH, HEIGHT = 96, 64


def pam(path, pixel):
    rows = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            rows += bytes(pixel(x, y))
    header = f"P7\nWIDTH {WIDTH}\nHEIGHT {HEIGHT}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
    with open(path, "wb") as f:
        f.write(header.encode() + rows)


def grain(x, y):
    h = (x * 73856093 ^ y * 19349663) & 0xFFFFFFFF
    return ((x * 2 + (h & 15)) & 255, (y * 3 + (h >> 4 & 15)) & 255, ((x + y) + (h >> 8 & 15)) & 255)


def exif_orientation(value):
    """A little-endian TIFF structure with one entry: Orientation."""
    return b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", 1) + struct.pack("<HHIHH", 274, 3, 1, value, 0) + b"\0\0\0\0"


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main(out):
    os.makedirs(out, exist_ok=True)
    p = lambda name: os.path.join(out, name)
    pam(p("photo.pam"), lambda x, y: grain(x, y) + (255,))
    pam(p("alpha.pam"), lambda x, y: grain(x, y) + ((x * 255) // (WIDTH - 1),))
    pam(p("second.pam"), lambda x, y: (20, 200, 90, 255))
    run("cwebp", "-quiet", "-q", "90", p("photo.pam"), "-o", p("lossy.webp"))
    run("cwebp", "-quiet", "-lossless", p("photo.pam"), "-o", p("lossless.webp"))
    run("cwebp", "-quiet", "-q", "90", "-alpha_q", "100", p("alpha.pam"), "-o", p("lossy-alpha.webp"))
    run("cwebp", "-quiet", "-lossless", "-exact", p("alpha.pam"), "-o", p("lossless-alpha.webp"))
    run("img2webp", "-lossless", p("photo.pam"), p("second.pam"), "-o", p("animated.webp"))
    with open(p("orientation6.exif"), "wb") as f:
        f.write(exif_orientation(6))
    run("webpmux", "-set", "exif", p("orientation6.exif"), p("lossless.webp"), "-o", p("turned.webp"))
    run("webpmux", "-set", "icc", "/usr/share/color/icc/colord/SwappedRedAndGreen.icc", p("lossless.webp"),
        "-o", p("swapped.webp"))
    for name in ("lossy", "lossy-alpha"):
        run("dwebp", "-quiet", p(name + ".webp"), "-pam", "-o", p(name + ".pam"))
    print(f"webp pictures: written in {out}")


if __name__ == "__main__":
    main(sys.argv[1])
