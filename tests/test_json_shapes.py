"""The shapes of real responses, against json.dumps: outputs past the inline
buffer (its first 2048 bytes) and across each of its growth steps, and many
dicts that share their key objects, with more distinct keys than the key
cache holds. A repeated key is copied from its earlier occurrence in the
output, which the growth of the buffer may have moved meanwhile.

The steps are the same whatever storage earlier calls left behind, and
under AddressSanitizer every byte past a step is poisoned until the buffer
grows over it: there a write past the room a writer reserved is reported
at whichever step the value meets."""

import json

import pytest

from sorbek_accel import json_dumps

INLINE = 2048
# Each growth doubles the capacity while every single write is small.
STEPS = [INLINE << n for n in range(6)]  # 2 KiB .. 64 KiB


def std(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def size(value):
    return len(std(value).encode())


def padding(nbytes):
    """List items whose output, after '[' and each with its ',', takes exactly
    nbytes. The items are short, so the buffer grows by doubling through them."""
    assert nbytes >= 3
    full, last = divmod(nbytes - 3, 64)
    return ["p" * 61] * full + ["q" * last]


VALUES = {
    "short str": "short",
    "str of 32 bytes": "s" * 32,  # the longest copied as one window
    "str": "abcdefghijklmnopqrstuvwxyz0123456789",
    "escaped str": 'q"\\\n\x01' + "z" * 30 + "\x1f",
    "non-ASCII str": "é中\U0001f600" * 6,
    "long str": "L" * 5000,
    "int": -9223372036854775808,
    "float": 0.00012345678901234567,
    "large float": 1234567890123456.0,
    "literal": False,
    # Each container closes right after the one inside it.
    "nested": {"n": [None, {"t": True, "f": [False]}]},
    "repeated key": {"shared-key": [1]},
    "repeated escaped key": {'k"\x00é': 2},
    "repeated long key": {"K" * 61: 3},  # 64 bytes with quotes and ':': the longest cached
}


@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("kind", VALUES)
def test_value_across_a_growth_step(step, kind):
    """The value starts at every offset from a little before `step` until it
    lies wholly past it, so that it straddles the step at each of its bytes,
    and the growth happens before, inside and after its write."""
    x = VALUES[kind]
    # A repeated key's first occurrence is written at the start, in the inline buffer.
    head = [x] if isinstance(x, dict) else []
    head_size = size(head) - 1  # without ']'; '[' and the item, no ','
    length = size(x)
    shifts = set(range(-3, min(length, 80) + 4)) | {length + d for d in range(-2, 3)}
    for shift in sorted(s for s in shifts if step - s > head_size + 8):
        start = step - shift  # byte offset of the value's output
        items = head + padding(start - head_size - (1 if head else 0)) + [x]
        assert json_dumps(items) == std(items), (step, kind, shift)


@pytest.mark.parametrize("step", STEPS)
@pytest.mark.parametrize("end", [-1, 0, 1])
def test_output_ending_at_a_growth_step(step, end):
    items = padding(step + end - 1)  # every ',' and the closing ']'
    assert size(items) == step + end
    assert json_dumps(items) == std(items)


KEY_FAMILIES = {
    "plain": [f"field_{i}" for i in range(600)],  # more than the cache has slots
    "escaped": [f'q"{i}\\' if i % 3 == 0 else f"\t{i}\n" if i % 3 == 1 else f"\x00{i}\x1f" for i in range(100)],
    "non-ASCII": [f"ключ{i}" if i % 3 == 0 else f"中文{i}" if i % 3 == 1 else f"\U0001f600{i}é" for i in range(100)],
    # Around the cache's limit of 64 bytes of output, and far past it.
    # Output lengths (quotes and ':' included) of 63, 64, 65 and 200 bytes.
    "long": [f"{i:03d}".rjust((63, 64, 65, 200)[i % 4] - 3, "a") for i in range(100)],
    "mixed": [f"f{i}" for i in range(40)]
    + ["é" * 30, "é" * 31, '"' * 30, '"' * 31, "\x01" * 10, "\x01" * 11]
    + [f"g{i}" * 9 for i in range(54)],
}


def records(keys, count):
    """`count` dicts over the same key objects, each with a different run of
    them (so that the cache's slots collide and are replaced), nested dicts
    included that repeat the keys of the outer one."""
    out = []
    for r in range(count):
        chosen = [keys[(r * 7 + j) % len(keys)] for j in range(5 + r % 40)]
        record = {k: (r if j % 3 == 0 else f"v{j}" if j % 3 == 1 else [None, j * 0.5]) for j, k in enumerate(chosen)}
        record[keys[r % len(keys)]] = {k: j for j, k in enumerate(chosen[:8])}
        out.append(record)
    return out


@pytest.mark.parametrize("family", KEY_FAMILIES)
@pytest.mark.parametrize("count", [1, 3, 40, 400])
def test_dicts_sharing_key_objects(family, count):
    keys = KEY_FAMILIES[family]
    value = records(keys, count)
    assert json_dumps(value) == std(value)


@pytest.mark.parametrize("family", KEY_FAMILIES)
def test_equal_keys_that_are_other_objects(family):
    """Equal keys made anew for each dict, beside the shared ones: the cache
    goes by object, and must not mix up equal text with a different object."""
    keys = KEY_FAMILIES[family]
    fresh = [{"".join(list(k)): i for i, k in enumerate(keys[r % 10:][:20])} for r in range(50)]
    value = [records(keys, 20), fresh, records(keys, 20)]
    assert json_dumps(value) == std(value)
