"""LeakSanitizer checks between tests: a pytest plugin for the sanitizer run.

scripts/sanitize.sh starts the interpreter with the AddressSanitizer runtime
preloaded, PYTHONMALLOC=malloc (every Python object is then a malloc block the
runtime tracks) and LeakSanitizer's check at exit turned off: at exit the
interpreter still holds, and frees only in part, what it keeps for the life of
the process, and a check there would report that whatever this module does.
While the interpreter runs, everything it keeps on purpose (interned strings,
type and method caches, imported modules, this module's fault type and
interned names, held by its globals) is reachable from its own state. So a
check between tests reports exactly the blocks that nothing points at any
more: memory lost by the tests, native or a Python object whose reference was
leaked. (frame_stack_malloc.c makes the interpreter's frame stack, which holds
the running functions' locals, a place the check looks.)

The check runs once before the first test, so that start-up and imports are
seen to be clean, and after the last test of each file, or of each test with
--leak-check-each-test or in a file that sets LEAK_CHECK_EACH_TEST (a check
scans the whole heap, about a second here). Each follows a full collection:
garbage cycles are freed, and the collector stops tracking tuples that hold
only untracked objects (bytes, str, numbers), so that a leaked tuple of the
module's results is unreachable too. A Python object that stays reachable (a
container the collector still tracks, an extra reference to an argument) is
not a leak to LeakSanitizer; tests/test_leaks.py counts those.

A report fails the teardown of the test after which it was found; the blocks
it names would be reported again by every later check, so later tests are not
leak-checked. Load with `-p leak_check` (tests/leak on the path), with the
runtime preloaded, and `--capture=sys`: the runtime writes its reports to
file descriptor 2, which pytest's default capture would swallow when a
sanitizer report aborts the process.
"""

import ctypes
import gc
import time

import pytest

_check = None
_each_test = False
_stopped = False
_checks = 0
_seconds = 0.0


def _leaks_found() -> bool:
    global _checks, _seconds
    start = time.perf_counter()
    gc.collect()
    found = _check() != 0
    _checks += 1
    _seconds += time.perf_counter() - start
    return found


def pytest_addoption(parser):
    parser.addoption("--leak-check-each-test", action="store_true",
                     help="run LeakSanitizer's check after every test, not only after each file's last")


def pytest_configure(config):
    global _check, _each_test
    _each_test = config.getoption("--leak-check-each-test")
    try:
        _check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        raise pytest.UsageError("leak_check: the LeakSanitizer runtime is not loaded (LD_PRELOAD it)") from None


def pytest_collection_finish(session):
    if _leaks_found():
        pytest.exit("leak_check: LeakSanitizer reports leaks before any test ran (start-up or imports)", returncode=1)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_teardown(item, nextitem):
    global _stopped
    result = yield
    last_of_file = nextitem is None or nextitem.path != item.path
    each = _each_test or getattr(getattr(item, "module", None), "LEAK_CHECK_EACH_TEST", False)
    if not _stopped and (each or last_of_file) and _leaks_found():
        _stopped = True
        where = "this test" if each else f"the tests of {item.path.name} (--leak-check-each-test finds which)"
        pytest.fail(f"LeakSanitizer: memory that nothing points at after {where}; its report is on stderr, "
                    "before this test's outcome; later tests are not leak-checked", pytrace=False)
    return result


def pytest_terminal_summary(terminalreporter):
    state = "stopped at the first report" if _stopped else "no leak"
    terminalreporter.write_line(f"leak_check: {_checks} LeakSanitizer checks in {_seconds:.0f} s, {state}")
