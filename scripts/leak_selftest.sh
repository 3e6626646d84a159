#!/usr/bin/env bash
# Shows that the leak checks of the sanitizer run see this module's leaks.
# Builds the module (ASan/UBSan, as scripts/sanitize.sh does) from a copy of
# the tree with one fault planted at a time, runs tests/test_leaks.py with the
# leak_check plugin against it, and fails unless each plant is reported, by
# the check meant to see it, at the call path that has it. The copy and its
# build stay in build/leak-plants, so that a rerun recompiles only the
# planted files. The same build without a plant must pass first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/sanitizer_env.sh"

sanitizer_setup
WORK="$ROOT/build/leak-plants"
COPY="$WORK/tree"
MODULE_DIR="$WORK/build"
mkdir -p "$COPY" "$MODULE_DIR"
ASAN_RUNTIME="$(asan_runtime)"
ASAN_SYMBOLIZER="$(llvm_symbolizer)"
FRAME_STACK_SHIM="$(frame_stack_shim "$WORK")"

# Brings the copy up to date with the tree, replacing (with a new time stamp,
# so that the build sees the change) only the files that differ: what the last
# plant changed, and what changed in the tree.
sync_copy() {
  local file
  while read -r file; do
    mkdir -p "$COPY/$(dirname "$file")"
    cmp -s "$ROOT/$file" "$COPY/$file" || cp "$ROOT/$file" "$COPY/$file"
  done < <(cd "$ROOT" && find CMakeLists.txt cmake src -type f)
}

# plant FILE ANCHOR ADDED: puts the line ADDED before the line ANCHOR, which
# must occur exactly once in FILE.
plant() {
  "$PY" - "$COPY/$1" "$2" "$3" <<'PY'
import sys
path, anchor, added = sys.argv[1:]
text = open(path).read()
if text.count(anchor + "\n") != 1:
    sys.exit(f"leak self-test: the line {anchor!r} is not in {path} exactly once")
open(path, "w").write(text.replace(anchor + "\n", added + "\n" + anchor + "\n"))
PY
}

# Debug (-O0): quicker to compile, and nothing is optimised away.
sync_copy
cmake -S "$COPY" -B "$MODULE_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DPython_EXECUTABLE="$PY" -DSORBEK_SANITIZE=ON >/dev/null

status=0
# run_checks LOG: builds the copy and runs the leak checks against it.
run_checks() {
  nice cmake --build "$MODULE_DIR" --target sorbek_accel >/dev/null
  (cd "$ROOT" && COLUMNS=400 run_sanitized_python "$PY" -m pytest tests/test_leaks.py -p leak_check \
     -p no:cacheprovider --capture=sys -q -o addopts="" -rfE) >"$1" 2>&1
}

# check ID NAME EXPECTED: builds the planted copy, runs the leak checks, and
# requires a failure whose summary line holds EXPECTED.
check() {
  local log="$WORK/$1.log"
  shift
  if run_checks "$log"; then
    echo "leak self-test: $1: NOT REPORTED (the checks passed; see $log)" >&2
    status=1
  elif grep -E "^(FAILED|ERROR) " "$log" | grep -qF "tests/test_leaks.py::test_no_tracked_object_outlives_a_call[$2"; then
    echo "leak self-test: $1: reported: $(grep -E "^(FAILED|ERROR) " "$log" | head -1 | cut -c1-160)"
  else
    echo "leak self-test: $1: not reported as expected ([$2); see $log" >&2
    tail -20 "$log" >&2
    status=1
  fi
}

# The same build without a plant passes, so that each report below is the plant's.
if run_checks "$WORK/clean.log"; then
  echo "leak self-test: no plant: $(grep -E '^leak_check: ' "$WORK/clean.log")"
else
  echo "leak self-test: the checks fail without a plant; see $WORK/clean.log" >&2
  tail -20 "$WORK/clean.log" >&2
  exit 1
fi

JSON=src/json/json_dumps.cpp
MULTIPART=src/multipart/multipart_sections.cpp
plant "$JSON" "  return json::result_str(out);" "  { static char* volatile planted; planted = new char[16]; }"
check native-success "16 bytes (new) per json_dumps success" "json ok] - Failed: LeakSanitizer"

sync_copy
plant "$MULTIPART" '  if (delimiter->empty()) return CallError::type_error("empty multipart delimiter");' \
  '  if (delimiter->empty()) { static void* volatile planted; planted = PyMem_Malloc(16); }'
check native-error "16 bytes (PyMem_Malloc) per empty-delimiter error" "multipart empty delimiter] - Failed: LeakSanitizer"

sync_copy
plant "$MULTIPART" "    pairs.push(std::move(head_bytes), std::move(payload_bytes));" "    Py_INCREF(head_bytes.get());"
check object-untracked "an extra reference to each head (bytes, never tracked)" "multipart ok] - Failed: LeakSanitizer"

sync_copy
plant "$MULTIPART" "    set_item(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release()));" \
  "    Py_INCREF(tuple.get());"
check object-tuple "an extra reference to each (head, payload) tuple (untracked by the collection)" \
  "multipart ok] - Failed: LeakSanitizer"

sync_copy
plant "$MULTIPART" "  return list;" "  Py_INCREF(list.get());"
check object-tracked "an extra reference to the result list (tracked)" "multipart ok] - AssertionError"

sync_copy  # leaves the copy clean
exit $status
