"""Times the JSON encoders on one document in a process of its own: a new
interpreter imports them, builds the document, calls each once, and times
a few batches. Nothing ran before in the process, so its allocator holds
only what building the document left: where an encoder's large blocks go
back to the system after each call, the next call faults their pages in
anew, and this run shows it. (run.py's own process has by then allocated
and freed the 16 MiB multipart bodies and every earlier document, which
changes where glibc's malloc serves large blocks from.)

Usage: python fresh_process.py NAME [--corpora DIR] [--full]
Prints one JSON line: each encoder's name and timing (seconds per call in
each round, calls and minor page faults), or why json_dumps refused the
document."""

from __future__ import annotations

import dataclasses
import json
import sys

import corpora
import json_peers
import sorbek_accel
import timing
from workloads import JSON_DOCUMENTS


def main() -> None:
    name = sys.argv[1]
    corpora_dir = sys.argv[sys.argv.index("--corpora") + 1] if "--corpora" in sys.argv else None
    plan = timing.FULL_PROCESS if "--full" in sys.argv else timing.QUICK_PROCESS
    documents = dict(JSON_DOCUMENTS + (corpora.documents(corpora_dir) if corpora_dir else []))
    value = documents[name]()
    try:
        text = sorbek_accel.json_dumps(value).encode()
    except (TypeError, RecursionError) as e:
        print(json.dumps({"refused": f"{type(e).__name__} \"{e}\""}))
        return
    peers = json_peers.encoders(text)
    # json_dumps has just made the text: its one call before timing is done.
    timings = timing.side_by_side([lambda e=e: e(value) for _, e in peers], plan, warmed=(0,))
    print(json.dumps({"names": [n for n, _ in peers], "timings": [dataclasses.asdict(t) for t in timings]}))


if __name__ == "__main__":
    main()
