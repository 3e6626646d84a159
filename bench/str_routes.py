"""How json_dumps makes its result str, against decoding the output's UTF-8.

Outputs of about 10 KB, 500 KB and 4 MB, lists of 100-character strings,
with 0, 1, 10 or 100 characters above U+00FF, or 1% or 30% of all characters
above it, placed together in the middle strings (dense) or evenly through
them (spread). For each:
- route / UTF-8: the reading floor's time with the str made as json_dumps
  makes it, over its time with the str decoded from the output's UTF-8 whole
  (the same walk of the tree in both, side by side): at most about 1 where
  the route is never slower than plain decoding;
- peak / bound: json_dumps's peak traced memory, at its first call in a
  fresh process (later calls reuse output storage the module keeps, up to
  1 MiB, which a peak over them would leave out), over json.dumps's peak on
  the same tree (`json.dumps(value)`, as a framework calls it) plus the size
  of the output's UTF-8.
The timed calls run in one process, warm: the allocator keeps what earlier
calls freed (the benchmark's fresh-process table shows first calls).

Usage: python str_routes.py (from bench/, the module and the floor importable).
"""

from __future__ import annotations

import json
import subprocess
import sys
import tracemalloc

import sorbek_accel
import sorbek_floor
import timing

SIZES = {"10 KB": 10_000, "500 KB": 500_000, "4 MB": 4_000_000}
STRING = 100  # characters a string
ASCII = "the quick brown fox jumps over a lazy dog, "
WIDE = "\u2014\u4e2d"  # an em dash and a CJK character, 3 bytes each


def tree(size: int, wide: int, dense: bool) -> list[str]:
    """Strings of STRING characters, `wide` of all of them above U+00FF."""
    count = max(1, size // (STRING + 3))
    total = count * STRING
    chars = list((ASCII * (total // len(ASCII) + 1))[:total])
    if wide:
        step = 1 if dense else total // wide
        start = (total - wide) // 2 if dense else step // 2
        for k in range(wide):
            chars[start + k * step] = WIDE[k % 2]
    return ["".join(chars[i:i + STRING]) for i in range(0, total, STRING)]


def peak(call) -> int:
    tracemalloc.start()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    result = call()
    high = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    del result
    return high


def first_call_peak(size: int, wide: int, dense: bool) -> int:
    """json_dumps's peak at the first call of a fresh process."""
    code = (f"import str_routes, sorbek_accel\n"
            f"value = str_routes.tree({size}, {wide}, {dense})\n"
            f"print(str_routes.peak(lambda: sorbek_accel.json_dumps(value)))\n")
    return int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                              cwd=__file__.rsplit("/", 1)[0] or ".").stdout)


def cases():
    for size_name, size in SIZES.items():
        chars = max(1, size // (STRING + 3)) * STRING
        yield size_name, "none", (size, 0, True)
        for label, wide in (("1", 1), ("10", 10), ("100", 100), ("1%", chars // 100), ("30%", chars * 3 // 10)):
            if wide > chars:
                continue
            for dense in (True, False):
                if wide == 1 and not dense:
                    continue
                yield size_name, f"{label} {'dense' if dense else 'spread'}", (size, wide, dense)


def main() -> None:
    plan = timing.QUICK
    print("| output | characters above U+00FF | bytes | route / UTF-8 | json_dumps | peak / bound |")
    print("|---|---|---:|---:|---:|---:|")
    worst_time = worst_memory = 0.0
    for size_name, label, shape in cases():
        value = tree(*shape)
        text = sorbek_accel.json_dumps(value)
        utf8 = text.encode()
        assert text == json.dumps(value, ensure_ascii=False, separators=(",", ":"))
        route, whole = sorbek_floor.prepare(utf8), sorbek_floor.prepare(utf8, True)
        t_route, t_whole, t_ours = timing.side_by_side(
            [lambda: sorbek_floor.floor(value, route), lambda: sorbek_floor.floor(value, whole),
             lambda: sorbek_accel.json_dumps(value)], plan)
        ratio = 1 / timing.ratio(t_whole, t_route)
        bound = peak(lambda: json.dumps(value)) + len(utf8)
        share = first_call_peak(*shape) / bound
        worst_time, worst_memory = max(worst_time, ratio), max(worst_memory, share)
        print(f"| {size_name} | {label} | {len(utf8):,} | {ratio:.2f} | {t_ours.seconds * 1e6:,.1f} µs | {share:.2f} |")
    print(f"\nLargest route / UTF-8: {worst_time:.2f}; largest peak / bound: {worst_memory:.2f}.")


if __name__ == "__main__":
    main()
