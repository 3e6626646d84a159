"""json_dumps against json.dumps on trees decoded from the fuzz input, under
atheris. Floats are checked by the exact rule: the only accepted difference
from the standard library is a float at an exact halfway point."""

import json
import math
import pathlib
import sys

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

with atheris.instrument_imports():
    from reference import float_text, ref_dumps

import sorbek_accel


def text(fdp: atheris.FuzzedDataProvider) -> str:
    s = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))
    # Now and then a long one, so that outputs pass the inline buffer and its growth steps.
    return s * fdp.ConsumeIntInRange(1, 300) if fdp.ConsumeIntInRange(0, 7) == 0 else s


def tree(fdp: atheris.FuzzedDataProvider, keys: list, depth: int = 0):
    kind = fdp.ConsumeIntInRange(0, 9 if depth < 6 else 5)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-(2**64), 2**64)
    if kind == 3:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloatInRange(-1e17, 1e17)
    if kind in (4, 5):
        return text(fdp)
    if kind == 6:
        return [tree(fdp, keys, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if kind == 7:
        return tuple(tree(fdp, keys, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5)))
    # Mostly key objects shared by every dict of the tree, as in real
    # responses (the writer caches keys by object), some made anew.
    chosen = [keys[fdp.ConsumeIntInRange(0, len(keys) - 1)] if fdp.ConsumeIntInRange(0, 3) else
              fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8)) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if kind == 9 and chosen and fdp.ConsumeBool():
        chosen[0] = fdp.ConsumeIntInRange(0, 3)  # a non-str key
    return {k: tree(fdp, keys, depth + 1) for k in chosen}


def accepted(value) -> bool:
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return True
    if isinstance(value, int):
        return -(2**63) <= value < 2**63
    if isinstance(value, float):
        return value == 0 or (math.isfinite(value) and 1e-4 <= abs(value) < 1e16)
    if isinstance(value, (list, tuple)):
        return all(accepted(v) for v in value)
    return all(isinstance(k, str) for k in value) and all(accepted(v) for v in value.values())


def floats(value):
    if isinstance(value, float):
        yield value
    elif isinstance(value, (list, tuple)):
        for v in value:
            yield from floats(v)
    elif isinstance(value, dict):
        for v in value.values():
            yield from floats(v)


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    # Up to 40 distinct keys (some share a slot of the key cache's 256), up to
    # 70 characters (it keeps keys of up to 64 bytes).
    keys = [fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 70)) for _ in range(fdp.ConsumeIntInRange(1, 40))]
    value = tree(fdp, keys)
    try:
        got = sorbek_accel.json_dumps(value)
    except TypeError as e:
        if accepted(value):
            raise AssertionError(("refused an accepted value", value, e))
        if "accelerator" not in str(e):
            raise
        return
    if not accepted(value):
        raise AssertionError(("accepted a refused value", value))
    if got != ref_dumps(value):
        raise AssertionError((value, got, ref_dumps(value)))
    std = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    if got != std and not any(float_text(x)[1] for x in floats(value)):
        raise AssertionError((value, got, std))


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
