"""Side-by-side timing under a time budget.

Every peer of a workload is timed in batches taken round-robin, so that a
burst of load on this shared machine hits them all alike, and the best batch
of each is kept. Rounds go on until the workload's budget is spent, within a
minimum and a maximum count: a fast workload gets many rounds, one whose
slowest peer takes a second a call gets the minimum."""

from __future__ import annotations

import gc
import resource
import time
from dataclasses import dataclass
from typing import Callable, Collection, Sequence


@dataclass(frozen=True)
class Plan:
    batch: float  # seconds one batch of calls aims at
    budget: float  # seconds for all rounds of one workload, all peers together
    min_rounds: int
    max_rounds: int
    # Fresh objects: how many trees one batch encodes, and at most how long
    # building them may take (json.loads takes 30 times as long as an
    # encoder on a tree of floats).
    min_copies: int = 2
    max_copies: int = 20000
    copy_budget: float = float("inf")


# The default run: short batches and a budget per workload. --full: the
# repeat counts the published tables come from.
QUICK = Plan(batch=0.01, budget=0.5, min_rounds=3, max_rounds=20)
FULL = Plan(batch=0.04, budget=0.0, min_rounds=9, max_rounds=9)
QUICK_FRESH = Plan(batch=0.01, budget=0.5, min_rounds=3, max_rounds=10, max_copies=5000, copy_budget=0.02)
FULL_FRESH = Plan(batch=0.03, budget=0.0, min_rounds=7, max_rounds=7, min_copies=20)
# A fresh process: a few batches, close to the process's first calls.
QUICK_PROCESS = Plan(batch=0.005, budget=0.15, min_rounds=2, max_rounds=5)
FULL_PROCESS = Plan(batch=0.01, budget=0.5, min_rounds=3, max_rounds=9)


@dataclass
class Timing:
    seconds: float = float("inf")  # per call, best batch
    calls: int = 0
    faults: int = 0  # minor page faults over all timed calls

    def add(self, seconds: float, calls: int, faults: int) -> None:
        self.seconds = min(self.seconds, seconds / calls)
        self.calls += calls
        self.faults += faults

    @property
    def faults_per_call(self) -> float:
        return self.faults / max(self.calls, 1)


def _faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def _batch(fn: Callable[[], object], number: int, timing: Timing) -> float:
    faults = _faults()
    start = time.perf_counter()
    for _ in range(number):
        fn()
    elapsed = time.perf_counter() - start
    timing.add(elapsed, number, _faults() - faults)
    return elapsed


def _calls_per_batch(fn: Callable[[], object], plan: Plan, timing: Timing, first_call: float) -> int:
    """Doubles a timed run until it lasts a quarter of a batch (these count as
    measurements too), then scales to a batch. A function whose untimed first
    call took a batch or more makes batches of one call."""
    if first_call >= plan.batch:
        return 1
    number = 1
    while (elapsed := _batch(fn, number, timing)) < plan.batch / 4 and number < 1 << 20:
        number *= 2
    return max(1, round(number * plan.batch / max(elapsed, 1e-9)))


def side_by_side(fns: Sequence[Callable[[], object]], plan: Plan, warmed: Collection[int] = ()) -> list[Timing]:
    """Seconds per call of each function, and its page faults. Each is called
    once untimed first (but those whose index is in `warmed`, called just
    before), so that what one call leaves behind (caches filled, memory the
    allocator keeps) is what the timed calls meet."""
    start = time.perf_counter()
    timings = [Timing() for _ in fns]
    numbers = []
    for i, (fn, timing) in enumerate(zip(fns, timings)):
        first_call = 0.0
        if i not in warmed:
            begin = time.perf_counter()
            fn()
            first_call = time.perf_counter() - begin
        numbers.append(_calls_per_batch(fn, plan, timing, first_call))
    rounds = 0
    while rounds < plan.max_rounds and (rounds < plan.min_rounds or time.perf_counter() - start < plan.budget):
        for fn, number, timing in zip(fns, numbers, timings):
            _batch(fn, number, timing)
        rounds += 1
    return timings


def fresh_objects(encoders: Sequence[Callable[[object], object]], build: Callable[[], object],
                  hints: Sequence[float], plan: Plan) -> list[Timing]:
    """Like side_by_side, but every call gets a tree it has never seen (so
    no str holds a cached UTF-8 form yet), from `build`. `hints` are each
    encoder's seconds per call on a warm tree, to size its batches. The
    cyclic collector is paused meanwhile: the trees hold no cycles, and a
    pass that walks thousands of them must not land in one encoder's batch."""
    timings = [Timing() for _ in encoders]
    start = time.perf_counter()
    enabled = gc.isenabled()
    gc.disable()
    try:
        begin = time.perf_counter()
        build()
        per_copy = time.perf_counter() - begin
        counts = [round(max(plan.min_copies, min(plan.max_copies, plan.batch / max(h, 1e-9),
                                                 plan.copy_budget / max(per_copy, 1e-9))))
                  for h in hints]
        rounds = 0
        while rounds < plan.max_rounds and (rounds < plan.min_rounds or time.perf_counter() - start < plan.budget):
            for encode, count, timing in zip(encoders, counts, timings):
                copies = [build() for _ in range(count)]
                faults = _faults()
                begin = time.perf_counter()
                for tree in copies:
                    encode(tree)
                timing.add(time.perf_counter() - begin, count, _faults() - faults)
                del copies, tree
            rounds += 1
    finally:
        if enabled:
            gc.enable()
    return timings
