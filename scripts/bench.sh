#!/usr/bin/env bash
# The main job: builds the wheel, installs it with the peers (orjson, ujson,
# msgspec, python-multipart) into a CPython 3.12 environment and prints the
# side-by-side benchmark tables. Extra arguments go to bench/run.py
# (--quick, --json, --multipart).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY="$(venv_python 3.12 "$ROOT/requirements-bench.txt" bench312)"
WHEEL="$(build_wheel "$PY")"
"$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
cd "$ROOT/bench" && exec "$PY" run.py "$@"
