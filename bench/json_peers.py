"""The JSON encoders json_dumps is measured against, in the order the tables
show them: the three yardsticks first (orjson with the decode to str that a
str result costs, ssrjson, and the reading floor), then the rest."""

from __future__ import annotations

import json
from typing import Callable

import msgspec
import orjson
import ssrjson
import ujson

import sorbek_accel

try:
    import sorbek_floor  # built by scripts/bench.sh
except ImportError:
    sorbek_floor = None

OURS = "sorbek_accel.json_dumps"
FLOOR = "reading floor"


def floor_call(text: bytes) -> Callable[[object], object]:
    """The floor's call for one document; `text` is json_dumps's output as
    UTF-8, whose str the floor makes after reading the tree."""
    prepared = sorbek_floor.prepare(text)
    return lambda x: sorbek_floor.floor(x, prepared)


def encoders(text: bytes) -> list[tuple[str, Callable[[object], object]]]:
    peers: list[tuple[str, Callable[[object], object]]] = [
        (OURS, sorbek_accel.json_dumps),
        ("orjson.dumps().decode()", lambda x: orjson.dumps(x).decode()),
        ("ssrjson.dumps", ssrjson.dumps),
    ]
    if sorbek_floor is not None:
        peers.append((FLOOR, floor_call(text)))
    peers += [
        ("orjson.dumps() (bytes)", orjson.dumps),
        ("json.dumps", lambda x: json.dumps(x, ensure_ascii=False, separators=(",", ":"))),
        ("msgspec encode().decode()", lambda x: msgspec.json.encode(x).decode()),
        ("ujson.dumps", lambda x: ujson.dumps(x, ensure_ascii=False)),
    ]
    return peers


def versions() -> str:
    return (f"orjson {orjson.__version__}, ssrjson {getattr(ssrjson, '__version__', '?')}, "
            f"ujson {ujson.__version__}, msgspec {msgspec.__version__}")
