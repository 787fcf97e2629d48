#!/usr/bin/python3
"""Checks the download: exactly Ovilune.dxl, OviluneHelper.exe, ifsyscodec.spi and readme.txt;
both DLLs as the static check wants them; readme.txt in code page 932 with
CR LF line ends, naming the menu and dialog texts exactly as the library
shows them, and carrying the notices of libjpeg-turbo and libwebp, which the plug-in
links.

    check_dist.py DIST.zip
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def menu_texts():
    """The library's menu texts from its sources, as shown: the accelerator's & dropped."""
    with open(os.path.join(ROOT, "src", "chip", "texts.h"), encoding="utf-8") as header:
        source = header.read()
    texts = {}
    for name, literal in re.findall(r'static const char (kText\w+)\[\] = ((?:"[^"]*"\s*)+);', source):
        raw = "".join(re.findall(r'"([^"]*)"', literal))
        data = raw.encode("latin-1").decode("unicode_escape").encode("latin-1")
        texts[name] = data.decode("cp932").replace("&", "")
    return texts


def main(path):
    failures = []
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        if sorted(names) != ["Ovilune.dxl", "OviluneHelper.exe", "ifsyscodec.spi", "readme.txt"]:
            failures.append(f"the zip holds {names}")
        readme = archive.read("readme.txt") if "readme.txt" in names else b""
        with tempfile.TemporaryDirectory() as folder:
            archive.extract("Ovilune.dxl", folder)
            archive.extract("ifsyscodec.spi", folder)
            archive.extract("OviluneHelper.exe", folder)
            status = subprocess.call([sys.executable, os.path.join(ROOT, "tests", "check_artifact.py"),
                                      os.path.join(folder, "Ovilune.dxl"),
                                      os.path.join(folder, "ifsyscodec.spi"),
                                      os.path.join(folder, "OviluneHelper.exe")])
            if status:
                failures.append("the DLLs fail the static check")
    if readme.startswith(b"\xef\xbb\xbf"):
        failures.append("readme.txt starts with a UTF-8 byte order mark")
    try:
        text = readme.decode("cp932")
    except UnicodeDecodeError as error:
        failures.append(f"readme.txt is not code page 932: {error}")
        text = ""
    if b"\n" in readme.replace(b"\r\n", b"") or b"\r" in readme.replace(b"\r\n", b""):
        failures.append("readme.txt has line ends other than CR LF")
    shown = menu_texts()
    for name in ("kTextFit", "kTextFitAspect", "kTextChangeImage", "kTextSlideshow",
                 "kTextSlideshowSettings", "kTextAllImages", "kTextLoadError"):
        if shown[name] not in text:
            failures.append(f"readme.txt does not name {name} as shown: {shown[name]}")
    for caption in ("スライドショーの設定", "切り替え時間", "ランダム表示", "X 1", "X 10"):
        if caption not in text:
            failures.append(f"readme.txt does not name the dialog's {caption}")
    # What libjpeg-turbo, linked into ifsyscodec.spi, asks of its binaries'
    # documentation.
    for notice in ("This software is based in part on the work of the Independent JPEG Group.",
                   "Copyright (C)2009-2023 D. R. Commander.  All Rights Reserved.",
                   "Redistributions in binary form must reproduce the above copyright notice,",
                   "This software is provided 'as-is', without any express or implied"):
        if notice not in text:
            failures.append(f"readme.txt lacks libjpeg-turbo's notice: {notice}")
    # And libwebp's, linked in beside it.
    for notice in ("Copyright (c) 2010, Google Inc. All rights reserved.",
                   "Neither the name of Google nor the names of its contributors may"):
        if notice not in text:
            failures.append(f"readme.txt lacks libwebp's notice: {notice}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{path}: contents, DLLs, readme.txt in code page 932 with CR LF and the library's texts: "
          f"{'ok' if not failures else f'{len(failures)} failures'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
