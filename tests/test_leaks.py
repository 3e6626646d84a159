"""No call leaves a Python object behind that the collector still tracks.

Such an object (a list or dict of the results, or a tuple holding one) stays
reachable through the collector's own lists, so neither LeakSanitizer nor the
interpreter's shutdown sees it; counted here per call path instead. Leaks of
untracked objects (bytes, str) and of native memory are LeakSanitizer's, in the
sanitizer run; traced memory and argument reference counts are checked in
test_resources.py."""

import gc

import pytest

from test_resources import CALLS, call

CALLS_PER_PATH = 500
# In the sanitizer run, LeakSanitizer checks after each of these tests, so that
# a leak is pinned to its call path (tests/leak/leak_check.py).
LEAK_CHECK_EACH_TEST = True


@pytest.mark.parametrize("name,fn", CALLS, ids=[c[0] for c in CALLS])
def test_no_tracked_object_outlives_a_call(name, fn):
    for _ in range(5):
        call(fn)
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(CALLS_PER_PATH):
        call(fn)
    gc.collect()
    grown = len(gc.get_objects()) - before
    assert grown < CALLS_PER_PATH // 10, f"{grown} more tracked objects after {CALLS_PER_PATH} calls"
