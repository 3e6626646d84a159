# Shared by scripts/sanitize.sh and scripts/leak_selftest.sh (sourced after
# common.sh): the sanitizer runtime to preload and the environment in which
# the pytest suite runs against an ASan/UBSan build of the module.

# The set-up both sanitizer scripts start with: Debian packages, and the
# CPython 3.12 test environment (its CMake and Ninja first on PATH); sets PY.
sanitizer_setup() {
  ensure_system_packages
  PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
  export PATH="$(dirname "$PY"):$PATH"
}

# Prints the path of clang's shared ASan runtime for this machine's architecture.
asan_runtime() {
  local name runtime
  name="libclang_rt.asan-$(uname -m).so"
  runtime="$(clang++ -print-file-name="$name")"
  # clang prints the bare name back when it has no such file.
  if [ ! -f "$runtime" ]; then
    echo "error: clang has no $name" >&2
    return 1
  fi
  echo "$runtime"
}

# Prints the path of llvm-symbolizer, which LeakSanitizer needs to match its
# suppressions (they name functions); installs it when missing (as root).
llvm_symbolizer() {
  local beside_clang
  beside_clang="$(dirname "$(readlink -f "$(command -v clang++)")")/llvm-symbolizer"
  if [ ! -x "$beside_clang" ] && ! command -v llvm-symbolizer >/dev/null 2>&1; then
    if [ "$(id -u)" != 0 ]; then
      echo "error: llvm-symbolizer not found (install the Debian package llvm as root)" >&2
      return 1
    fi
    echo "installing llvm" >&2
    apt_install llvm
  fi
  if [ -x "$beside_clang" ]; then echo "$beside_clang"; else command -v llvm-symbolizer; fi
}

# Builds the library that gives the interpreter's frame stack to malloc
# (tests/leak/frame_stack_malloc.c) into directory $1; prints its path.
frame_stack_shim() {
  local out="$1/frame_stack_malloc.so"
  clang -shared -fPIC -O2 -Wall -Wextra -Werror -o "$out" "$ROOT/tests/leak/frame_stack_malloc.c" -ldl
  echo "$out"
}

# Runs the interpreter $1 with the rest of the arguments, in the environment
# of the leak-checked suite: the ASan runtime ($ASAN_RUNTIME) and the frame
# stack shim ($FRAME_STACK_SHIM) preloaded, every Python allocation through the
# sanitizer's malloc, LeakSanitizer on but not at exit (tests/leak/leak_check.py
# checks between tests instead), and tests/leak on the path for that plugin.
# Subprocesses of the tests inherit all of it but the checks between tests.
# Module directory: $MODULE_DIR; symbolizer: $ASAN_SYMBOLIZER.
run_sanitized_python() {
  local python="$1"
  shift
  LD_PRELOAD="$ASAN_RUNTIME $FRAME_STACK_SHIM" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_leaks=1" \
    LSAN_OPTIONS="leak_check_at_exit=0:suppressions=$ROOT/scripts/lsan-python.supp:print_suppressions=0" \
    ASAN_SYMBOLIZER_PATH="$ASAN_SYMBOLIZER" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    PYTHONPATH="$MODULE_DIR:$ROOT/tests/leak" SORBEK_SANITIZED=1 \
    "$python" "$@"
}
