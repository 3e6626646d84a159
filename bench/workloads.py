"""Benchmark inputs, generated from fixed seeds."""

from __future__ import annotations

import random
from typing import Callable

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


def multipart_workloads(adversarial_size: int = 16 * MiB) -> list[tuple[str, bytes, bytes, bool]]:
    """(name, body, delimiter, well-formed for a streaming parser). The
    adversarial bodies are `adversarial_size` bytes: the pure-Python
    reference takes seconds a call on the largest."""
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
    n = adversarial_size
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


# Words of an API's prose, and the few characters such prose carries beyond
# ASCII once it has been through a word processor or names its authors.
API_WORDS = (
    "the a an of to in for on with by from and or if when each every this that is are be may must not "
    "returns return list lists get set create update delete replace retrieve resource resources object "
    "objects field fields value values request response body header query path parameter parameters page "
    "pages token cursor limit offset filter sort order ascending descending default maximum minimum "
    "string integer boolean number array identifier unique account user users project projects team "
    "member members invoice invoices payment payments webhook webhooks event events status created "
    "updated timestamp format date time zone region currency amount total count error errors code "
    "message permission permissions scope scopes access key keys secret rate limited retry after "
    "seconds version deprecated use instead see also note only one more than less within between "
    "server client application configuration settings metadata label labels annotation expand include"
).split()
# (plain form, typeset form): ligatures up to U+FB03, curly quotes, dashes.
TYPESET = [
    ("configuration", "con\ufb01guration"), ("efficient", "e\ufb03cient"), ("office", "o\ufb03ce"),
    ("workflow", "work\ufb02ow"), ("file", "\ufb01le"), ("affiliate", "a\ufb03liate"),
    ('"default"', "\u201cdefault\u201d"), ("'id'", "\u2018id\u2019"), ("-", "\u2013"), ("--", "\u2014"),
    ("...", "\u2026"), ("(TM)", "\u2122"), ("->", "\u2192"), ("caf\u00e9", "caf\u00e9"),
]
CJK_NAMES = ["\u5c71\u7530\u592a\u90ce", "\u738b\u82b3", "\u9234\u6728\u82b1\u5b50", "\uae40\ubbfc\uc900", "\u674e\u5a1c"]


def _prose(rng: random.Random, low: int, high: int, typeset: float) -> str:
    words = rng.choices(API_WORDS, k=rng.randrange(low, high))
    if rng.random() < typeset:
        words[rng.randrange(len(words))] = rng.choice(TYPESET)[1]
    return " ".join(words).capitalize() + "."


def api_description(seed: int = 3803) -> dict:
    """An OpenAPI-style description of a large API, about 3.8 MB of JSON in
    about 110,000 strings: ASCII prose with a few hundred characters beyond
    it (ligatures up to U+FB03, curly quotes, dashes, a few CJK names)."""
    rng = random.Random(seed)
    typeset = 0.019  # about 280 characters beyond ASCII in the whole document
    types = [("string", None), ("string", "date-time"), ("string", "uuid"), ("integer", "int64"),
             ("boolean", None), ("number", "double"), ("string", "email")]
    resources = [f"{a}_{b}" for b in ("records", "items", "events", "settings") for a in API_WORDS[20:90]][:220]
    schemas, paths = {}, {}
    for r, resource in enumerate(resources):
        name = "".join(part.capitalize() for part in resource.split("_"))
        properties = {}
        for p in range(rng.randrange(8, 18)):
            kind, fmt = rng.choice(types)
            prop = {"type": kind, "description": _prose(rng, 20, 66, typeset)}
            if fmt:
                prop["format"] = fmt
            if kind == "string" and rng.random() < 0.3:
                prop["maxLength"] = rng.choice([64, 255, 1024])
            if rng.random() < 0.4:
                prop["example"] = (rng.choice(CJK_NAMES) if rng.random() < 0.02
                                   else " ".join(rng.choices(API_WORDS, k=2)))
            if rng.random() < 0.1:
                prop["enum"] = rng.sample(API_WORDS, 4)
            properties[f"{rng.choice(API_WORDS)}_{rng.choice(API_WORDS)}_{p}"] = prop
        schemas[name] = {
            "type": "object",
            "title": name,
            "description": _prose(rng, 40, 110, typeset),
            "required": rng.sample(sorted(properties), 3),
            "properties": properties,
        }
        ref = {"$ref": f"#/components/schemas/{name}"}

        def operation(verb: str, many: bool, body: bool) -> dict:
            op = {
                "operationId": f"{verb}{name}{'List' if many else ''}",
                "summary": _prose(rng, 4, 10, typeset),
                "description": _prose(rng, 50, 160, typeset),
                "tags": [resource],
                "parameters": [
                    {"name": rng.choice(["limit", "cursor", "expand", "fields", "sort", "filter"]),
                     "in": "query", "required": False, "description": _prose(rng, 8, 25, typeset),
                     "schema": {"type": rng.choice(["string", "integer"])}}
                    for _ in range(rng.randrange(1, 5) if many else rng.randrange(0, 2))
                ],
                "responses": {
                    "200": {"description": _prose(rng, 5, 15, typeset),
                            "content": {"application/json": {"schema": {"type": "array", "items": ref} if many else ref}}},
                    "401": {"$ref": "#/components/responses/Unauthorized"},
                    "404": {"$ref": "#/components/responses/NotFound"},
                    "429": {"description": _prose(rng, 5, 15, typeset),
                            "headers": {"Retry-After": {"schema": {"type": "integer"}}}},
                },
                "security": [{"oauth2": [f"{resource}:{'write' if body else 'read'}"]}],
                "x-rate-limit": rng.choice([60, 600, 6000]),
                "deprecated": rng.random() < 0.05,
            }
            if body:
                op["requestBody"] = {"required": True, "content": {"application/json": {"schema": ref}}}
            return op

        base = f"/v2/{resource.replace('_', '-')}"
        paths[base] = {"get": operation("list", True, False), "post": operation("create", False, True)}
        paths[base + "/{id}"] = {
            "parameters": [{"name": "id", "in": "path", "required": True, "schema": {"type": "string", "format": "uuid"}}],
            "get": operation("get", False, False), "put": operation("replace", False, True),
            "patch": operation("update", False, True), "delete": operation("delete", False, False),
        }
        paths[base + "/{id}/events"] = {"get": operation("listEvents", True, False)}
    return {
        "openapi": "3.1.0",
        "info": {"title": "Example platform API", "version": "2.14.0", "description": _prose(rng, 200, 400, typeset),
                 "contact": {"name": CJK_NAMES[0], "email": "api@example.com"},
                 "license": {"name": "Apache 2.0", "identifier": "Apache-2.0"}},
        "servers": [{"url": f"https://{region}.api.example.com/v2", "description": _prose(rng, 4, 10, typeset)}
                    for region in ("eu", "us", "ap")],
        "tags": [{"name": resource, "description": _prose(rng, 10, 30, typeset)} for resource in resources],
        "paths": paths,
        "components": {
            "schemas": schemas,
            "responses": {
                "Unauthorized": {"description": _prose(rng, 5, 15, typeset)},
                "NotFound": {"description": _prose(rng, 5, 15, typeset)},
            },
            "securitySchemes": {"oauth2": {"type": "oauth2", "flows": {"clientCredentials": {
                "tokenUrl": "https://auth.example.com/token", "scopes": {f"{r}:read": _prose(rng, 3, 8, 0) for r in resources}}}}},
        },
    }


# Words beyond U+00FF that mostly-English user text picks up: names, places,
# quotes and dashes, symbols, a little Cyrillic, Greek and CJK.
WIDE_WORDS = [
    "\u201cgreat\u201d", "it\u2019s", "don\u2019t", "\u2014", "\u2013", "\u2026", "\u20ac12", "\u2192", "\u2713",
    "\u0141\u00f3d\u017a", "Dvo\u0159\u00e1k", "\u0130stanbul", "Ba\u015fak", "\u0160koda", "Gda\u0144sk",
    "\u041c\u043e\u0441\u043a\u0432\u0430", "\u0441\u043f\u0430\u0441\u0438\u0431\u043e", "\u03b1\u03b2\u03b3",
    "\u0391\u03b8\u03ae\u03bd\u03b1", "\u6771\u4eac", "\u3042\u308a\u304c\u3068\u3046", "\u5317\u4eac", "\uc11c\uc6b8",
]
TEXT_WORDS = (
    "i we you they it this that the a an and but so very really quite not too just good great nice bad "
    "slow fast price quality delivery arrived late early order ordered package box size colour fits "
    "works broke returned refund support helpful thanks again would buy recommend friends family "
    "store online app update version phone battery screen camera sound light heavy cheap expensive"
).split()


def _text(rng: random.Random, low: int, high: int, wide: float) -> str:
    words = [rng.choice(WIDE_WORDS) if rng.random() < wide else rng.choice(TEXT_WORDS)
             for _ in range(rng.randrange(low, high))]
    return " ".join(words)


def user_reviews(seed: int = 4242) -> list:
    """About 1 MB of user reviews: English text with about 3% of its
    characters beyond U+00FF (none beyond U+FFFF), spread over most strings."""
    rng = random.Random(seed)
    wide = 0.12
    return [
        {
            "id": 500000 + i,
            "product": {"sku": f"SKU-{rng.randrange(10**6):06d}", "title": _text(rng, 2, 7, wide)},
            "author": {"name": _text(rng, 1, 3, wide), "locale": rng.choice(["en-GB", "en-US", "pl-PL", "tr-TR", "ja-JP"])},
            "rating": rng.randrange(1, 6),
            "title": _text(rng, 2, 8, wide),
            "body": _text(rng, 15, 80, wide),
            "helpful": rng.randrange(0, 500),
            "verified": rng.random() < 0.7,
            "created_at": f"2025-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:00:00Z",
        }
        for i in range(2200)
    ]


def _small_documents() -> list[object]:
    # Drawn from one generator, in this order, as they always have been.
    rng = random.Random(1208)
    return [api_response(rng), geo_coordinates(rng), integer_records(rng)]


def _small(index: int) -> Callable[[], object]:
    return lambda: _small_documents()[index]


# (name, builder): a fresh process builds only the document it measures.
JSON_DOCUMENTS: list[tuple[str, Callable[[], object]]] = [
    ("API response (nested, 1/3 non-ASCII)", _small(0)),
    ("geographic coordinates (floats)", _small(1)),
    ("integer records", _small(2)),
    ('tiny {"ok": true, "id": 1}', lambda: {"ok": True, "id": 1}),
    ("API description (3.7 MB, 299 characters beyond ASCII)", api_description),
    ("user reviews (1.2 MB, 2.9% of characters beyond U+00FF)", user_reviews),
]


def json_workloads() -> list[tuple[str, object]]:
    return [(name, build()) for name, build in JSON_DOCUMENTS]
