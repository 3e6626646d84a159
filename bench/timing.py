"""Side-by-side timing under a time budget.

Every peer of a workload is timed in short batches taken round-robin, so
that a burst of load on this shared machine hits them all alike. A peer's
time is the geometric mean of its batches, so the ratio of two peers' times
is the geometric mean, over rounds, of the ratio of their batches within a
round (`ratio`). Rounds go on until
the workload's budget is spent, within a minimum and a maximum count: a
fast workload gets dozens of rounds, one whose slowest peer takes a second
a call gets the minimum."""

from __future__ import annotations

import gc
import math
import resource
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, Collection, Sequence


# CPU time of this thread, kernel time included (page faults, returning
# memory): on this shared machine another process holding the core for a
# while is then not counted. What other processes do to the caches and the
# memory bus still is; comparing batches taken within milliseconds of each
# other is the defence there.
CLOCK = time.thread_time


@dataclass(frozen=True)
class Plan:
    batch: float  # CPU seconds one batch of calls aims at
    budget: float  # wall seconds for all rounds of one workload, all peers together
    min_rounds: int
    max_rounds: int
    # Fresh objects: how many trees one batch encodes, and at most how long
    # building them may take (json.loads takes 30 times as long as an
    # encoder on a tree of floats).
    min_copies: int = 1
    max_copies: int = 20000
    copy_budget: float = float("inf")


# The default run: a budget per workload, spent in short batches. --full:
# the same with budgets five to seven times as large.
QUICK = Plan(batch=0.002, budget=0.8, min_rounds=3, max_rounds=400)
FULL = Plan(batch=0.002, budget=5.0, min_rounds=9, max_rounds=2500)
QUICK_FRESH = Plan(batch=0.002, budget=0.6, min_rounds=3, max_rounds=100, max_copies=2000, copy_budget=0.005)
FULL_FRESH = Plan(batch=0.002, budget=4.0, min_rounds=7, max_rounds=1000, copy_budget=0.01)
# A fresh process: what the process does from its first calls on.
QUICK_PROCESS = Plan(batch=0.002, budget=0.4, min_rounds=3, max_rounds=200)
FULL_PROCESS = Plan(batch=0.002, budget=2.0, min_rounds=5, max_rounds=1000)


@dataclass
class Timing:
    per_call: list[float] = field(default_factory=list)  # seconds per call, one batch a round
    calls: int = 0
    faults: int = 0  # minor page faults over all timed calls

    def add(self, seconds: float, calls: int, faults: int) -> None:
        self.per_call.append(seconds / calls)
        self.calls += calls
        self.faults += faults

    @property
    def seconds(self) -> float:
        """Seconds per call: the geometric mean over the batches."""
        return math.exp(statistics.fmean(map(math.log, self.per_call)))

    @property
    def faults_per_call(self) -> float:
        return self.faults / max(self.calls, 1)


def ratio(peer: Timing, ours: Timing) -> float:
    """How many times as long the peer takes: the ratio of the geometric
    means, which is the geometric mean over rounds of the two batches' ratio
    within a round. A round's batches run within milliseconds of each other,
    so a slow spell of this shared machine that lasts longer than that slows
    both alike and leaves their ratio be. (Recomputed from the batches of
    three default runs, this ratio moved between runs less at the 90th
    percentile than the best batches' ratio, the median of the rounds'
    ratios or the medians' ratio, and about as little at the median.)"""
    assert len(peer.per_call) == len(ours.per_call)
    return peer.seconds / ours.seconds


def _faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def _batch(fn: Callable[[], object], number: int, timing: Timing) -> float:
    faults = _faults()
    start = CLOCK()
    for _ in range(number):
        fn()
    elapsed = CLOCK() - start
    timing.add(elapsed, number, _faults() - faults)
    return elapsed


def _calls_per_batch(fn: Callable[[], object], plan: Plan, first_call: float) -> int:
    """Doubles a timed run until it lasts a quarter of a batch, then scales to
    a batch. A function whose untimed first call took a batch or more makes
    batches of one call. These runs are not measurements: they are not
    round-robin."""
    if first_call >= plan.batch:
        return 1
    number = 1
    while (elapsed := _batch(fn, number, Timing())) < plan.batch / 4 and number < 1 << 20:
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
    for i, fn in enumerate(fns):
        first_call = 0.0
        if i not in warmed:
            begin = CLOCK()
            fn()
            first_call = CLOCK() - begin
        numbers.append(_calls_per_batch(fn, plan, first_call))
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
        begin = CLOCK()
        build()
        per_copy = CLOCK() - begin
        counts = [round(max(plan.min_copies, min(plan.max_copies, plan.batch / max(h, 1e-9),
                                                 plan.copy_budget / max(per_copy, 1e-9))))
                  for h in hints]
        rounds = 0
        while rounds < plan.max_rounds and (rounds < plan.min_rounds or time.perf_counter() - start < plan.budget):
            for encode, count, timing in zip(encoders, counts, timings):
                copies = [build() for _ in range(count)]
                faults = _faults()
                begin = CLOCK()
                for tree in copies:
                    encode(tree)
                timing.add(CLOCK() - begin, count, _faults() - faults)
                del copies, tree
            rounds += 1
    finally:
        if enabled:
            gc.enable()
    return timings
