#!/usr/bin/env python3
"""The include check finds each kind of fault in a small made-up tree, and
nothing in a sound one."""

import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import check_includes  # noqa: E402


TREES = []


def tree(files):
    root = Path(tempfile.mkdtemp(prefix="check_includes."))
    TREES.append(root)
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


SOUND = {
    "lib/vas.h": "", "lib/vas.cpp": '#include "vas.h"\n',
    "veld/a.h": '#include "vas.h"\n', "veld/a.cpp": '#include "a.h"\n',
    # b reaches a through a header of its own that includes a.h.
    "veld/b_rec.h": '#include "a.h"\n', "veld/b.h": '#include "b_rec.h"\n',
    "veld/b.cpp": '#include "b.h"\n',
    "veld/CMakeLists.txt": "vel_add_program(veld)\n",
    "bench/CMakeLists.txt": "target_link_libraries(x veld_core)\n",
}

CASES = [
    # (what is added to the sound tree, the faults expected)
    ({"veld/a.h": '#include "b.h"\n'},
     ["veld/a.cpp and veld/b.cpp reach each other through their includes"]),
    ({"velurd/x.h": "", "velurd/y.h": "", "velurd/z.h": "", "velurd/x.cpp": '#include "y.h"\n',
      "velurd/y.cpp": '#include "z.h"\n', "velurd/z.cpp": '#include "x.h"\n'},
     ["circle through their includes: velurd/x.cpp, velurd/y.cpp, velurd/z.cpp"]),
    ({"velumond/u.cpp": '#include "a.h"\n'},
     ["velumond/u.cpp includes veld/a.h from another program's folder"]),
    ({"velurd/w.h": "", "lib/vas.cpp": '#include "w.h"\n'},
     ["lib/vas.cpp includes velurd/w.h from another program's folder"]),
    ({"velumond/CMakeLists.txt": "target_include_directories(x PUBLIC ${CMAKE_SOURCE_DIR}/veld)\n"},
     ["velumond/CMakeLists.txt reaches into veld/"]),
    ({"bench/CMakeLists.txt": "add_executable(x x.cpp ../velumond/vsl.cpp)\n"},
     ["bench/CMakeLists.txt compiles velumond/vsl.cpp from a program's folder"]),
]


def main():
    failed = 0
    sound = check_includes.check(tree(SOUND))
    if sound:
        print("sound tree: unexpected %s" % sound)
        failed += 1
    for extra, want in CASES:
        got = check_includes.check(tree({**SOUND, **extra}))
        if got != want:
            print("%s: got %s, want %s" % (sorted(extra), got, want))
            failed += 1
    for root in TREES:
        shutil.rmtree(root)
    print("%d of %d cases failed" % (failed, len(CASES) + 1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
