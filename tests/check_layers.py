#!/usr/bin/python3
"""The library's folders include only the folders below them, top to bottom:
surface, commands, view, sources, chip. Prints the include graph; fails on
any include that looks up or sideways into a folder above."""
import os
import re
import sys

ORDER = ["surface", "commands", "view", "sources", "chip"]
ROOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")

edges = {}
bad = []
for folder in ORDER:
    for name in sorted(os.listdir(os.path.join(ROOT, folder))):
        path = os.path.join(ROOT, folder, name)
        with open(path, encoding="utf-8") as source:
            for target in re.findall(r'#include "([a-z_]+)/', source.read()):
                if target == folder:
                    continue
                edges.setdefault(folder, set()).add(target)
                if target not in ORDER or ORDER.index(target) < ORDER.index(folder):
                    bad.append(f"src/{folder}/{name} includes {target}/")
for folder in ORDER:
    print(f"{folder:9} -> {', '.join(sorted(edges.get(folder, []), key=ORDER.index)) or '(nothing)'}")
for line in bad:
    print("FAIL:", line)
sys.exit(1 if bad else 0)
