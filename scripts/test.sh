#!/usr/bin/env bash
# Runs every test on a fresh machine: builds the release files into
# build/test-dist exactly as scripts/release.sh builds dist/ (the sdist, the
# x86-64 wheel and the cross-built arm64 wheel, each checked as released,
# imported by an interpreter of its own architecture, and run over fresh short
# strings under valgrind or with a tagged arm64 heap), installs the x86-64
# wheel into CPython 3.12 and 3.13 and runs the pytest suite in each (and once
# more in reverse order), checks that the sdist installs and imports in a
# fresh environment, builds the C++ kernel tests with g++ and the module and
# tests with clang (warnings as errors) and runs them with CTest, runs the
# arm64 kernel tests under qemu and the emulated subset of the suite
# (pytest -m emulated) against the arm64 wheel in Debian's arm64 CPython 3.13,
# the whole suite against the x86-64 wheel in Debian's CPython 3.14, the suite
# under ASan/UBSan, and every fuzz target briefly. Prints each stage's time.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trap 'stage_summary $?' EXIT

stage "set-up: Debian packages, CPython 3.12 and 3.13 environments, JSON corpora"
ensure_system_packages
PY312="$(venv_python 3.12 "$ROOT/requirements-test.txt")"
PY313="$(venv_python 3.13 "$ROOT/requirements-test.txt")"
fetch_corpora "$PY312"

# The release files go to a folder of their own: dist/ keeps what
# scripts/release.sh wrote.
TEST_DIST="$ROOT/build/test-dist"
build_release "$PY312" "$TEST_DIST"
WHEEL="$(ls "$TEST_DIST"/sorbek_accel-*_"$(uname -m)".whl)"
echo "$WHEEL"

for PY in "$PY312" "$PY313"; do
  stage "pytest on $("$PY" -c 'import sys; print(sys.version.split()[0])') against that wheel"
  check_installs "$PY" "$WHEEL"
  (cd "$ROOT" && "$PY" -m pytest tests -p no:cacheprovider -q)
done

stage "pytest on 3.13 again, in reverse order"
(cd "$ROOT" && "$PY313" -m pytest tests -p no:cacheprovider -q --reverse-order)

stage "the sdist installs and imports in a fresh environment"
FRESH="$(mktemp -d)"
"$PY312" -m venv "$FRESH"
check_installs "$FRESH/bin/python" "$(ls "$TEST_DIST"/sorbek_accel-*.tar.gz)"
rm -rf "$FRESH"

# CMake, CTest and Ninja come from the test environment.
export PATH="$(dirname "$PY312"):$PATH"

stage "C++ kernel tests (g++)"
cmake -S "$ROOT" -B "$ROOT/build/test-gcc" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DSORBEK_BUILD_MODULE=OFF -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$ROOT/build/test-gcc"
(cd "$ROOT/build/test-gcc" && ctest --output-on-failure)

stage "module and C++ kernel tests (clang)"
cmake -S "$ROOT" -B "$ROOT/build/test-clang" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$PY312" \
  -DSORBEK_BUILD_MODULE=ON -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
cmake --build "$ROOT/build/test-clang"
(cd "$ROOT/build/test-clang" && ctest --output-on-failure)

stage "configure stops with one message where no build can work"
(cd "$ROOT" && "$PY312" -m pytest tests/configure -p no:cacheprovider -q)

if [ "$(uname -m)" = x86_64 ]; then
  stage "arm64 (NEON) kernel tests, cross-built and run under qemu-user"
  cmake -S "$ROOT" -B "$ROOT/build/test-arm64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DSORBEK_BUILD_MODULE=OFF -DSORBEK_BUILD_TESTS=ON -DSORBEK_WERROR=ON >/dev/null
  cmake --build "$ROOT/build/test-arm64" --target kernel_tests float_sweep >/dev/null
  qemu-aarch64 -L /usr/aarch64-linux-gnu "$ROOT/build/test-arm64/kernel_tests" --gtest_brief=1
  # The short-string window on a tagged heap, where a load from a neighbouring
  # allocation's granule faults. (Only these tests: qemu faults glibc's own
  # memset of large tagged blocks, which other tests make.)
  qemu-aarch64 -cpu max -E GLIBC_TUNABLES=glibc.mem.tagging=3 -L /usr/aarch64-linux-gnu \
    "$ROOT/build/test-arm64/kernel_tests" --gtest_brief=1 --gtest_filter='*ShortRun*'
  qemu-aarch64 -L /usr/aarch64-linux-gnu "$ROOT/build/test-arm64/float_sweep" 200000

  # The arm64 wheel is installed there by build_release. pytest rewrites the
  # asserts of every module of a plugin's distribution (all of hypothesis),
  # minutes under emulation: plugins are not autoloaded, hypothesis's is named.
  # Bytecode is written, so a second run reuses the rewritten tests.
  stage "arm64 wheel in CPython 3.13 under qemu: pytest -m emulated"
  (cd "$ROOT" && env -u PYTHONDONTWRITEBYTECODE PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 SORBEK_EMULATED=1 \
    PYTHONPATH="$ARM64_ROOT/opt/test-tools" "$ARM64_PYTHON" -m pytest tests -m emulated \
    -p _hypothesis_pytestplugin -p no:cacheprovider -q)

  stage "CPython 3.14 sysroot (Debian sid, reused if present)"
  sid_sysroot "$PY312"
  stage "x86-64 wheel in CPython 3.14 (chroot): the whole suite"
  install_into_sysroot "$PY312" "$SID_ROOT" 3.14 "$WHEEL"
  in_sid /usr/bin/python3.14 -c "$IMPORT_CHECK"
  in_sid /usr/bin/python3.14 -m pytest tests -p no:cacheprovider -q
fi

stage "the whole suite against an ASan/UBSan build"
bash "$ROOT/scripts/sanitize.sh"

stage "fuzz targets, smoke run"
bash "$ROOT/scripts/fuzz.sh" "${SORBEK_FUZZ_SECONDS:-10}"
