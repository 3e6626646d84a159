"""Failing the interpreter's allocations one at a time, in a subprocess: every
outcome must be the right result, MemoryError, or PanicException("PyObject
pointer is null"); never a crash or a wrong result."""

import pytest

from conftest import run_python

try:
    import _testcapi

    HAS_TESTCAPI = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_TESTCAPI = False

pytestmark = pytest.mark.skipif(not HAS_TESTCAPI, reason="interpreter built without _testcapi.set_nomemory")

SWEEP = """
import sys, _testcapi, sorbek_accel
from collections import Counter

def attempt(fn, k):
    try:
        _testcapi.set_nomemory(k, k + 1)
        try:
            result = fn()
        finally:
            _testcapi.remove_mem_hooks()
        return ("ok", result)
    except MemoryError:
        return ("MemoryError", None)
    except BaseException as e:
        return (type(e).__name__ + ":" + str(e), None)

unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
outcomes = Counter()
for name, fn in CASES:
    try:
        expected = ("ok", fn())
    except BaseException as e:
        expected = (type(e).__name__ + ":" + str(e), None)
    for k in range(1, LIMIT):
        got = attempt(fn, k)
        if got[0] == "ok" and expected[0] == "ok":
            assert got[1] == expected[1], (name, k)
            outcomes["ok"] += 1
        elif got[0] in ("MemoryError", "PanicException:PyObject pointer is null") or got == expected:
            outcomes[got[0]] += 1
        elif got[0] == "SystemError:error return without exception set":
            # The interpreter's own exception machinery after the call returned
            # (a pure-Python raise shows it too); the boundary never returns
            # NULL without an exception, it raises PanicException instead.
            outcomes["interpreter SystemError"] += 1
        elif got[0] == "TypeError:'<failed to extract type name>' object is not an instance of 'bytes'":
            outcomes["type name unreadable"] += 1  # the documented stand-in when the name cannot be read
        else:
            raise SystemExit(f"{name}: allocation {k}: {got[0]!r}, expected {expected[0]!r}")
print(dict(outcomes), set(unraisable))
"""


def run_sweep(cases: str, limit: int):
    result = run_python(cases + f"\nLIMIT = {limit}\n" + SWEEP, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_multipart_allocation_failures():
    out = run_sweep(
        """
import sorbek_accel
body = b"--b\\r\\nH: 1\\r\\n\\r\\n" + b"x" * 50 + b"\\r\\n" + b"--b\\r\\nH\\r\\n\\r\\nv" * 40 + b"--b--"
CASES = [
    ("ok", lambda: sorbek_accel.multipart_sections(body, b"--b")),
    ("bad body", lambda: sorbek_accel.multipart_sections(bytearray(b"x"), b"--b")),
    ("empty delimiter", lambda: sorbek_accel.multipart_sections(body, b"")),
    ("binding", lambda: sorbek_accel.multipart_sections(body, b"--b", **{"x\\ud800": 1})),
]
""",
        400,
    )
    assert "PanicException:PyObject pointer is null" in out
    assert "MemoryError" in out


def test_json_allocation_failures():
    out = run_sweep(
        """
import sorbek_accel
tree = {"k%d" % i: ["é" * i, i * 1.5, None, {"n": -i}] for i in range(30)}
CASES = [
    ("ok", lambda: sorbek_accel.json_dumps(tree)),
    ("big", lambda: sorbek_accel.json_dumps(["x" * 5000] * 20)),
    ("unsupported", lambda: sorbek_accel.json_dumps([1, {2}])),
    ("surrogate", lambda: sorbek_accel.json_dumps({"a": "\\ud800"})),
]
""",
        300,
    )
    assert "MemoryError" in out


def test_interpreter_itself_reports_system_error_under_nomemory():
    """Grounds the SystemError allowance above: a pure-Python raise, run by
    the same harness, gets it too."""
    out = run_sweep(
        """
def raise_with_note():
    e = TypeError("'bytearray' object is not an instance of 'bytes'")
    e.add_note("while processing 'body'")
    raise e
CASES = [("pure Python", raise_with_note)]
""",
        30,
    )
    assert "interpreter SystemError" in out
