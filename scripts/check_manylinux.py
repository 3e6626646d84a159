"""Checks that a wheel's manylinux tags are true and within a policy, from
auditwheel's own analysis of the wheel (`auditwheel show --json`, read on
stdin), which works for a wheel of another architecture too: every platform
tag of the file name is one the wheel qualifies for (no older than the
policy its versioned symbols need) and no newer than POLICY, no library
outside the policy is needed (nothing to graft), and no instruction set
beyond the architecture's baseline is required.

Usage: auditwheel show --json WHEEL | python check_manylinux.py POLICY WHEEL
(e.g. POLICY manylinux_2_28)"""

from __future__ import annotations

import json
import pathlib
import re
import sys

from packaging.utils import parse_wheel_filename


def glibc_minor(tag: str) -> int | None:
    match = re.fullmatch(r"manylinux_2_(\d+)_\w+", tag)
    return int(match[1]) if match else None


def main() -> int:
    policy, wheel = sys.argv[1], pathlib.Path(sys.argv[2])
    report = json.load(sys.stdin)
    ceiling = glibc_minor(f"{policy}_any")
    needed = report["overall_tag"]
    symbols = "; ".join(f"{lib}: {' '.join(sorted(versions))}" for lib, versions in sorted(report["versioned_symbols"].items()))
    print(f"{wheel.name}: needs {needed} ({symbols})")

    problems = []
    floor = glibc_minor(needed)
    if floor is None or floor > ceiling:
        problems.append(f"the wheel needs {needed}, newer than {policy}")
    else:
        _, _, _, tags = parse_wheel_filename(wheel.name)
        for platform in sorted({tag.platform for tag in tags}):
            minor = glibc_minor(platform)
            if minor is None or not floor <= minor <= ceiling:
                problems.append(f"tagged {platform}, but the wheel needs {needed} and the policy is {policy}")
    if report["external_libs"]:
        problems.append(f"needs libraries outside the policy: {', '.join(sorted(report['external_libs']))}")
    if report["unsupported_isa"]:
        problems.append("needs instructions beyond the architecture's baseline")
    for problem in problems:
        print(f"error: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
