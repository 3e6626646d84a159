#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it one cp312-abi3
# wheel (g++), given by auditwheel the most compatible manylinux tag its
# symbols allow, which must be manylinux_2_28 or older. Checks them as
# released: abi3audit --strict, the module the only binary and
# PyInit_sorbek_accel its only export, true manylinux tags, twine check on
# both files, and that the wheel installs and imports. On x86-64 it also
# cross-builds the arm64 wheel into build/arm64-wheel and checks it the same
# way, short of importing it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"

echo "== sdist and wheel"
WHEEL="$(build_release "$PY")"
check_installs "$PY" "$WHEEL"

if [ "$(uname -m)" = x86_64 ]; then
  echo "== arm64 wheel (cross-built, checked, not released)"
  check_arm64_wheel "$PY"
fi

echo "== release files"
ls -l "$DIST"
