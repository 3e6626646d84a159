#!/usr/bin/env bash
# Runs every test on a fresh machine: builds the abi3 wheel once (g++,
# warnings as errors), checks its exports and ABI, installs it into CPython
# 3.12 and 3.13 and runs the pytest suite in each (and once more in reverse
# order), then builds the C++ kernel tests with g++ and the module and tests
# with clang (warnings as errors) and runs them with CTest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
PY312="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
PY313="$(venv_python 3.13 "$ROOT/requirements-test.txt")"

echo "== building the wheel"
WHEEL="$(build_wheel "$PY312")"
echo "$WHEEL"

echo "== abi3audit"
"$PY312" -m abi3audit --strict --report "$WHEEL"

echo "== exported symbols"
SO_LIST="$(mktemp -d)"
"$PY312" -m zipfile -e "$WHEEL" "$SO_LIST"
EXPORTS="$(nm -D --defined-only "$SO_LIST"/sorbek_accel.abi3.so | awk '{print $NF}')"
rm -rf "$SO_LIST"
if [ "$EXPORTS" != "PyInit_sorbek_accel" ]; then
  echo "error: unexpected exported symbols:" >&2
  echo "$EXPORTS" >&2
  exit 1
fi
echo "$EXPORTS"

for PY in "$PY312" "$PY313"; do
  echo "== pytest on $("$PY" -c 'import sys; print(sys.version.split()[0])')"
  "$PY" -m pip install --quiet --force-reinstall --no-deps "$WHEEL"
  (cd "$ROOT" && "$PY" -m pytest tests -p no:cacheprovider -q)
done

echo "== pytest on 3.13 again, in reverse order"
(cd "$ROOT" && "$PY313" -m pytest tests -p no:cacheprovider -q --reverse-order)

# CMake, CTest and Ninja come from the test environment.
export PATH="$(dirname "$PY312"):$PATH"

echo "== C++ kernel tests (g++)"
cmake -S "$ROOT" -B "$ROOT/build/test-gcc" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DSORBEK_BUILD_MODULE=OFF -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$ROOT/build/test-gcc"
(cd "$ROOT/build/test-gcc" && ctest --output-on-failure)

echo "== module and C++ kernel tests (clang)"
cmake -S "$ROOT" -B "$ROOT/build/test-clang" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$PY312" \
  -DSORBEK_BUILD_MODULE=ON -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$ROOT/build/test-clang"
(cd "$ROOT/build/test-clang" && ctest --output-on-failure)

if [ "$(uname -m)" = x86_64 ]; then
  echo "== arm64 (NEON) kernel tests, cross-built and run under qemu-user"
  cmake -S "$ROOT" -B "$ROOT/build/test-arm64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DSORBEK_BUILD_MODULE=OFF -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
  cmake --build "$ROOT/build/test-arm64" --target kernel_tests float_sweep >/dev/null
  qemu-aarch64 -L /usr/aarch64-linux-gnu "$ROOT/build/test-arm64/kernel_tests" --gtest_brief=1
  qemu-aarch64 -L /usr/aarch64-linux-gnu "$ROOT/build/test-arm64/float_sweep" 200000
fi

echo "== the whole suite against an ASan/UBSan build"
bash "$ROOT/scripts/sanitize.sh"

echo "== fuzz targets, smoke run"
bash "$ROOT/scripts/fuzz.sh" "${SORBEK_FUZZ_SECONDS:-10}"
