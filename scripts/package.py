#!/usr/bin/python3
"""Packs what a user downloads: the i686 Ovilune.dxl, OviluneHelper.exe, ifsyscodec.spi and
readme.txt (converted to code page 932 with CR LF, as Notepad on Japanese
Windows reads it), in a zip whose bytes depend on its contents alone: fixed
order, fixed dates, fixed attributes.

    package.py I686_BUILD_DIR README_UTF8 OUT.zip
"""
import os
import subprocess
import sys
import time
import zipfile


def version(root):
    """The version record's FILEVERSION, the one place that holds it."""
    with open(os.path.join(root, "resources", "ovilune.rc"), encoding="utf-8") as rc:
        for line in rc:
            if line.startswith("FILEVERSION"):
                return ".".join(part.strip() for part in line.split(None, 1)[1].split(","))
    raise SystemExit("no FILEVERSION in resources/ovilune.rc")


def source_date(root):
    """SOURCE_DATE_EPOCH, else the commit's own date: the same for every build of it."""
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        return int(subprocess.check_output(["git", "-C", root, "log", "-1", "--format=%ct"], text=True))
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 315532800  # 1980-01-01, the earliest a zip can say


def readme_bytes(path):
    with open(path, encoding="utf-8") as source:
        text = source.read()
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932")


def pack(build, readme, out, root):
    stamp = time.gmtime(max(source_date(root), 315532800))[:6]
    entries = [
        ("Ovilune.dxl", open(os.path.join(build, "Ovilune.dxl"), "rb").read()),
        ("OviluneHelper.exe", open(os.path.join(build, "OviluneHelper.exe"), "rb").read()),
        ("ifsyscodec.spi", open(os.path.join(build, "plugins", "ifsyscodec.spi"), "rb").read()),
        ("readme.txt", readme_bytes(readme)),
    ]
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # as written on Windows: no Unix permissions
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            archive.writestr(info, data, compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "--version":
        print(version(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
        sys.exit(0)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    pack(sys.argv[1], sys.argv[2], sys.argv[3], root)
