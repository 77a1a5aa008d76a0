#!/usr/bin/env python3
"""Checks the shape of the tree through its includes.

Two faults are reported, and the exit status is 1 if there is either:
- a file in a program's folder (or in lib/) that includes a header from
  another program's folder, or a CMakeLists.txt there that names a source of
  another folder (shared things live in lib/);
- two .cpp files that reach each other: a .cpp uses the .cpp of the same stem
  as a header it includes, directly or through other headers of its own tree;
  pairs that use each other are named, and longer circles listed whole.

Usage: check_includes.py [SOURCE_DIR]   (default: the repository holding it)
"""

import re
import sys
from pathlib import Path

PROGRAMS = ("veld", "velumond", "velinit", "velcrond", "vellmond", "velmeshd", "velrttd",
            "velwatchdog", "velhttpd", "velechod", "velurd", "velstatus")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
# A path into a program's folder in a CMakeLists.txt.
PROGRAM_REF = re.compile(r'(?:\.\./|\$\{(?:CMAKE|PROJECT)_SOURCE_DIR\}/)(%s)(/[\w./-]*)?' %
                         "|".join(PROGRAMS))


def folders(root):
    return [root / d for d in ("lib",) + PROGRAMS if (root / d).is_dir()]


def resolve(root, includer, name):
    """The file an include names: beside the includer, then in lib/ (the
    common library's folder is on every target's include path), then in any
    program's folder (reachable only through an include path that names it)."""
    for base in [includer.parent, root / "lib"] + [root / p for p in PROGRAMS]:
        path = (base / name).resolve()
        if path.is_file():
            return path
    return None


def includes(root, path, cache):
    if path not in cache:
        text = path.read_text(errors="replace")
        cache[path] = [(n, resolve(root, path, n)) for n in INCLUDE.findall(text)]
    return cache[path]


def used_sources(root, cpp, cache):
    """The .cpp files that cpp uses: the same-stem sources of every header it
    reaches through its own includes."""
    seen, todo, used = set(), [cpp], set()
    while todo:
        path = todo.pop()
        for _, target in includes(root, path, cache):
            if target is None or target in seen or target.suffix != ".h":
                continue
            seen.add(target)
            todo.append(target)
            source = target.with_suffix(".cpp")
            if source.is_file() and source != cpp:
                used.add(source)
    return used


def check(root):
    root = root.resolve()
    faults = []
    cache = {}
    program_dirs = {(root / p).resolve() for p in PROGRAMS}

    for folder in folders(root):
        folder = folder.resolve()
        for path in sorted(folder.iterdir()):
            if path.suffix in (".cpp", ".h"):
                for name, target in includes(root, path, cache):
                    if target is not None and target.parent in program_dirs and target.parent != folder:
                        faults.append("%s includes %s from another program's folder" %
                                      (path.relative_to(root), target.relative_to(root)))

    # Build files: a program's reaches no other program's folder; the tests,
    # benchmarks and tools link a program's library instead of compiling
    # its sources.
    for cmake in sorted(root.glob("**/CMakeLists.txt")):
        rel = cmake.relative_to(root)
        if rel.parts[0].startswith("build") or rel.parts[0].startswith("."):
            continue
        for prog, rest in PROGRAM_REF.findall(cmake.read_text()):
            if rel.parts[0] in PROGRAMS and rel.parts[0] != prog:
                faults.append("%s reaches into %s/" % (rel, prog))
            elif rel.parts[0] not in PROGRAMS and rest.endswith(".cpp"):
                faults.append("%s compiles %s%s from a program's folder" % (rel, prog, rest))

    uses = {}
    for folder in folders(root):
        for cpp in sorted(folder.glob("*.cpp")):
            uses[cpp.resolve()] = used_sources(root, cpp.resolve(), cache)
    for a in sorted(uses):
        for b in sorted(uses[a]):
            if a < b and a in uses.get(b, ()):
                faults.append("%s and %s reach each other through their includes" %
                              (a.relative_to(root), b.relative_to(root)))
    # Longer circles (a uses b uses c uses a) are as bad as pairs.
    for circle in circles(uses):
        if len(circle) > 2:
            faults.append("circle through their includes: %s" %
                          ", ".join(str(p.relative_to(root)) for p in circle))
    return faults


def circles(uses):
    """The groups of .cpp files that all reach one another (the strongly
    connected components of more than one file)."""
    reach = {}
    for a in uses:
        seen, todo = set(), [a]
        while todo:
            for b in uses.get(todo.pop(), ()):
                if b not in seen:
                    seen.add(b)
                    todo.append(b)
        reach[a] = seen
    groups = set()
    for a in uses:
        group = tuple(sorted({a} | {b for b in reach[a] if a in reach.get(b, ())}))
        if len(group) > 1:
            groups.add(group)
    return sorted(groups)


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print("%d fault(s)" % len(faults))
        return 1
    print("includes: no circles, no program reaches into another's folder")
    return 0


if __name__ == "__main__":
    sys.exit(main())
