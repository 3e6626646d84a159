#!/usr/bin/env bash
# Builds the module and the C++ kernel tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), runs the kernel tests, then runs the
# whole pytest suite against the instrumented module inside the ordinary
# interpreter (sanitizer runtime preloaded, PYTHONMALLOC=malloc so that every
# Python allocation goes through the sanitizer's allocator), with
# LeakSanitizer checking between tests (tests/leak/leak_check.py). Then shows
# that those leak checks see this module's leaks (scripts/leak_selftest.sh).
# Any report fails. Arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/sanitizer_env.sh"

sanitizer_setup
BUILD="$ROOT/build/sanitize"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPython_EXECUTABLE="$PY" -DSORBEK_SANITIZE=ON -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$BUILD"

ASAN_RUNTIME="$(asan_runtime)"
ASAN_SYMBOLIZER="$(llvm_symbolizer)"
FRAME_STACK_SHIM="$(frame_stack_shim "$BUILD")"
MODULE_DIR="$BUILD"

echo "== kernel tests under ASan/UBSan"
# No interpreter here: LeakSanitizer checks at exit, as usual.
(cd "$BUILD" && LD_LIBRARY_PATH="$(dirname "$ASAN_RUNTIME")" ASAN_SYMBOLIZER_PATH="$ASAN_SYMBOLIZER" \
  ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  ctest --output-on-failure)

echo "== pytest under ASan/UBSan, leaks checked between tests"
# The interpreter is not instrumented: the runtime is preloaded into it. The
# runtime's reports go to file descriptor 2: only sys-level capture, so that a
# report that aborts the process is not lost with pytest's captured output.
(cd "$ROOT" && run_sanitized_python "$PY" -m pytest tests -p leak_check -p no:cacheprovider --capture=sys -q "$@")

echo "== the leak checks see planted leaks"
bash "$ROOT/scripts/leak_selftest.sh"
