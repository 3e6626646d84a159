"""Hostile multipart bodies, threads, and the process-wide caches."""

import os
import threading
import time
import tracemalloc

import pytest

from conftest import run_python
from reference import py_sections
from sorbek_accel import json_dumps, multipart_sections

MiB = 1024 * 1024
D = b"--b0undary"


def hostile_bodies():
    part = D + b"\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nvalue\r\n"
    return [
        ("5M CRLF pairs before the first part", b"\r\n" * 5_000_000 + part + D + b"--", D),
        ("closing marker then 50 MB of '-'", part + D + b"--" + b"-" * (50 * MiB), D),
        ("10 MB part starting with CR, no other CR/LF", D + b"\r" + b"x" * (10 * MiB) + D + b"--", D),
        ("100,000 tiny parts", (D + b"\r\nH\r\n\r\nv\r\n") * 100_000 + D + b"--", D),
        ("one 1 MB head", D + b"\r\n" + b"H" * MiB + b"\r\n\r\npayload\r\n" + D + b"--", D),
        ("256-byte delimiter", b"-" * 300 + (b"\r\n" + b"-" * 256 + b"\r\nH: 1\r\n\r\nv") * 50, b"-" * 256),
    ]


@pytest.mark.parametrize("name,body,delimiter", hostile_bodies(), ids=[c[0] for c in hostile_bodies()])
def test_hostile_multipart_bodies(name, body, delimiter):
    tracemalloc.start()
    try:
        got = multipart_sections(body, delimiter)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert got == py_sections(body, delimiter)
    # Bounded memory: the result itself plus a small constant, whatever the
    # number of delimiter occurrences.
    result_size = sum(len(h) + len(p) + 200 for h, p in got) + 64 * len(got)
    assert peak <= result_size + 256 * 1024, (peak, result_size)


def test_threads_share_inputs_and_agree():
    body = (D + b"\r\nH: x\r\n\r\n" + b"p" * 1000 + b"\r\n") * 200 + D + b"--"
    tree = {"k%d" % i: [i, i * 0.25, "é" * (i % 7), None, {"n": [True, False]}] for i in range(200)}
    want_parts = multipart_sections(body, D)
    want_json = json_dumps(tree)
    failures = []
    stop = time.monotonic() + (2.0 if os.environ.get("CI") else 5.0)

    def worker(n):
        calls = 0
        while time.monotonic() < stop:
            if multipart_sections(body, D) != want_parts or json_dumps(tree) != want_json:
                failures.append(n)
                return
            try:
                multipart_sections(bytearray(body), D)
            except TypeError:
                pass
            calls += 1
        if calls == 0:
            failures.append(("no calls", n))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


FIRST_USE_FROM_THREADS = """
import gc, sys, threading
sys.setswitchinterval(1e-6)
import sorbek_accel
barrier = threading.Barrier(8)
outcomes = []
def worker():
    barrier.wait()
    # The first interpreter error taken is checked against the fault type;
    # the first argument note calls the interned "add_note".
    try:
        sorbek_accel.json_dumps(["\\ud800"])
    except UnicodeEncodeError:
        outcomes.append("unicode")
    try:
        sorbek_accel.multipart_sections(None, b"-")
    except TypeError as e:
        outcomes.append(e.__notes__[0])
threads = [threading.Thread(target=worker) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
types = [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == "PanicException"]
print(len(types), sorted(set(outcomes)), len(outcomes))
"""


def test_process_wide_caches_are_made_once_from_many_threads():
    for _ in range(5):
        result = run_python(FIRST_USE_FROM_THREADS)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "1 ['unicode', \"while processing 'body'\"] 16"
