#!/usr/bin/env python3
"""Where each core file lives, and the order folders may include each other in.

`scripts/core-folders.py check` fails (exit 1) when a file under core/ includes a header from a
folder that comes later in the order (or from a sibling of the same rank), or when a file in
core/ is in no known folder. `scripts/core-folders.py fix FILE...` rewrites old flat include paths
("core/stream.h") to their folder ("core/io/stream.h").
"""
import os
import re
import sys

# Lower ranks come first: a folder may include its own headers and those of lower ranks. Folders
# of one rank do not include each other. Files directly in core/ (the facade) may include all.
RANK = {"base": 0, "io": 1, "checksum": 2, "compress": 3, "image": 4, "banner": 5, "fs": 6,
        "extract": 7, "verify": 7, "formats": 7, "rebuild": 8}

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"core/([^"]+)"')


def folder_of(rel):
    parts = rel.split("/")
    return parts[0] if len(parts) > 1 else ""


def headers():
    found = {}
    for dirpath, _, files in os.walk(os.path.join(ROOT, "core")):
        for f in files:
            if f.endswith(".h"):
                rel = os.path.relpath(os.path.join(dirpath, f), os.path.join(ROOT, "core"))
                found.setdefault(f, []).append(rel)
    return found


def check():
    bad = []
    core = os.path.join(ROOT, "core")
    for dirpath, _, files in os.walk(core):
        for f in sorted(files):
            if not f.endswith((".cpp", ".h")):
                continue
            path = os.path.join(dirpath, f)
            rel = os.path.relpath(path, core)
            src = folder_of(rel)
            if src and src not in RANK:
                bad.append(f"core/{rel}: folder core/{src} has no place in the include order")
                continue
            with open(path, encoding="utf-8") as text:
                for number, line in enumerate(text, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = folder_of(m.group(1))
                    if not src or target == src:
                        continue
                    if target == "":
                        bad.append(f"core/{rel}:{number}: core/{src} includes the facade "
                                   f"header core/{m.group(1)}")
                    elif target not in RANK or RANK[target] >= RANK[src]:
                        bad.append(f"core/{rel}:{number}: core/{src} may not include "
                                   f"core/{m.group(1)} (order: base, io, checksum, compress, "
                                   f"image, banner, fs, then extract, verify, formats, then rebuild)")
    for line in bad:
        print(line)
    return 1 if bad else 0


def fix(paths):
    known = headers()
    for path in paths:
        with open(path, encoding="utf-8") as text:
            lines = text.read().split("\n")
        changed = False
        for i, line in enumerate(lines):
            m = INCLUDE.match(line)
            if m and "/" not in m.group(1):
                where = known.get(m.group(1), [])
                if len(where) == 1 and where[0] != m.group(1):
                    lines[i] = line.replace(f'"core/{m.group(1)}"', f'"core/{where[0]}"')
                    changed = True
        if changed:
            with open(path, "w", encoding="utf-8") as text:
                text.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "check":
        sys.exit(check())
    if len(sys.argv) >= 2 and sys.argv[1] == "fix":
        sys.exit(fix(sys.argv[2:]))
    print(__doc__.strip())
    sys.exit(2)
