"""Where the module cannot be built, configure stops with one message that
names what is supported and says that the framework's pure-Python path
serves. Each case is simulated in a real configure run of this tree: another
target system through CMAKE_SYSTEM_NAME (as a cross build sets it), other
interpreters by a stand-in that answers the one question the check asks, a
compiler without C++20 by a wrapper that refuses -std=c++20 as g++ 9 does,
and a machine without a compiler by a search that sees none.
Run by scripts/test.sh as `pytest tests/configure` (not part of `pytest tests`)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
CMAKE = shutil.which("cmake", path=os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")]))

NINJA = CMAKE and shutil.which("ninja", path=str(pathlib.Path(CMAKE).parent))

pytestmark = pytest.mark.skipif(not (CMAKE and NINJA and shutil.which("g++")), reason="needs cmake, ninja beside it, and g++")

SUPPORTED = "It builds on Linux, for CPython 3.12 or later with the GIL"
SERVES = "Nothing is lost: the framework's pure-Python path serves here."


def stand_in(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


def interpreter(answer):
    return lambda tmp_path: ["-DPython_EXECUTABLE=" + stand_in(tmp_path, "python3", f"#!/bin/sh\necho '{answer}'\n")]


def old_compiler(tmp_path):
    wrapper = stand_in(tmp_path, "g++-9", """#!/bin/sh
for arg in "$@"; do
  case "$arg" in
    -std=c++20|-std=gnu++20) echo "g++: error: unrecognized command-line option '$arg'; did you mean '-std=c++2a'?" >&2; exit 1 ;;
  esac
done
exec g++ "$@"
""")
    return ["-DCMAKE_CXX_COMPILER=" + wrapper, "-DPython_EXECUTABLE=" + sys.executable]


def no_compiler(tmp_path):
    # Only the build tools' folder on PATH, and the system's folders ignored.
    return ["-G", "Ninja", "-DCMAKE_IGNORE_PATH=/usr/bin;/bin;/usr/local/bin;/usr/sbin;/sbin"]


CASES = {
    "macOS": (lambda tmp_path: ["-DCMAKE_SYSTEM_NAME=Darwin"], "the target system is Darwin, not Linux"),
    "Windows": (lambda tmp_path: ["-DCMAKE_SYSTEM_NAME=Windows"], "the target system is Windows, not Linux"),
    "free-threaded": (interpreter("cpython 3.13 1"), "the interpreter is a free-threaded CPython 3.13"),
    "CPython 3.11": (interpreter("cpython 3.11 0"), "the interpreter is CPython 3.11, older than 3.12"),
    "PyPy": (interpreter("pypy 3.11 0"), "the interpreter is pypy 3.11, not CPython"),
    "no C++20": (old_compiler, "the C++ compiler (GNU "),
    "no compiler": (no_compiler, "no C++ compiler was found"),
}


def configure(tmp_path, options):
    env = dict(os.environ)
    if "-G" in options:  # the no-compiler case
        env.pop("CXX", None)
        env["PATH"] = str(pathlib.Path(CMAKE).parent)
    else:
        options = ["-DCMAKE_CXX_COMPILER=g++", *options]
    return subprocess.run([CMAKE, "-S", str(SOURCE), "-B", str(tmp_path / "build"), *options],
                          capture_output=True, text=True, timeout=300, env=env)


@pytest.mark.parametrize("case", CASES)
def test_configure_stops_with_one_message(tmp_path, case):
    options, reason = CASES[case]
    result = configure(tmp_path, options(tmp_path))
    assert result.returncode != 0
    text = " ".join(result.stderr.split())  # CMake wraps message lines
    assert result.stderr.count("CMake Error") == 1, result.stderr
    assert f"sorbek_accel cannot be built here: {reason}" in text, result.stderr
    if case == "no C++20":
        assert ") cannot compile C++20 (concepts, std::span, std::bit_cast)." in text
    assert SUPPORTED in text and SERVES in text


def test_supported_interpreter_and_compiler_configure():
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        result = configure(pathlib.Path(tmp), ["-DPython_EXECUTABLE=" + sys.executable])
    assert result.returncode == 0, result.stderr
    assert "cannot be built here" not in result.stderr
