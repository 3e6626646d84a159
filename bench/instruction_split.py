"""Where json_dumps spends its instructions, per payload: this module's own
code, the interpreter (stable-ABI calls such as PyDict_Next,
PyLong_AsLongLongAndOverflow, PyUnicode_AsUTF8AndSize, and the final UTF-8
decode into the result str), and the C library. Counted with callgrind, which
counts instructions rather than time and so is repeatable on a loaded machine.

Usage: python instruction_split.py   (needs valgrind; the module importable)"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

from workloads import json_workloads

CALLS = 50
CHILD = """
import sys
sys.path.insert(0, {bench!r})
import sorbek_accel
from workloads import json_workloads
value = dict(json_workloads())[{name!r}]
for _ in range({calls}):
    sorbek_accel.json_dumps(value)
"""


def split(name: str) -> tuple[int, dict[str, int], int]:
    bench = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--toggle-collect=*json_dumps_entry*", f"--callgrind-out-file={out}",
             sys.executable, "-c", CHILD.format(bench=bench, name=name, calls=CALLS)],
            check=True, capture_output=True,
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
    total = sum(parts.values())
    return total, parts, len(sorbek_accel_text(name))


def sorbek_accel_text(name: str) -> str:
    import sorbek_accel

    return sorbek_accel.json_dumps(dict(json_workloads())[name])


def main() -> None:
    print("| payload | instructions per call | sorbek_accel | interpreter (stable ABI + result str) | C library |")
    print("|---|---:|---:|---:|---:|")
    for name, _ in json_workloads():
        total, parts, _ = split(name)
        cells = " | ".join(f"{parts[k] / total:.0%}" for k in ("sorbek_accel", "interpreter", "C library"))
        print(f"| {name} | {total // CALLS:,} | {cells} |")


if __name__ == "__main__":
    main()
