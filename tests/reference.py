"""Pure-Python references that the tests compare the module against."""

from __future__ import annotations

import json
import math
from fractions import Fraction


def py_sections(body: bytes, delimiter: bytes) -> list[tuple[bytes, bytes]]:
    """The multipart splitter, written from its bytes.split description."""
    parts = []
    for section in body.split(delimiter)[1:]:
        if section[:2] == b"--":
            break
        if section[:2] == b"\r\n":
            section = section[2:]
        head, blank, payload = section.partition(b"\r\n\r\n")
        if not blank:
            continue
        if payload[-2:] == b"\r\n":
            payload = payload[:-2]
        parts.append((head, payload))
    return parts


def _layout(digits: str, point: int) -> str:
    """Positional text of 0.digits * 10**point."""
    if point >= len(digits):
        return digits + "0" * (point - len(digits)) + ".0"
    if point > 0:
        return digits[:point] + "." + digits[point:]
    return "0." + "0" * -point + digits


def float_text(x: float) -> tuple[str, bool]:
    """Exact oracle for an accepted float: the shortest digits that read back,
    the nearest of that length, the upper one at an exact tie. Returns the text
    and whether an exact tie decided it."""
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    a = abs(x)
    if a == int(a):
        return f"{sign}{int(a)}.0", False
    exact = Fraction(a)
    # Decimal exponent of the leading digit: 10**e <= exact < 10**(e+1).
    e = len(str(int(exact))) - 1 if exact >= 1 else -len(str(int(1 / exact)))
    if Fraction(10) ** e > exact:
        e -= 1
    elif Fraction(10) ** (e + 1) <= exact:
        e += 1
    for n in range(1, 18):
        scale = Fraction(10) ** (n - 1 - e)
        scaled = exact * scale
        low = math.floor(scaled)
        rest = scaled - low
        digits = low + 1 if rest >= Fraction(1, 2) else low
        if float(Fraction(digits) / scale) == a:
            text = str(digits)
            point = e + 1
            if len(text) > n:  # rounding carried into a new digit
                point += 1
            return sign + _layout(text.rstrip("0") or "0", point), rest == Fraction(1, 2)
    raise AssertionError(f"no shortest form for {x!r}")


def ref_dumps(value) -> str:
    """json.dumps(value, ensure_ascii=False, separators=(",", ":")), with
    floats from the exact oracle (the upper digit at halfway cases)."""
    if value is None or value is True or value is False:
        return json.dumps(value)
    if isinstance(value, str):
        return json.dumps(str.__str__(value), ensure_ascii=False)
    if isinstance(value, int):
        return str(int.__index__(value))
    if isinstance(value, float):
        return float_text(float.__float__(value))[0]
    if isinstance(value, (list, tuple)):
        items = list.__iter__(value) if isinstance(value, list) else tuple.__iter__(value)
        return "[" + ",".join(ref_dumps(v) for v in items) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(ref_dumps(k) + ":" + ref_dumps(v) for k, v in dict.items(value)) + "}"
    raise TypeError(type(value))


def plain(value):
    """The same tree with every subclass instance replaced by its base-type
    value, read through the base type's storage (what json.dumps would see if
    no method lied)."""
    if value is None or value is True or value is False:
        return value
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, int):
        return int.__index__(value)
    if isinstance(value, float):
        return float.__float__(value)
    if isinstance(value, list):
        return [plain(v) for v in list.__iter__(value)]
    if isinstance(value, tuple):
        return [plain(v) for v in tuple.__iter__(value)]
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in dict.items(value)}
    raise TypeError(type(value))
