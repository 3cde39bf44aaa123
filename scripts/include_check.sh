#!/usr/bin/env bash
# Checks the include structure of the sources: no folder includes a layer above its own
# (json <- net <- core <- control, media <- app <- cli, ui), and no include cycle among the
# files of one folder, where a file is its header and source together ("core/naming" stands for
# naming.h and naming.cpp). Prints what it finds; exit status 1 when anything is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
/usr/bin/python3 - <<'PY'
import os, re, sys
layers = {"json": 0, "net": 1, "core": 2, "control": 3, "media": 3, "app": 4, "cli": 5, "ui": 5}
include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([A-Za-z0-9_]+)\.h"', re.M)
edges, problems = {}, []
for folder in layers:
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if not name.endswith((".h", ".cpp")):
            continue
        unit = folder + "/" + name.rsplit(".", 1)[0]
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            for to_folder, to_name in include.findall(f.read()):
                if to_folder not in layers:
                    continue
                if layers[to_folder] > layers[folder] or (to_folder != folder and layers[to_folder] == layers[folder]):
                    problems.append(f"{folder}/{name} includes {to_folder}/{to_name}.h, a layer above or beside it")
                target = to_folder + "/" + to_name
                if to_folder == folder and target != unit:
                    edges.setdefault(unit, set()).add(target)
# Cycles inside one folder: depth-first search over the units.
state = {}
def visit(unit, path):
    state[unit] = 1
    for nxt in sorted(edges.get(unit, ())):
        if state.get(nxt) == 1:
            problems.append("cycle: " + " -> ".join(path[path.index(nxt):] + [nxt]))
        elif nxt not in state:
            visit(nxt, path + [nxt])
    state[unit] = 2
for unit in sorted(edges):
    if unit not in state:
        visit(unit, [unit])
for p in problems:
    print(p)
print("include check: " + ("ok" if not problems else f"{len(problems)} problem(s)"))
sys.exit(1 if problems else 0)
PY
