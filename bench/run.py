"""Side-by-side benchmark of sorbek_accel against the alternatives a Python
user could pick, measured in one run on one machine. Prints Markdown tables
(progress goes to stderr) and can write them as an SVG chart.

Peers are timed in round-robin batches (bench/timing.py); ratios compare
batches taken within milliseconds of each other on the same interpreter,
so they are what to read. By default each workload gets a
short time budget; --full gives it several times as long, and takes the
adversarial multipart bodies at full size."""

from __future__ import annotations

import argparse
import sys

# Parsed before the peers are imported, so that --help works anywhere.
PARSER = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
PARSER.add_argument("--full", action="store_true",
                    help="five to seven times the time for each workload, and 16 MiB adversarial bodies")
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

from python_multipart.multipart import MultipartParser

import chart
import corpora
import json_peers
import sorbek_accel
import timing
from workloads import BOUNDARY, JSON_DOCUMENTS, MiB, multipart_workloads

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import py_sections  # noqa: E402

PLAN = timing.FULL if ARGS.full else timing.QUICK
FRESH_PLAN = timing.FULL_FRESH if ARGS.full else timing.QUICK_FRESH
PROCESS_PLAN = timing.FULL_PROCESS if ARGS.full else timing.QUICK_PROCESS  # what fresh_process.py uses
STARTED = time.perf_counter()


def progress(message: str) -> None:
    print(f"[bench {time.perf_counter() - STARTED:5.1f} s] {message}", file=sys.stderr, flush=True)


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
        # As the module chooses (src/simd/cpu.cpp): AVX-512 (F, VL, BW, IFMA,
        # VBMI, VBMI2) for the escape scan, the recoding, the strs' UTF-8 and
        # the float writer's digits, AVX2 for the search (and the rest
        # without AVX-512).
        if "avx2" not in flags:
            kernels = "SSE2 (no AVX2 on this CPU)"
        elif {"avx512f", "avx512vl", "avx512bw", "avx512ifma", "avx512vbmi", "avx512_vbmi2", "bmi2",
              "popcnt"} <= flags:
            kernels = ("AVX2 for the substring search, AVX-512 for the escape scan, recoding, strs' UTF-8 and the "
                       "float writer's digits, SSE2 for the integer writer's digits")
        else:
            kernels = "AVX2 for the substring search, escape scan and recoding, SSE2 for digits"
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
    for name, body, delimiter, well_formed in multipart_workloads(16 * MiB if ARGS.full else 4 * MiB):
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
        timings = timing.side_by_side(fns, PLAN)
        ours, ref, copy, *rest = [t.seconds for t in timings]
        vs_ref, vs_copy = timing.ratio(timings[1], timings[0]), timing.ratio(timings[2], timings[0])
        vs_pm = timing.ratio(timings[3], timings[0]) if well_formed else None
        pm_cells = (mibps(len(body), rest[0]), f"{vs_pm:,.1f}x") if well_formed else ("-", "-")
        ns_per_byte = ours * 1e9 / len(body)
        if upload_ns is None:
            upload_ns = ns_per_byte
        note = "" if well_formed else f" ({ns_per_byte / upload_ns:.1f}x upload)"
        print(
            f"| {name} | {len(body) / MiB:.2f} MiB | {mibps(len(body), ours)} | {mibps(len(body), ref)} | {pm_cells[0]} "
            f"| {mibps(len(body), copy)} | {vs_ref:,.1f}x | {pm_cells[1]} | {vs_copy:.2f} | {ns_per_byte:.3f}{note} |"
        )
        rows.append((name, [vs_ref, vs_pm, vs_copy]))
        gc.collect()
    print(
        "\nMiB/s and ratios: from the geometric mean of the batches, round-robin. vs columns: how many times "
        "faster sorbek_accel is; vs plain copy: sorbek_accel's throughput as a "
        "share of `bytes(memoryview(body))`. ns/byte of adversarial rows also given relative to the 16 MiB upload"
        f"{'' if ARGS.full else ' (the adversarial bodies are 4 MiB here, 16 MiB with --full)'}.\n"
    )
    sections.append(("multipart_sections", ["reference splitter", "python-multipart", "plain copy"], rows))


def _fmt(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:,.2f} ms"
    return f"{seconds * 1e6:,.2f} µs" if seconds >= 1e-6 else f"{seconds * 1e9:,.0f} ns"


def _faults(value: float) -> str:
    return f"{value:,.0f}" if value >= 10 or value == 0 else f"{value:.1f}"


JSON_TITLES = {
    "warm": "warm objects (the same tree encoded repeatedly)",
    "fresh objects": "freshly built objects (new strings every call)",
    "fresh process": "each document in a fresh process",
}
# Page faults are shown for json_dumps and the two it is held to.
FAULTS_OF = {json_peers.OURS: "json_dumps", "orjson.dumps().decode()": "orjson+decode", json_peers.FLOOR: "floor"}


def print_json_table(mode: str, names: list[str], rows: list, sections: list) -> None:
    """rows: (name, JSON bytes, each encoder's Timing), or (name, None, why
    it was refused)."""
    print(f"## json_dumps, {JSON_TITLES[mode]}: time per call, and how many times faster json_dumps is\n")
    shown = [i for i, n in enumerate(names) if n in FAULTS_OF]
    print("| payload | JSON bytes | " + " | ".join(names)
          + " | page faults per call (" + ", ".join(FAULTS_OF[names[i]] for i in shown) + ") |")
    print("|---|---:|" + "---:|" * (len(names) + 1))
    chart_rows = []
    for name, size, *rest in rows:
        if size is None:
            print(f"| {name} | {rest[0]} |" + " |" * (len(names) + 1))
            continue
        timings = rest[0]
        ratios = [timing.ratio(t, timings[0]) for t in timings[1:]]
        cells = [_fmt(timings[0].seconds)] + [f"{_fmt(t.seconds)} ({r:.2f}x)" for t, r in zip(timings[1:], ratios)]
        print(f"| {name} | {size:,} | " + " | ".join(cells) + " | "
              + " / ".join(_faults(timings[i].faults_per_call) for i in shown) + " |")
        chart_rows.append((name, ratios))
    print()
    sections.append((f"json_dumps, {mode}", names[1:], chart_rows))


def run_fresh_process(name: str, corpora_dir: str | None) -> dict:
    command = [sys.executable, str(pathlib.Path(__file__).resolve().parent / "fresh_process.py"), name]
    if corpora_dir:
        command += ["--corpora", corpora_dir]
    if ARGS.full:
        command.append("--full")
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.splitlines()[-1])


def bench_json(documents: list, corpora_dir: str | None, sections: list) -> None:
    names = [n for n, _ in json_peers.encoders(b"")]
    results: dict[str, list] = {mode: [] for mode in JSON_TITLES}
    for index, (name, build) in enumerate(documents, 1):
        step = f"json [{index}/{len(documents)}]: {name}"
        value = build()
        try:
            expected = sorbek_accel.json_dumps(value)
        except (TypeError, RecursionError) as e:
            progress(f"{step}: refused ({e})")
            for mode in ("warm", "fresh objects"):
                results[mode].append((name, None, f"refused: {type(e).__name__} \"{e}\""))
            continue
        assert json.loads(expected) == json.loads(json.dumps(value)), name
        text = expected.encode()
        peers = json_peers.encoders(text)
        progress(f"{step}: warm")
        # The check above was json_dumps's call before timing.
        warm = timing.side_by_side([lambda e=e: e(value) for _, e in peers], PLAN, warmed=(0,))
        results["warm"].append((name, len(text), warm))
        progress(f"{step}: fresh objects")
        fresh = timing.fresh_objects([e for _, e in peers], lambda: json.loads(expected),
                                     [t.seconds for t in warm], FRESH_PLAN)
        results["fresh objects"].append((name, len(text), fresh))
        del value, expected, text, peers
        gc.collect()
    for index, (name, size, *rest) in enumerate(results["warm"], 1):
        if size is None:
            results["fresh process"].append((name, size, *rest))
            continue
        progress(f"json, fresh process [{index}/{len(documents)}]: {name}")
        out = run_fresh_process(name, corpora_dir)
        assert out.get("names") == names, out
        results["fresh process"].append((name, size, [timing.Timing(**t) for t in out["timings"]]))
    for mode, rows in results.items():
        print_json_table(mode, names, rows, sections)
    print("Each cell: time per call (the geometric mean of the batches), and in brackets how many times faster "
          "json_dumps is than that encoder (below 1: slower). "
          "Page faults: minor faults per call over the timed calls. The warm and "
          "fresh-object tables come from one long-lived process, which by then has allocated and freed the "
          "multipart bodies and every earlier document; the fresh-process table runs each document in a new "
          "interpreter that builds it, calls each encoder once and then times them.\n")
    if json_peers.sorbek_floor is not None:
        print("The reading floor reads the tree as json_dumps reads it (in place where json_dumps does, "
              "through the stable ABI elsewhere) and makes the str of the finished text, writing nothing: "
              "its ratio below 1 is the share of json_dumps's time that reading and making the str take.\n")


def main() -> None:
    args = ARGS
    plan = (f"CPU time of the measuring thread in round-robin batches of {PLAN.batch * 1e3:.0f} ms "
            f"(times and ratios from the batches' geometric mean), at least {PLAN.min_rounds} rounds "
            f"within {PLAN.budget:g} s a workload, "
            f"{FRESH_PLAN.budget:g} s with fresh objects, {PROCESS_PLAN.budget:g} s in a fresh process"
            + ("" if args.full else "; `--full` gives each five to seven times as long"))
    print(f"# sorbek_accel benchmark\n\nCPython {platform.python_version()} on {machine()}.\n"
          f"Peers: {json_peers.versions()}.\nTiming: {plan}.\n")
    sections: list = []
    if not args.json:
        bench_multipart(sections)
    if not args.multipart:
        documents = JSON_DOCUMENTS + (corpora.documents(args.corpora) if args.corpora else [])
        bench_json(documents, args.corpora, sections)
    if args.chart:
        pathlib.Path(args.chart).write_text(chart.svg(sections, "sorbek_accel: how many times faster than each peer"))
        progress(f"chart written to {args.chart}")
    progress("done")


if __name__ == "__main__":
    main()
