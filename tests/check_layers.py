#!/usr/bin/python3
"""The library's folders use only the folders below them, top to bottom:
surface, commands, view, sources, chip. Prints the include graph; fails on
any include that looks up or sideways into a folder above, and on any file
that names a global, function or type declared in a higher folder's
headers (reached without its include, through an extern or a copied
declaration)."""
import os
import re
import sys

ORDER = ["surface", "commands", "view", "sources", "chip"]
ROOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")

DECLARATIONS = [
    re.compile(r"^extern\s+[\w:<>,\s\*&]+?\b(\w+)\s*(?:\[[^\]]*\])?\s*;", re.M),  # globals
    re.compile(r"^(?!typedef\b)[A-Za-z][\w:<>,\s\*&]*?\b(\w+)\s*\([^;{]*\)\s*;", re.M),  # functions
    re.compile(r"^(?:struct|enum)\s+(\w+)", re.M),                                # types
    re.compile(r"^typedef\s[^;(]*?\b(\w+)\s*;", re.M),
    re.compile(r"^typedef\s[^;]*?\(\s*(?:\w+\s+)?\*\s*(\w+)\s*\)", re.M),
]


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(?:\\.|[^"\\])*"', '""', text)


def files(folder):
    for name in sorted(os.listdir(os.path.join(ROOT, folder))):
        path = os.path.join(ROOT, folder, name)
        with open(path, encoding="utf-8") as source:
            yield name, source.read()


declared = {}  # name -> folder whose header declares it
for folder in ORDER:
    for name, text in files(folder):
        if name.endswith(".h"):
            for pattern in DECLARATIONS:
                for symbol in pattern.findall(strip_comments(text)):
                    declared.setdefault(symbol, folder)

edges = {}
bad = []
for folder in ORDER:
    for name, text in files(folder):
        for target in re.findall(r'#include "([a-z_]+)/', text):
            if target == folder:
                continue
            edges.setdefault(folder, set()).add(target)
            if target not in ORDER or ORDER.index(target) < ORDER.index(folder):
                bad.append(f"src/{folder}/{name} includes {target}/")
        for symbol in sorted(set(re.findall(r"\b\w+\b", strip_comments(text)))):
            home = declared.get(symbol)
            if home and ORDER.index(home) < ORDER.index(folder):
                bad.append(f"src/{folder}/{name} names {symbol}, declared in {home}/")
for folder in ORDER:
    print(f"{folder:9} -> {', '.join(sorted(edges.get(folder, []), key=ORDER.index)) or '(nothing)'}")
print(f"{len(declared)} globals, functions and types checked")
for line in bad:
    print("FAIL:", line)
sys.exit(1 if bad else 0)
