"""Where json_dumps spends its instructions, per payload: this module's own
code, the interpreter (stable-ABI calls such as PyUnicode_AsUTF8AndSize
for strings beyond ASCII, PyLong_AsLongLongAndOverflow for large ints, and
the final UTF-8 decode into the result str), and the C library. Counted with callgrind, which
counts instructions rather than time and so is repeatable on a loaded machine.
Each payload runs in a process that has built only that document, so the C
library's share is malloc's work in a young heap: on simple_object.json it
is about twice what it is in a process that has built every document first.

Usage: python instruction_split.py [--corpora DIR] [--module-dir DIR]
Needs valgrind, and a build of the module that keeps its symbols (the wheel
is stripped): scripts/bench.sh passes the one it builds from the same
sources with the same flags."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

import corpora
from workloads import JSON_DOCUMENTS

CALLS = 5
MODULE_DIR = sys.argv[sys.argv.index("--module-dir") + 1] if "--module-dir" in sys.argv else ""
CHILD = """
import sys
sys.path.insert(0, {bench!r})
import corpora, sorbek_accel
from workloads import JSON_DOCUMENTS
documents = dict(JSON_DOCUMENTS + (corpora.documents({corpora!r}) if {corpora!r} else []))
value = documents[{name!r}]()
for _ in range({calls}):
    sorbek_accel.json_dumps(value)
"""


def split(name: str, corpora_dir: str | None) -> tuple[int, dict[str, int]]:
    bench = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--toggle-collect=*json_dumps_entry*", f"--callgrind-out-file={out}",
             sys.executable, "-c", CHILD.format(bench=bench, name=name, calls=CALLS, corpora=corpora_dir)],
            check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=MODULE_DIR),
        )
        report = subprocess.run(["callgrind_annotate", "--threshold=100", out], check=True, capture_output=True, text=True).stdout
    parts = {"sorbek_accel": 0, "interpreter": 0, "C library": 0}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        count, where = int(m.group(1).replace(",", "")), m.group(2)
        if "sorbek_accel" in where:
            parts["sorbek_accel"] += count
        elif "python" in where.lower():
            parts["interpreter"] += count
        else:
            parts["C library"] += count
    return sum(parts.values()), parts


def main() -> None:
    corpora_dir = sys.argv[sys.argv.index("--corpora") + 1] if "--corpora" in sys.argv else None
    import sorbek_accel

    print("| payload | instructions per call | sorbek_accel | interpreter (stable ABI + result str) | C library |")
    print("|---|---:|---:|---:|---:|")
    for name, build in JSON_DOCUMENTS + (corpora.documents(corpora_dir) if corpora_dir else []):
        value = build()
        try:
            sorbek_accel.json_dumps(value)
        except TypeError:
            continue  # refused: nothing to split
        print(f"[bench] instruction split: {name}", file=sys.stderr, flush=True)
        total, parts = split(name, corpora_dir)
        cells = " | ".join(f"{parts[k] / total:.0%}" for k in ("sorbek_accel", "interpreter", "C library"))
        print(f"| {name} | {total // CALLS:,} | {cells} |")


if __name__ == "__main__":
    main()
