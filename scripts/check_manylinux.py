"""Checks a shared object against a manylinux policy, with auditwheel's own
policy data: every library it needs is one the policy provides, and every
versioned symbol it needs (GLIBC_x, GLIBCXX_x, CXXABI_x, GCC_x) is within
the policy. Used for the arm64 build, which cannot be wheeled and repaired on
an x86-64 machine; the x86-64 wheel goes through `auditwheel repair` itself.

Usage: python check_manylinux.py POLICY ARCH SHARED_OBJECT   (e.g. manylinux_2_28 aarch64 x.so)"""

from __future__ import annotations

import json
import pathlib
import sys

import auditwheel
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection


def main() -> int:
    policy_name, arch, path = sys.argv[1:4]
    policies = json.loads((pathlib.Path(auditwheel.__file__).parent / "policy" / "manylinux-policy.json").read_text())
    policy = next(p for p in policies if p["name"] == policy_name)
    allowed = policy["symbol_versions"][arch]
    problems, needed, versions = [], [], set()
    with open(path, "rb") as f:
        elf = ELFFile(f)
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                needed += [tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
            elif isinstance(section, GNUVerNeedSection):
                for _, auxiliaries in section.iter_versions():
                    versions.update(aux.name for aux in auxiliaries)
    problems += [f"needs {lib}, which {policy_name} does not provide" for lib in needed if lib not in policy["lib_whitelist"]]
    for version in sorted(versions):
        family, _, number = version.partition("_")
        if family in allowed and number not in allowed[family]:
            problems.append(f"needs {version}, newer than {policy_name} allows")
    print(f"{path}: {arch}, needs {', '.join(needed)}; symbol versions {', '.join(sorted(versions))}")
    for problem in problems:
        print(f"error: {problem}", file=sys.stderr)
    print(f"{policy_name}_{arch}: {'FAILED' if problems else 'ok'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
