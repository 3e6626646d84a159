#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# Runs every fuzz target (or the named ones) for SECONDS each (default 60): libFuzzer targets for
# the C++ kernels (substring search, escape scan, float writer against the
# exact oracle) and atheris targets for the module (multipart_sections
# against the reference splitter, json_dumps against json.dumps). Seeds come
# from tests/fuzz/seeds/<target>; new inputs go to build/fuzz/corpus/<target>.
# Prints one summary line per target, with libFuzzer's coverage figures when
# the run started (after loading the corpus) and when it ended; any finding
# fails the command.
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

# One build for both kinds of target, with the fuzzer's coverage
# instrumentation, ASan and UBSan throughout: the kernel targets link libFuzzer
# in; the module is left with the sanitizer and coverage symbols undefined,
# for the runtime preloaded below.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPython_EXECUTABLE="$PY" -DSORBEK_BUILD_MODULE=ON -DSORBEK_BUILD_FUZZERS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$BUILD" >/dev/null

# The atheris targets run in the ordinary interpreter, with atheris' build of
# the ASan runtime that has libFuzzer inside preloaded: atheris then drives
# that libFuzzer, which collects the module's coverage counters as well as
# those atheris keeps for the Python code. PYTHONMALLOC=malloc puts every
# Python object in the sanitizer's heap, so that reading past one is caught.
# The interpreter keeps memory until exit on purpose: no leak checks here
# (the sanitizer run checks leaks, scripts/sanitize.sh).
ATHERIS_RUNTIME="$("$PY" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
[ -f "$ATHERIS_RUNTIME" ] || { echo "error: $ATHERIS_RUNTIME not found" >&2; exit 1; }
if ! nm -D "$BUILD"/sorbek_accel*.so | grep -q ' U __sanitizer_cov_8bit_counters_init$'; then
  echo "error: the module in $BUILD is not built with coverage instrumentation" >&2
  exit 1
fi

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
summary() {  # target, log, outcome
  local runs counters first last
  runs="$(grep -Eo '(Done|DONE) +[0-9]+ runs' "$2" | tail -1 | grep -Eo '[0-9]+' || true)"
  [ -n "$runs" ] || runs="$(grep -Eo '^#[0-9]+' "$2" | tail -1 | tr -d '#' || true)"
  # libFuzzer's status lines: "#N INITED cov: C ft: F ..." once the corpus is
  # loaded, then "#N NEW|REDUCE|pulse|DONE cov: C ft: F ...".
  # cov counts the covered edges of the instrumented native code (its
  # counters, listed first) and, for atheris, of the instrumented Python code.
  counters="$(sed -nE 's/.*\(([0-9]+) inline 8-bit counters\).*/\1/p' "$2" | head -1)"
  first="$(grep -Eo 'INITED cov: [0-9]+ ft: [0-9]+' "$2" | head -1 | sed 's/INITED //' || true)"
  last="$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$2" | tail -1 || true)"
  echo "fuzz $1: ${runs:-0} executions in ${SECONDS_EACH}s, ${counters:-no} native counters," \
    "${first:-no coverage figures} -> ${last:-?}, $3"
}
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  mkdir -p "$corpus"
  mkdir -p "$BUILD/logs"
  log="$BUILD/logs/$target.$$.log"
  if [ -x "$BUILD/$target" ]; then
    cmd=("$BUILD/$target")
  else
    cmd=(env PYTHONPATH="$BUILD" LD_PRELOAD="$ATHERIS_RUNTIME" PYTHONMALLOC=malloc
      ASAN_OPTIONS="detect_leaks=0" "$PY" "$ROOT/tests/fuzz/$target.py")
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
