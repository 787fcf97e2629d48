#!/usr/bin/python3
"""Every folder with code includes only what its room may use.

The library's folders under src/ use only the folders below them, top to
bottom: surface, commands, view, showing, pictures, plugin_host, chip; and
common/.
common/ (what more than one program is built from) uses nothing of ours
above it. The plug-in (plugins/*) and the tools (tools/*) include only from
common/ and their own folder. The plug-in helper program (plugin_helper/)
runs the library's own loading code, so it may use any layer. Tests and
benchmarks may use any layer.

Prints the include graph; fails on any include a folder may not make, on a
folder with code that has no rule here, and on any file under src/ that names
a global, function or type declared in a higher folder's headers (reached
without its include, through an extern or a copied declaration)."""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYERS = ["surface", "commands", "view", "showing", "pictures", "plugin_host", "chip"]
SRC = [f"src/{layer}" for layer in LAYERS]
TEST_ROOMS = ["tests", "tests/hostkit", "tests/plugins", "bench"]

# folder -> (folders a "room/file.h" include may name, folders a bare "file.h" may come from)
RULES = {"common": ({"common"}, {"common"}), "resources": (set(), {"resources"})}
for i, folder in enumerate(SRC):
    RULES[folder] = (set(SRC[i:]) | {"common"}, {folder, "resources"})
# The helper program runs the library's own loading code.
RULES["plugin_helper"] = (set(SRC) | {"common"}, {"plugin_helper"})
for folder in TEST_ROOMS:
    RULES[folder] = (set(SRC) | {"common"}, set(TEST_ROOMS) | {"resources"})
CODE = (".cpp", ".h", ".c")
SKIP = {"build", "out", "dist", ".git"}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(?:\\.|[^"\\])*"', '""', text)


def code_folders():
    for root, dirs, names in os.walk(TOP):
        dirs[:] = sorted(d for d in dirs if d not in SKIP)
        if any(n.endswith(CODE) for n in names):
            yield os.path.relpath(root, TOP).replace(os.sep, "/")


def rule_for(folder):
    if folder in RULES:
        return RULES[folder]
    if folder.startswith(("plugins/", "tools/")) and folder.count("/") == 1:
        return {"common"}, {folder}
    return None


def sources(folder):
    for name in sorted(os.listdir(os.path.join(TOP, folder))):
        if name.endswith(CODE):
            with open(os.path.join(TOP, folder, name), encoding="utf-8") as source:
                yield name, source.read()


def room_of(include):
    """The folder a "room/file.h" include names (src/ layers by their name)."""
    room = include.split("/")[0]
    return f"src/{room}" if room in LAYERS else room


edges = {}
bad = []
folders = list(code_folders())
for folder in folders:
    rule = rule_for(folder)
    if rule is None:
        bad.append(f"{folder}/ holds code but has no rule in tests/check_layers.py")
        continue
    rooms, bare_from = rule
    for name, text in sources(folder):
        for include in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
            if "/" in include:
                room = room_of(include)
                if room != folder:
                    edges.setdefault(folder, set()).add(room)
                if room not in rooms or not os.path.exists(os.path.join(TOP, room, include.split("/", 1)[1])):
                    bad.append(f"{folder}/{name} includes {include}")
            elif not any(os.path.exists(os.path.join(TOP, home, include)) for home in bare_from):
                bad.append(f"{folder}/{name} includes {include}, found in none of {', '.join(sorted(bare_from))}")

# Within src/: no file names what a higher folder's headers declare.
DECLARATIONS = [
    re.compile(r"^extern\s+[\w:<>,\s\*&]+?\b(\w+)\s*(?:\[[^\]]*\])?\s*;", re.M),  # globals
    re.compile(r"^(?!typedef\b)[A-Za-z][\w:<>,\s\*&]*?\b(\w+)\s*\([^;{]*\)\s*;", re.M),  # functions
    re.compile(r"^(?:struct|enum)\s+(\w+)", re.M),                                # types
    re.compile(r"^typedef\s[^;(]*?\b(\w+)\s*;", re.M),
    re.compile(r"^typedef\s[^;]*?\(\s*(?:\w+\s+)?\*\s*(\w+)\s*\)", re.M),
]
declared = {}  # name -> folder whose header declares it
for folder in SRC:
    for name, text in sources(folder):
        if name.endswith(".h"):
            for pattern in DECLARATIONS:
                for symbol in pattern.findall(strip_comments(text)):
                    declared.setdefault(symbol, folder)
for folder in SRC:
    for name, text in sources(folder):
        for symbol in sorted(set(re.findall(r"\b\w+\b", strip_comments(text)))):
            home = declared.get(symbol)
            if home and home != folder and home not in rule_for(folder)[0]:
                bad.append(f"{folder}/{name} names {symbol}, declared in {home}/")

for folder in folders:
    print(f"{folder:18} -> {', '.join(sorted(edges.get(folder, []))) or '(nothing)'}")
print(f"{len(folders)} folders with code, {len(declared)} globals, functions and types checked")
for line in bad:
    print("FAIL:", line)
sys.exit(1 if bad else 0)
