"""Side-by-side benchmark of sorbek_accel against the alternatives a Python
user could pick, measured in one run on one machine. Prints Markdown tables
(progress goes to stderr) and can write them as an SVG chart.

Timings are the best of several round-robin batches; ratios compare peers
measured within seconds of each other on the same interpreter, so they are
what to read."""

from __future__ import annotations

import argparse
import sys

# Parsed before the peers are imported, so that --help works anywhere.
PARSER = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
PARSER.add_argument("--quick", action="store_true", help="fewer repeats (a rough run in a fraction of the time)")
PARSER.add_argument("--json", action="store_true", help="only the json_dumps tables")
PARSER.add_argument("--multipart", action="store_true", help="only the multipart_sections table")
PARSER.add_argument("--corpora", metavar="DIR", help="directory holding the standard JSON corpora (canada.json, ...)")
PARSER.add_argument("--chart", metavar="SVG", help="also write the ratio tables as an SVG chart to this file")
ARGS = PARSER.parse_args() if __name__ == "__main__" else PARSER.parse_args([])

import gc
import json
import pathlib
import platform
import subprocess
import time

import msgspec
import orjson
import ssrjson
import ujson
from python_multipart.multipart import MultipartParser

import chart
import corpora
import sorbek_accel
from workloads import BOUNDARY, MiB, json_workloads, multipart_workloads

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import py_sections  # noqa: E402

try:
    import sorbek_floor  # built by scripts/bench.sh
except ImportError:
    sorbek_floor = None

QUICK = ARGS.quick


def progress(message: str) -> None:
    print(f"[bench] {message}", file=sys.stderr, flush=True)


def _batch(fn, number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def side_by_side(fns, budget: float = 0.04) -> list[float]:
    """Seconds per call of each function: batches of about `budget` seconds,
    taken round-robin so that a burst of load on this shared machine hits
    every peer alike, and the best batch of each kept."""
    rounds = 3 if QUICK else 9
    numbers = []
    for fn in fns:
        number = 1
        while (elapsed := _batch(fn, number) * number) < budget and number < 1 << 20:
            number = max(number * 2, int(number * budget / max(elapsed, 1e-9)))
        numbers.append(number)
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, (fn, number) in enumerate(zip(fns, numbers)):
            best[i] = min(best[i], _batch(fn, number))
    return best


def machine() -> str:
    """CPU model and the instruction sets the module's kernels use here, read
    from the CPU's features (the module exposes nothing beyond its functions)."""
    model, flags = platform.processor() or "unknown CPU", set()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key = key.strip()
            if key in ("model name", "Model name") and model in ("unknown CPU", platform.machine()):
                model = value.strip()
            elif key in ("flags", "Features"):
                flags = set(value.split())
    except OSError:
        pass
    if model in ("unknown CPU", platform.machine()):
        try:
            for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
                if line.startswith("Model name:"):
                    model = line.split(":", 1)[1].strip()
        except OSError:
            pass
    arch = platform.machine()
    if arch in ("x86_64", "AMD64"):
        kernels = ("AVX2 for the substring search and escape scan, SSE2 for digits and recoding"
                   if "avx2" in flags else "SSE2 (no AVX2 on this CPU)")
    elif arch in ("aarch64", "arm64"):
        kernels = "NEON"
    else:
        kernels = "portable (no vector kernels for this architecture)"
    return f"{model} ({arch}); kernels: {kernels}"


def python_multipart_sections(body: bytes, boundary: bytes) -> list[tuple[bytes, bytes]]:
    """python-multipart's streaming parser, collecting the same pairs."""
    parts: list[tuple[bytes, bytes]] = []
    head: list[bytes] = []
    chunks: list[bytes] = []

    def on_part_begin():
        head.clear()
        chunks.clear()

    def on_header(data, start, end):
        head.append(data[start:end])

    def on_part_data(data, start, end):
        chunks.append(data[start:end])

    def on_part_end():
        parts.append((b"".join(head), b"".join(chunks)))

    parser = MultipartParser(
        boundary,
        {
            "on_part_begin": on_part_begin,
            "on_header_field": on_header,
            "on_header_value": on_header,
            "on_part_data": on_part_data,
            "on_part_end": on_part_end,
        },
    )
    parser.write(body)
    parser.finalize()
    return parts


def mibps(size: int, seconds: float) -> str:
    return f"{size / MiB / seconds:,.0f}"


def bench_multipart(sections: list) -> None:
    print("## multipart_sections: throughput in MiB/s and ratios\n")
    print("| workload | body | sorbek_accel (MiB/s) | reference splitter (MiB/s) | python-multipart (MiB/s) "
          "| plain copy (MiB/s) | vs reference | vs python-multipart | vs plain copy | ns/byte |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    rows = []
    upload_ns = None
    for name, body, delimiter, well_formed in multipart_workloads():
        progress(f"multipart: {name}")
        assert sorbek_accel.multipart_sections(body, delimiter) == py_sections(body, delimiter), name
        fns = [
            lambda: sorbek_accel.multipart_sections(body, delimiter),
            lambda: py_sections(body, delimiter),
            lambda: bytes(memoryview(body)),
        ]
        if well_formed:
            assert len(python_multipart_sections(body, BOUNDARY)) == len(py_sections(body, delimiter))
            fns.append(lambda: python_multipart_sections(body, BOUNDARY))
        ours, ref, copy, *rest = side_by_side(fns)
        pm = rest[0] if well_formed else None
        pm_cells = (mibps(len(body), pm), f"{pm / ours:,.1f}x") if pm else ("-", "-")
        ns_per_byte = ours * 1e9 / len(body)
        if upload_ns is None:
            upload_ns = ns_per_byte
        note = "" if well_formed else f" ({ns_per_byte / upload_ns:.1f}x upload)"
        print(
            f"| {name} | {len(body) / MiB:.2f} MiB | {mibps(len(body), ours)} | {mibps(len(body), ref)} | {pm_cells[0]} "
            f"| {mibps(len(body), copy)} | {ref / ours:,.1f}x | {pm_cells[1]} | {copy / ours:.2f} | {ns_per_byte:.3f}{note} |"
        )
        rows.append((name, [ref / ours, pm / ours if pm else None, copy / ours]))
        gc.collect()
    print(
        "\nvs columns: how many times faster sorbek_accel is; vs plain copy: sorbek_accel's throughput as a "
        "share of `bytes(memoryview(body))`. ns/byte of adversarial rows also given relative to the 16 MiB upload.\n"
    )
    sections.append(("multipart_sections", ["reference splitter", "python-multipart", "plain copy"], rows))


def fresh_copies(value, count: int) -> list:
    """New objects every time: strings without a cached UTF-8 form, as a
    server's first encoding of a freshly built response sees them."""
    text = json.dumps(value)
    return [json.loads(text) for _ in range(count)]


def encoders(text: bytes):
    peers = [
        ("sorbek_accel.json_dumps", sorbek_accel.json_dumps),
        ("json.dumps", lambda x: json.dumps(x, ensure_ascii=False, separators=(",", ":"))),
        ("orjson.dumps().decode()", lambda x: orjson.dumps(x).decode()),
        ("orjson.dumps() (bytes)", orjson.dumps),
        ("ssrjson.dumps", ssrjson.dumps),
        ("msgspec encode().decode()", lambda x: msgspec.json.encode(x).decode()),
        ("ujson.dumps", lambda x: ujson.dumps(x, ensure_ascii=False)),
    ]
    if sorbek_floor is not None:
        peers.append(("stable-ABI floor", lambda x: sorbek_floor.floor(x, text)))
    return peers


def time_fresh(encoders_, value, per_call_hint: float) -> list[float]:
    """Like side_by_side, but every call gets a tree it has never seen."""
    count = max(20, min(20000, int((0.01 if QUICK else 0.03) / max(per_call_hint, 1e-7))))
    best = [float("inf")] * len(encoders_)
    for _ in range(3 if QUICK else 7):
        for i, encode in enumerate(encoders_):
            copies = fresh_copies(value, count)
            start = time.perf_counter()
            for c in copies:
                encode(c)
            best[i] = min(best[i], (time.perf_counter() - start) / count)
            del copies
    return best


def _fmt(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:,.2f} ms"
    return f"{seconds * 1e6:,.2f} µs" if seconds >= 1e-6 else f"{seconds * 1e9:,.0f} ns"


def bench_json(payloads: list[tuple[str, object]], sections: list) -> None:
    names = [n for n, _ in encoders(b"")]
    results = {"warm": [], "fresh": []}
    for index, (name, value) in enumerate(payloads, 1):
        try:
            expected = sorbek_accel.json_dumps(value)
        except (TypeError, RecursionError) as e:
            progress(f"json [{index}/{len(payloads)}]: {name}: refused ({e})")
            for mode in results:
                results[mode].append((name, None, f"refused: {type(e).__name__} \"{e}\""))
            continue
        assert json.loads(expected) == json.loads(json.dumps(value)), name
        peers = encoders(expected.encode())
        progress(f"json [{index}/{len(payloads)}]: {name}: warm")
        warm = side_by_side([lambda e=e: e(value) for _, e in peers])
        progress(f"json [{index}/{len(payloads)}]: {name}: fresh")
        fresh = time_fresh([e for _, e in peers], value, warm[0])
        for mode, times in (("warm", warm), ("fresh", fresh)):
            results[mode].append((name, times, f"{len(expected.encode()):,}"))
    for mode in ("warm", "fresh"):
        title = ("warm objects (the same tree encoded repeatedly)" if mode == "warm"
                 else "freshly built objects (new strings every call)")
        print(f"## json_dumps, {title}: time per call, and how many times faster json_dumps is\n")
        print("| payload | JSON bytes | " + " | ".join(names) + " |")
        print("|---|---:|" + "---:|" * len(names))
        rows = []
        for name, times, size in results[mode]:
            if times is None:
                print(f"| {name} | {size} |" + " |" * len(names))
                continue
            ours = times[0]
            cells = [_fmt(ours)] + [f"{_fmt(t)} ({t / ours:.2f}x)" for t in times[1:]]
            print(f"| {name} | {size} | " + " | ".join(cells) + " |")
            rows.append((name, [t / ours for t in times[1:]]))
        print()
        sections.append((f"json_dumps, {mode}", names[1:], rows))
    if sorbek_floor is not None:
        print("The stable-ABI floor reads the tree with the calls json_dumps makes and makes the str of the "
              "finished text, writing nothing: its ratio below 1 is the share of json_dumps's time that any "
              "encoder confined to the stable ABI must spend.\n")


def main() -> None:
    args = ARGS
    print(f"# sorbek_accel benchmark\n\nCPython {platform.python_version()} on {machine()}.\n"
          f"Peers: orjson {orjson.__version__}, ssrjson {getattr(ssrjson, '__version__', '?')}, "
          f"ujson {ujson.__version__}, msgspec {msgspec.__version__}.\n")
    sections: list = []
    if not args.json:
        bench_multipart(sections)
    if not args.multipart:
        payloads = json_workloads() + (corpora.load(args.corpora) if args.corpora else [])
        bench_json(payloads, sections)
    if args.chart:
        pathlib.Path(args.chart).write_text(chart.svg(sections, "sorbek_accel: how many times faster than each peer"))
        progress(f"chart written to {args.chart}")


if __name__ == "__main__":
    main()
