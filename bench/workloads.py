"""Benchmark inputs, generated from fixed seeds."""

from __future__ import annotations

import random

MiB = 1024 * 1024
BOUNDARY = b"----sorbekBoundary7MA4YWxkTrZu0gW"
DELIMITER = b"--" + BOUNDARY


def multipart_body(parts: list[tuple[bytes, bytes]]) -> bytes:
    out = [b"\r\n"]
    for head, payload in parts:
        out += [DELIMITER, b"\r\n", head, b"\r\n\r\n", payload, b"\r\n"]
    out += [DELIMITER, b"--\r\n"]
    return b"".join(out)


def field(name: str) -> bytes:
    return b'Content-Disposition: form-data; name="' + name.encode() + b'"'


def file_head(name: str, filename: str) -> bytes:
    return field(name) + b'; filename="' + filename.encode() + b'"\r\nContent-Type: application/octet-stream'


def random_payload(rng: random.Random, size: int) -> bytes:
    data = rng.randbytes(size)
    # Keep the delimiter out of the payload, as a client must.
    return data.replace(DELIMITER, b"x" * len(DELIMITER))


def multipart_workloads() -> list[tuple[str, bytes, bytes, bool]]:
    """(name, body, delimiter, well-formed for a streaming parser)."""
    rng = random.Random(2026)
    upload = multipart_body([(file_head("upload", "video.bin"), random_payload(rng, 16 * MiB))])
    fields = multipart_body([(field(f"field{i}"), f"value number {i} {'x' * rng.randrange(0, 40)}".encode()) for i in range(1000)])
    mixed_parts = [(field(f"f{i}"), f"text {i}".encode() * 4) for i in range(20)]
    mixed_parts += [(file_head(f"file{i}", f"f{i}.bin"), random_payload(rng, 256 * 1024)) for i in range(3)]
    mixed = multipart_body(mixed_parts)
    # An urlencoded-style form sent as multipart: a name and a short value a part.
    small_fields = multipart_body(
        [(field(f"f{i}"), b"v" * rng.randrange(0, 10)) for i in range(10000)]
    )
    n = 16 * MiB
    adversarial = [
        ("adv: 70 x '-' vs run of '-'", b"-" * n, b"-" * 70),
        ("adv: a*69+b vs a*N", b"a" * n, b"a" * 69 + b"b"),
        ("adv: near match everywhere", b"a" * n, b"a" * 35 + b"b" + b"a" * 34),
        ("adv: 1-byte sections", b"-b" * (n // 2), b"-"),
        ("adv: all CR/LF", b"\r\n" * (n // 2), DELIMITER),
        ("adv: CR/LF section", DELIMITER + b"\r\n" * (n // 2), DELIMITER),
    ]
    return [
        ("16 MiB file upload", upload, DELIMITER, True),
        ("1,000 text fields", fields, DELIMITER, True),
        ("10,000 small fields (parts of 49-61 bytes)", small_fields, DELIMITER, True),
        ("20 fields + 3 x 256 KiB files", mixed, DELIMITER, True),
    ] + [(name, body, delim, False) for name, body, delim in adversarial]


WORDS = ["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta", "zeta", "lambda"]
NON_ASCII = ["café", "naïve", "Zürich", "東京", "Москва", "🙂 ok", "İstanbul", "señor", "ünïcödé", "Ελλάδα"]
ESCAPED = ['say "hi"', "line\nbreak", "tab\there", "back\\slash", "ctrl\x01char"]


def _short_string(rng: random.Random) -> str:
    roll = rng.random()
    if roll < 1 / 3:
        return rng.choice(NON_ASCII) + " " + rng.choice(WORDS)
    if roll < 0.43:
        return rng.choice(ESCAPED)
    return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 4)))


def api_response(rng: random.Random) -> dict:
    return {
        "status": "ok",
        "page": {"number": 3, "size": 50, "total": 12345},
        "data": [
            {
                "id": 100000 + i,
                "name": _short_string(rng),
                "email": f"user{i}@example.com",
                "active": rng.random() < 0.8,
                "role": rng.choice(["admin", "editor", "viewer"]),
                "tags": [_short_string(rng) for _ in range(rng.randrange(0, 4))],
                "profile": {"bio": _short_string(rng), "city": _short_string(rng), "manager": None},
                "score": round(rng.uniform(0, 100), 2),
            }
            for i in range(50)
        ],
    }


def geo_coordinates(rng: random.Random) -> dict:
    return {
        "type": "FeatureCollection",
        "features": [
            {
                "type": "Feature",
                "properties": {"id": f, "name": f"track {f}"},
                "geometry": {
                    "type": "LineString",
                    "coordinates": [[rng.uniform(-180, 180), rng.uniform(-90, 90)] for _ in range(100)],
                },
            }
            for f in range(10)
        ],
    }


def integer_records(rng: random.Random) -> list:
    return [
        {
            "id": i,
            "user_id": rng.randrange(1, 10**9),
            "created": 1_700_000_000 + rng.randrange(10**7),
            "counts": [rng.randrange(-1000, 100000) for _ in range(8)],
            "flags": rng.randrange(0, 2**31),
        }
        for i in range(300)
    ]


def json_workloads() -> list[tuple[str, object]]:
    rng = random.Random(1208)
    return [
        ("API response (nested, 1/3 non-ASCII)", api_response(rng)),
        ("geographic coordinates (floats)", geo_coordinates(rng)),
        ("integer records", integer_records(rng)),
        ('tiny {"ok": true, "id": 1}', {"ok": True, "id": 1}),
    ]
