import importlib
import inspect
import sys

import sorbek_accel
from conftest import run_python


def test_module_attributes():
    assert sorbek_accel.__all__ == ["json_dumps", "multipart_sections"]
    assert type(sorbek_accel.__all__) is list
    assert sorbek_accel.__doc__ == ""
    for name in sorbek_accel.__all__:
        function = getattr(sorbek_accel, name)
        assert function.__name__ == name
        assert function.__module__ == sorbek_accel.__name__


def test_signatures_and_docstrings():
    assert str(inspect.signature(sorbek_accel.json_dumps)) == "(value)"
    assert str(inspect.signature(sorbek_accel.multipart_sections)) == "(body, delimiter)"
    assert sorbek_accel.json_dumps.__text_signature__ == "(value)"
    assert sorbek_accel.multipart_sections.__text_signature__ == "(body, delimiter)"
    doc = sorbek_accel.json_dumps.__doc__
    assert doc.startswith("Compact JSON matching `json.dumps(x, ensure_ascii=False, separators=(\",\", \":\"))`\n")
    assert doc.endswith("str-keyed dict.")
    assert "--" not in doc.splitlines()
    mdoc = sorbek_accel.multipart_sections.__doc__
    assert mdoc.startswith("Multipart section splitting matching `sorbek.formdata._py_sections`\n")
    assert "stays in Python \u2014 this only trades" in mdoc
    assert mdoc.endswith("single copy per head/payload.")
    assert len(mdoc.splitlines()) == 7


def test_reimport_gives_new_objects():
    first = sys.modules["sorbek_accel"]
    try:
        del sys.modules["sorbek_accel"]
        second = importlib.import_module("sorbek_accel")
        assert second is not first
        assert second.json_dumps is not first.json_dumps
        assert second.__all__ is not first.__all__
        assert second.__all__ == ["json_dumps", "multipart_sections"]
        assert second.json_dumps([1]) == "[1]"
    finally:
        sys.modules["sorbek_accel"] = first


def test_refused_by_interpreters_with_a_gil_of_their_own():
    """The output storage kept between calls is shared without a lock, which
    only one GIL for all the interpreters that load the module makes safe."""
    result = run_python("""
        import os
        try:
            import _interpreters as interpreters
        except ImportError:  # 3.12
            import _xxsubinterpreters as interpreters
        read, write = os.pipe()
        code = (
            "import os\\n"
            "try:\\n"
            "    import sorbek_accel\\n"
            f"    os.write({write}, b'loaded')\\n"
            "except ImportError:\\n"
            f"    os.write({write}, b'refused')\\n"
        )
        interpreters.run_string(interpreters.create(), code)
        print(os.read(read, 16).decode())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"


def test_type_stub_is_installed_beside_the_module():
    import pathlib

    stub = pathlib.Path(sorbek_accel.__file__).with_name("sorbek_accel.pyi")
    assert stub.exists()
    assert "def multipart_sections(body: bytes, delimiter: bytes)" in stub.read_text()


def test_only_the_init_symbol_is_exported():
    import shutil
    import subprocess

    import pytest

    if shutil.which("nm") is None:
        pytest.skip("nm not available")
    out = subprocess.run(["nm", "-D", "--defined-only", sorbek_accel.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_sorbek_accel"]


# PanicException can only be provoked by a fault; making the interpreter fail
# to allocate a result object is the one reachable from Python.
PANIC_SCRIPT = """
import sys, _testcapi, sorbek_accel
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
body = b"--b\\r\\nH: 1\\r\\n\\r\\n" + b"x" * 50 + b"\\r\\n--b--"
def split_failing(k):
    _testcapi.set_nomemory(k, k + 1)
    try:
        sorbek_accel.multipart_sections(body, b"--b")
    finally:
        _testcapi.remove_mem_hooks()
for k in range(1, 200):
    try:
        split_failing(k)
    except MemoryError:
        continue
    except Exception:
        print("caught by except Exception")
        raise
    except BaseException as e:
        t = type(e)
        print(t.__module__, t.__name__, t.__qualname__, t.__mro__[1] is BaseException, repr(str(e)), unraisable)
        print(repr(t.__doc__))
        again = None
        try:
            split_failing(k)
        except BaseException as e2:
            again = type(e2)
        print("same type", again is t or again is MemoryError)
        break
else:
    print("no fault provoked")
"""


def test_panic_exception_properties():
    import pytest

    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("interpreter built without _testcapi")
    result = run_python(PANIC_SCRIPT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "pyo3_runtime PanicException PanicException True 'PyObject pointer is null' ['MemoryError']"
    doc = eval(lines[1])
    assert doc.startswith("\n") and doc.endswith("\nPython interpreter to exit.\n")
    assert "Like SystemExit, this exception is derived from BaseException so that\n" in doc
    assert lines[2] == "same type True"


def test_mypy_reads_the_stub():
    import importlib.util
    import subprocess
    import sys

    import pytest

    if importlib.util.find_spec("mypy") is None or importlib.util.find_spec("sorbek_accel-stubs") is None:
        pytest.skip("needs mypy and the installed wheel's stub package")
    code = "import sorbek_accel\nreveal_type(sorbek_accel.multipart_sections)\nx: int = sorbek_accel.json_dumps(1)\n"
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "-c", code], capture_output=True, text=True)
    assert 'def (body: builtins.bytes, delimiter: builtins.bytes) -> builtins.list[tuple[builtins.bytes, builtins.bytes]]' in out.stdout or \
        "def (body: bytes, delimiter: bytes) -> list[tuple[bytes, bytes]]" in out.stdout, out.stdout
    assert 'expression has type "str", variable has type "int"' in out.stdout
