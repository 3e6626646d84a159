#!/usr/bin/env bash
# Builds the release files into dist/: the sdist and one cp312-abi3 wheel
# repaired by auditwheel to manylinux_2_28 (every symbol within that policy),
# and checks them: abi3audit --strict, PyInit_sorbek_accel the only export,
# twine check on both files. On x86-64 it also cross-builds the module for
# arm64 and checks its symbols against manylinux_2_28_aarch64.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
export PATH="$(dirname "$PY"):$PATH"

echo "== wheel"
WHEEL="$(build_wheel "$PY")"
check_wheel "$PY" "$WHEEL"

echo "== sdist"
"$PY" -m build --sdist --no-isolation --outdir "$DIST" "$ROOT" >&2
"$PY" -m twine check --strict "$DIST"/sorbek_accel-*.tar.gz

if [ "$(uname -m)" = x86_64 ]; then
  echo "== arm64 module (cross-built)"
  check_arm64_module "$PY"
fi

echo "== release files"
ls -l "$DIST"
