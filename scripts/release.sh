#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it one cp312-abi3
# wheel for this machine (g++) and, on x86-64, one cross-built for arm64
# (aarch64-linux-gnu-g++), each given by auditwheel the most compatible
# manylinux tag its symbols allow, which must be manylinux_2_28 or older.
# Checks them as released: abi3audit --strict, the module the only binary and
# PyInit_sorbek_accel its only export, true manylinux tags, twine check on
# every file. Each wheel is installed into an interpreter of its own
# architecture and imported there (the arm64 one into Debian's arm64 CPython
# 3.13 under qemu), and writes fresh short strings where a read past an
# allocation is caught: under valgrind on x86-64, with a tagged heap on arm64.
# dist/ gets the files only when all of that has passed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trap 'stage_summary $?' EXIT

stage "set-up: Debian packages, CPython 3.12 environment"
ensure_system_packages
PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"

build_release "$PY" "$DIST"

stage "release files"
ls -l "$DIST"
