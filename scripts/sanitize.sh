#!/usr/bin/env bash
# Builds the module and the C++ kernel tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), runs the kernel tests, then runs the
# whole pytest suite against the instrumented module inside the ordinary
# interpreter (sanitizer runtime preloaded, PYTHONMALLOC=malloc so that every
# Python allocation goes through the sanitizer's allocator). Any report fails.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
PY="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
export PATH="$(dirname "$PY"):$PATH"
BUILD="$ROOT/build/sanitize"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPython_EXECUTABLE="$PY" -DSORBEK_SANITIZE=ON -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$BUILD"

RUNTIME="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)"
export ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_leaks=1"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-python.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

echo "== kernel tests under ASan/UBSan"
(cd "$BUILD" && LD_LIBRARY_PATH="$(dirname "$RUNTIME")" ctest --output-on-failure)

echo "== pytest under ASan/UBSan"
# The interpreter is not instrumented: preload the runtime into it. Test
# subprocesses inherit the environment and run instrumented too.
(cd "$ROOT" && LD_PRELOAD="$RUNTIME" PYTHONMALLOC=malloc PYTHONPATH="$BUILD" SORBEK_SANITIZED=1 \
  "$PY" -m pytest tests -p no:cacheprovider -q "$@")
