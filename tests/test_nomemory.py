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
import gc, sys, tracemalloc, _testcapi, sorbek_accel
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

def sweep(outcomes):
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

outcomes = Counter()
sweep(outcomes)           # first pass: warms every cache
gc.collect()
tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
sweep(Counter())          # second pass: must not leak
gc.collect()
growth = tracemalloc.get_traced_memory()[0] - before
tracemalloc.stop()
print(dict(outcomes), sorted(set(unraisable)), "points", sum(outcomes.values()), "growth", growth)
assert growth < 64 * 1024, growth
"""


def run_sweep(cases: str, limit: int):
    result = run_python(f"LIMIT = {limit}\n" + cases + SWEEP, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    print(result.stdout)  # the outcome counts, shown with pytest -s
    return result.stdout


def test_multipart_allocation_failures():
    out = run_sweep(
        """
import sorbek_accel
body = b"--b\\r\\nH: 1\\r\\n\\r\\n" + b"x" * 50 + b"\\r\\n" + b"--b\\r\\nH\\r\\n\\r\\nv" * 40 + b"--b--"
CASES = [
    ("ok", lambda: sorbek_accel.multipart_sections(body, b"--b")),
    ("many pairs", lambda: sorbek_accel.multipart_sections(b"--b\\r\\nH\\r\\n\\r\\nv" * 300, b"--b")),
    ("bad body", lambda: sorbek_accel.multipart_sections(bytearray(b"x"), b"--b")),
    ("bad delimiter", lambda: sorbek_accel.multipart_sections(body, None)),
    ("empty delimiter", lambda: sorbek_accel.multipart_sections(body, b"")),
    ("missing", lambda: sorbek_accel.multipart_sections(body)),
    ("too many", lambda: sorbek_accel.multipart_sections(body, b"-", b"-")),
    ("binding", lambda: sorbek_accel.multipart_sections(body, b"--b", **{"x\\ud800": 1})),
]
""",
        700,
    )
    assert "PanicException:PyObject pointer is null" in out
    assert "MemoryError" in out


def test_json_allocation_failures():
    out = run_sweep(
        """
import sorbek_accel
import json
tree = {"k%d" % i: ["é" * i, i * 1.5, None, {"n": -i}] for i in range(30)}
text = json.dumps(tree)
# Fresh trees each call: their non-ASCII strings must still build their UTF-8
# form, which allocates.
fresh_trees = [json.loads(text) for _ in range(2 * LIMIT + 4)]
CASES = [
    ("ok", lambda: sorbek_accel.json_dumps(tree)),
    ("fresh strings", lambda: sorbek_accel.json_dumps(fresh_trees.pop())),
    ("big", lambda: sorbek_accel.json_dumps(["x" * 5000] * 20)),
    ("unsupported", lambda: sorbek_accel.json_dumps([1, {2}])),
    ("int range", lambda: sorbek_accel.json_dumps([2**70])),
    ("key", lambda: sorbek_accel.json_dumps({"a": {1: 2}})),
    ("surrogate", lambda: sorbek_accel.json_dumps({"a": "\\ud800"})),
    ("missing", lambda: sorbek_accel.json_dumps()),
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
