#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# Runs every fuzz target (or the named ones) for SECONDS each (default 60): libFuzzer targets for
# the C++ kernels (substring search, escape scan, float writer against the
# exact oracle) and atheris targets for the module (multipart_sections
# against the reference splitter, json_dumps against json.dumps). Seeds come
# from tests/fuzz/seeds/<target>; new inputs go to build/fuzz/corpus/<target>.
# Prints one summary line per target; any finding fails the command.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_EACH="${1:-60}"
shift || true
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(fuzz_search fuzz_escape_scan fuzz_float fuzz_multipart fuzz_json)
ensure_system_packages
PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
"$PY" -m pip install --quiet "atheris>=2.3" >&2
export PATH="$(dirname "$PY"):$PATH"
BUILD="$ROOT/build/fuzz"
SEEDS="$ROOT/tests/fuzz/seeds"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DSORBEK_BUILD_MODULE=OFF -DSORBEK_BUILD_FUZZERS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$BUILD" >/dev/null

# The module the atheris targets load: a plain build of this tree.
cmake -S "$ROOT" -B "$BUILD/module" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD/module" >/dev/null

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
summary() {  # target, log
  local runs
  runs="$(grep -Eo '(Done|DONE) +[0-9]+ runs' "$2" | tail -1 | grep -Eo '[0-9]+' || true)"
  [ -n "$runs" ] || runs="$(grep -Eo '^#[0-9]+' "$2" | tail -1 | tr -d '#' || true)"
  echo "fuzz $1: ${runs:-0} executions in ${SECONDS_EACH}s, $3"
}
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  mkdir -p "$corpus"
  mkdir -p "$BUILD/logs"
  log="$BUILD/logs/$target.$$.log"
  if [ -x "$BUILD/$target" ]; then
    cmd=("$BUILD/$target")
  else
    cmd=(env PYTHONPATH="$BUILD/module" "$PY" "$ROOT/tests/fuzz/$target.py")
  fi
  if "${cmd[@]}" -max_total_time="$SECONDS_EACH" -print_final_stats=1 "$corpus" "$SEEDS/$target" >"$log" 2>&1; then
    summary "$target" "$log" "no findings"
  else
    summary "$target" "$log" "FINDING (see $log)"
    tail -30 "$log" >&2
    status=1
  fi
done
exit $status
