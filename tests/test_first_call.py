"""Each error outcome as the very first call of the module in a new
interpreter: whatever the process makes once must already be there, and
making it must never replace the real error or end the process."""

import platform
import subprocess
import sys

import pytest

from conftest import run_python

# A million levels, far beyond the recursion limit.
DEEP = "v = None\nfor _ in range(1_000_000):\n    v = {wrap}\n"
AT_900 = "def at_900(x):\n    for _ in range(900):\n        x = [x]\n    return x\n"

# (case id, set-up code, the call, expected exception type, expected message or None)
CASES = [
    ("deep list", DEEP.format(wrap="[v]"), "json_dumps(v)", "RecursionError", None),
    ("deep dict", DEEP.format(wrap='{"k": v}'), "json_dumps(v)", "RecursionError", None),
    ("deep tuple", DEEP.format(wrap="(v,)"), "json_dumps(v)", "RecursionError", None),
    ("list in itself", "v = []\nv.append(v)\n", "json_dumps(v)", "RecursionError", None),
    ("dict in its list", "v = {}\nv['l'] = [v]\n", "json_dumps(v)", "RecursionError", None),
    ("surrogate", "", "json_dumps('\\ud800')", "UnicodeEncodeError", None),
    ("surrogate at 900", AT_900, "json_dumps(at_900('\\ud800'))", "UnicodeEncodeError", None),
    ("surrogate key at 900", AT_900, "json_dumps(at_900({'\\udfff': 1}))", "UnicodeEncodeError", None),
    ("unsupported", "", "json_dumps({1})", "TypeError", "unsupported type for the accelerator"),
    ("unsupported at 900", AT_900, "json_dumps(at_900(b'x'))", "TypeError", "unsupported type for the accelerator"),
    ("int range", "", "json_dumps(2**64)", "TypeError", "int out of accelerator range"),
    ("int range at 900", AT_900, "json_dumps(at_900(-2**63 - 1))", "TypeError", "int out of accelerator range"),
    ("float range", "", "json_dumps(float('nan'))", "TypeError", "float outside accelerator range"),
    ("float range at 900", AT_900, "json_dumps(at_900(1e16))", "TypeError", "float outside accelerator range"),
    ("key", "", "json_dumps({1: 2})", "TypeError", "dict keys must be str for the accelerator"),
    ("key at 900", AT_900, "json_dumps(at_900({None: 2}))", "TypeError", "dict keys must be str for the accelerator"),
    ("json_dumps arguments", "", "json_dumps(1, x=2)", "TypeError",
     "json_dumps() got an unexpected keyword argument 'x'"),
    ("multipart_sections arguments", "", "multipart_sections('x', b'--b')", "TypeError",
     "'str' object is not an instance of 'bytes' | while processing 'body'"),
    ("empty delimiter", "", "multipart_sections(b'', b'')", "TypeError", "empty multipart delimiter"),
    ("no memory", "import _testcapi\nbody = b'--b\\r\\nH\\r\\n\\r\\n' + b'x' * 100_000\n",
     "(_testcapi.set_nomemory(1, 0), multipart_sections(body, b'--b'))", "MemoryError", None),
]

# The allocation hooks are removed before anything else in the handler: an
# import there allocates, and 3.14 aborts when its error cannot be printed.
FIRST_CALL = """
try:
    from _testcapi import remove_mem_hooks
except ImportError:
    def remove_mem_hooks():
        pass
{setup}
from sorbek_accel import json_dumps, multipart_sections
try:
    {call}
except BaseException as e:
    remove_mem_hooks()
    notes = getattr(e, "__notes__", None)
    print(type(e).__name__)
    print(str(e) + "".join(" | " + note for note in notes or ()))
else:
    print("no exception")
"""


@pytest.mark.parametrize("setup,call,kind,message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_error_as_first_call_in_a_fresh_process(setup, call, kind, message):
    if kind == "MemoryError":
        pytest.importorskip("_testcapi")
    result = run_python(FIRST_CALL.format(setup=setup, call=call))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == kind, result.stdout + result.stderr
    if message is not None:
        assert lines[1] == message


# A __repr__ that calls json_dumps inside repr() of a nested list: near the
# interpreter's recursion limit the call's first error must still be its own.
NEAR_LIMIT = """
import sys
sys.setrecursionlimit(100_000)
from sorbek_accel import json_dumps
class R:
    def __repr__(self):
        {inner}
v = R()
for _ in range({depth}):
    v = [v]
try:
    repr(v)
except BaseException as e:
    print(type(e).__name__)
"""


def repr_outcome(depth: int, inner: str) -> str:
    result = run_python(NEAR_LIMIT.format(depth=depth, inner=inner))
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.fixture(scope="module")
def repr_depth_limit() -> int:
    """The least nesting at which repr() itself hits the recursion limit."""
    low, high = 1, 1 << 17
    assert repr_outcome(high, "raise ValueError") == "RecursionError"
    while high - low > 1:
        mid = (low + high) // 2
        if repr_outcome(mid, "raise ValueError") == "RecursionError":
            high = mid
        else:
            low = mid
    return high


@pytest.mark.parametrize("offset", range(-12, 4))
def test_first_error_near_the_recursion_limit(repr_depth_limit, offset):
    outcome = repr_outcome(repr_depth_limit + offset, "json_dumps('\\ud800')")
    assert outcome in ("UnicodeEncodeError", "RecursionError")


def test_fault_type_is_made_once_per_process():
    result = run_python(
        """
        import gc, importlib, sys
        import sorbek_accel
        del sys.modules["sorbek_accel"]
        importlib.import_module("sorbek_accel")
        print(sum(isinstance(o, type) and o.__qualname__ == "PanicException" for o in gc.get_objects()))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1"


def test_small_ints_as_first_call_in_a_fresh_process():
    """The shared int objects from -5 to 256 are found once, at import, by
    their addresses: each must be written as its own value from the first
    call on, and ints of other values and of subclasses as theirs."""
    result = run_python(
        """
        import json
        from sorbek_accel import json_dumps
        class I(int):
            pass
        ints = list(range(-7, 259))
        v = [ints, {str(i): i for i in ints}, [I(i) for i in (-5, 0, 1, 256)], [True, False, 2**40]]
        print(json_dumps(v) == json.dumps(v, separators=(",", ":")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


@pytest.mark.parametrize(
    "tree",
    [
        "[1.5, [None, True], (2, 'x'), [], ()]",
        "(L([1, (2, 3)]), T((4, [5])), L(), T())",
        "[list(range(1000)), tuple(map(str, range(300)))]",
        "[0.5, -0.0, 1e15, -123.456, F(2.5), (F(-1.25e-3), 0.0001)]",
        "['ascii', '', 'caf\\xe9', '\\u4e2d', '\\U0001f600', 'q\"\\\\\\n', 'x' * 5000,"
        " S('sub'), S('caf\\xe9'), {'key': 'value', S('sub key'): 'caf\\xe9'}]",
        "[n * s for n in (0, 257, 2**30 - 1, 2**30, 2**60 - 1, 2**60, 2**63 - 1) for s in (1, -1)]"
        " + [-2**63, I(2**40), I(-300), True, False]",
        "[{}, {'a': 1, 'b': [2]}, D(x=1.5, y='z'), OrderedDict(b=1, a=2), vars(P()),"
        " {f'k{i}': i for i in range(1000)}, without({'a': 1, 'b': 2, 'c': 3}, 'b')]",
    ],
    ids=["lists and tuples", "subclasses", "long", "floats", "strings", "ints", "dicts"],
)
def test_read_in_place_as_first_call_in_a_fresh_process(tree):
    """Where lists and tuples keep their items, dicts their entries, floats
    and ints their values and ASCII strings their text is found once, at
    import: from the first call on, each must be read as itself, of exact
    types and of subclasses alike (an object's attributes: a dict whose
    values are kept apart from its keys)."""
    result = run_python(
        f"""
        import json
        from sorbek_accel import json_dumps
        class L(list):
            pass
        class T(tuple):
            pass
        class F(float):
            pass
        class S(str):
            pass
        class I(int):
            pass
        class D(dict):
            pass
        class P:
            def __init__(self):
                self.a, self.b = 1, "two"
        def without(d, key):
            del d[key]
            d["end"] = 0
            return d
        from collections import OrderedDict
        v = {tree}
        print(json_dumps(v) == json.dumps(v, ensure_ascii=False, separators=(",", ":")))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"



@pytest.mark.parametrize(
    "texts",
    [
        "['ab', 'x\\n\"' * 7, 'y' * 70000, {'k': [1, 2.5, None, 'z' * 600]}]",
        "['\\xe9', 'caf\\xe9' * 1000, 'x' * 4100 + '\\xff', '\\xa0\\n\"' * 7]",
        "['\\u0100', '\\u4e2d\\u6587' * 3000, 'a\\u0416' * 5000, '\\u20ac' + 'x' * 70000, '\\u4e2d\\t' * 9,"
        " {'\\xe9': '\\u4e2d', 'k': ['\\uffff', '\\u0800', '\\u07ff']}]",
        "['\\U0001f600', 'a\\U0001f600' * 3000, '\\U0010ffff\\u4e2d\\xe9x\\n' * 50, {'k': '\\U00010000' + 'x' * 5000}]",
    ],
    ids=["ascii", "latin1", "ucs2", "ucs4"],
)
def test_str_written_in_place_as_first_call_in_a_fresh_process(texts):
    """Where a result str's characters go is found once, at import: from the
    first call on, each result must be the str CPython makes of the same
    text (equal, which compares widths too; the same hash and UTF-8), and
    the one-character strs it is made from must stay themselves."""
    result = run_python(
        f"""
        import json
        from sorbek_accel import json_dumps
        texts = {texts}
        for v in texts + [texts]:
            got, want = json_dumps(v), json.dumps(v, ensure_ascii=False, separators=(",", ":"))
            assert got == want and hash(got) == hash(want) and got.encode() == want.encode(), (got[:40], want[:40])
        for c in (0x61, 0xFF, 0x100, 0x10000):
            assert len(chr(c)) == 1 and ord(chr(c)) == c and chr(c) * 2 == chr(c) + chr(c), hex(c)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def vector_kernels_run_here() -> bool:
    """Whether this CPU runs the module's AVX-512 kernels (as it chooses them
    at load: F, VL, BW, IFMA, VBMI, VBMI2, BMI2 and POPCNT)."""
    if platform.machine() not in ("x86_64", "AMD64"):
        return False
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    except OSError:
        return False
    return {"avx512f", "avx512vl", "avx512bw", "avx512ifma", "avx512vbmi", "avx512_vbmi2", "bmi2", "popcnt"} <= set(flags)


def test_strs_read_in_place_as_first_call_in_a_fresh_process():
    """A str's characters are read in place from the first call on: every
    width, escapes and wider characters at the edges of the blocks they are
    encoded in, strs whose UTF-8 CPython has made (read from it) and strs
    without one (left without one where the vector kernels run), and a
    surrogate anywhere in a long str (CPython's own error)."""
    result = run_python(
        f"""
        import json, sys
        vector = {vector_kernels_run_here()}
        from sorbek_accel import json_dumps
        def fresh(text):  # a new str, as a request's data would bring
            return json.loads(json.dumps(text))
        texts = []
        for wide in ("\\xe9", "\\u0416", "\\u4e2d", "\\U0001f600"):
            for at in (0, 15, 16, 31, 32, 63, 64, 1023, 1024, 1500):
                for odd in ("\\n", '"', "\\\\", "\\x01", wide, "a"):
                    text = list(("ab" + wide + "c") * 400)
                    text[at] = odd
                    texts.append(fresh("".join(text)))
        sizes = [sys.getsizeof(t) for t in texts]
        for text in texts:
            assert json_dumps([text]) == json.dumps([text], ensure_ascii=False, separators=(",", ":"))
        assert not vector or sizes == [sys.getsizeof(t) for t in texts], "a UTF-8 form was made"
        named = fresh("caf\\xe9 \\u4e2d " * 50)
        type(named, (), {{}})  # makes and keeps its UTF-8
        assert json_dumps({{named: named}}) == json.dumps({{named: named}}, ensure_ascii=False, separators=(",", ":"))
        for wide in ("\\u4e2d", "\\U0001f600"):
            text = fresh("x" + wide * 3000 + "\\ud800" + wide)
            try:
                json_dumps([text])
            except UnicodeEncodeError as error:
                try:
                    text.encode()
                except UnicodeEncodeError as want:
                    assert str(error) == str(want), (str(error), str(want))
            else:
                raise AssertionError("no error")
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
