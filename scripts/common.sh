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

# Builds the abi3 wheel once (with g++, warnings as errors); prints its path.
build_wheel() {
  local python="$1"
  rm -rf "$DIST"
  "$python" -m pip wheel --quiet --no-deps --wheel-dir "$DIST" \
      -C cmake.define.SORBEK_WERROR=ON "$ROOT" >&2 || return 1
  ls "$DIST"/sorbek_accel-*-cp312-abi3-*.whl
}
