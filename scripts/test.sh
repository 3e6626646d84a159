#!/usr/bin/env bash
# Runs every test on a fresh machine: builds the sdist and from it the wheel
# exactly as a release does (g++, warnings as errors, tagged by auditwheel)
# and checks them as a release is checked (abi3audit, exports, manylinux tags
# no newer than manylinux_2_28, metadata), installs that wheel into CPython
# 3.12 and 3.13 and runs the pytest suite in each (and once more in reverse
# order), checks that the sdist installs and imports in a fresh environment,
# then builds the C++ kernel tests with g++ and the module and tests with
# clang (warnings as errors) and runs them with CTest, the arm64 kernel tests
# under qemu, the arm64 wheel's checks, the suite under ASan/UBSan, and every
# fuzz target briefly.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
PY312="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
PY313="$(venv_python 3.13 "$ROOT/requirements-test.txt")"

echo "== building and checking the release files, as scripts/release.sh does"
WHEEL="$(build_release "$PY312")"
echo "$WHEEL"

for PY in "$PY312" "$PY313"; do
  echo "== pytest on $("$PY" -c 'import sys; print(sys.version.split()[0])') against that wheel"
  check_installs "$PY" "$WHEEL"
  (cd "$ROOT" && "$PY" -m pytest tests -p no:cacheprovider -q)
done

echo "== pytest on 3.13 again, in reverse order"
(cd "$ROOT" && "$PY313" -m pytest tests -p no:cacheprovider -q --reverse-order)

echo "== the sdist installs and imports in a fresh environment"
FRESH="$(mktemp -d)"
"$PY312" -m venv "$FRESH"
check_installs "$FRESH/bin/python" "$(ls "$DIST"/sorbek_accel-*.tar.gz)"
rm -rf "$FRESH"

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
  echo "== arm64 wheel: cross-built and checked as a release, not imported"
  check_arm64_wheel "$PY312"
fi

echo "== the whole suite against an ASan/UBSan build"
bash "$ROOT/scripts/sanitize.sh"

echo "== fuzz targets, smoke run"
bash "$ROOT/scripts/fuzz.sh" "${SORBEK_FUZZ_SECONDS:-10}"
