import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import examples
from reference import py_sections
from sorbek_accel import multipart_sections


@pytest.mark.parametrize(
    ("body", "delimiter", "expected"),
    [
        (b"", b"--b", []),
        (b"--", b"--b", []),
        (b"no delimiter here", b"--b", []),
        (
            b"pre\r\n--XyZ\r\nName: a\r\n\r\n1\r\n--XyZ\r\nName: b\r\n\r\ntwo\r\n--XyZ--\r\npost",
            b"--XyZ",
            [(b"Name: a", b"1"), (b"Name: b", b"two")],
        ),
        (b"--b--\r\n--b\r\nH\r\n\r\nx\r\n", b"--b", []),
        (b"--b\r\n--x\r\n\r\ny", b"--b", [(b"--x", b"y")]),
        (b"--b\nA: b\r\n\r\nc", b"--b", [(b"\nA: b", b"c")]),
        (b"--b \r\nH: 1\r\n\r\nc\r\n--b--", b"--b", [(b" \r\nH: 1", b"c")]),
        (b"--b\r\nno blank line\r\n--b\r\nH: 1\r\n\r\nbody\r\n--b--", b"--b", [(b"H: 1", b"body")]),
        (b"--b\r\n\r\n\r\npayload\r\n--b--", b"--b", [(b"", b"payload")]),
        (b"--b\r\nH\r\n\r\ndata\r\n\r\n--b--", b"--b", [(b"H", b"data\r\n")]),
        (b"--b\r\nH\r\n\r\n\r\n--b--", b"--b", [(b"H", b"")]),
        (b"--b\r\nH\r\n\r\nx\r\n--b--", b"--b", [(b"H", b"x")]),
        (b"--b\r\nH\r\n\r\nx--b", b"--b", [(b"H", b"x")]),
        (b"--b\r\nH: 1\r\n\r\nlast\r\n", b"--b", [(b"H: 1", b"last")]),
        (b"--b\r\n\r\n", b"--b", []),
        (b"--b-\r\n--b\r\nH\r\n\r\nv", b"--b", [(b"H", b"v")]),
        (b"--b-" + b"--b\r\nH\r\n\r\nv", b"--b", [(b"H", b"v")]),
        (b"===h\r\n\r\np", b"==", [(b"=h", b"p")]),
        (b"--b\r\nH\r\n\r\nab--bcd\r\n\r\ne", b"--b", [(b"H", b"ab"), (b"cd", b"e")]),
        (b"x\x00\x00H\r\n\r\n\x00p\r\n", b"\x00\x00", [(b"H", b"\x00p")]),
    ],
)
def test_documented_cases(body, delimiter, expected):
    result = multipart_sections(body, delimiter)
    assert result == expected == py_sections(body, delimiter)
    assert type(result) is list
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is bytes and type(pair[1]) is bytes


@pytest.mark.parametrize("body", [b"", b"x", b"--b\r\nH\r\n\r\nx"])
def test_empty_delimiter_is_refused(body):
    with pytest.raises(TypeError, match="^empty multipart delimiter$"):
        multipart_sections(body, b"")


def test_wrong_body_wins_over_empty_delimiter():
    with pytest.raises(TypeError) as info:
        multipart_sections(bytearray(b"x"), b"")
    assert info.value.__notes__ == ["while processing 'body'"]


delimiters = st.one_of(
    st.sampled_from([b"--b", b"-", b"--", b"\x00", b"\r\n", b"--boundary42", b"b", b"\r", b"--\r\n"]),
    st.binary(min_size=1, max_size=6),
)
atoms = st.sampled_from([b"\r\n", b"\r", b"\n", b"--", b"-", b"\r\n\r\n", b"H: v", b"x", b"\x00", b" "])


@st.composite
def multipart_bodies(draw):
    delimiter = draw(delimiters)
    pieces = [draw(st.binary(max_size=8))]  # preamble
    for _ in range(draw(st.integers(0, 6))):
        pieces.append(delimiter)
        pieces.append(draw(st.sampled_from([b"", b"\r\n", b"--", b"\n", b" \r\n"])))
        pieces.extend(draw(st.lists(st.one_of(atoms, st.just(delimiter), st.binary(max_size=4)), max_size=8)))
    body = b"".join(pieces)
    if draw(st.booleans()):
        body = body[: draw(st.integers(0, len(body)))]  # truncated upload
    return body, delimiter


@settings(max_examples=examples(3000), suppress_health_check=[HealthCheck.too_slow], deadline=None)
@given(multipart_bodies())
def test_matches_reference_on_structured_bodies(case):
    body, delimiter = case
    assert multipart_sections(body, delimiter) == py_sections(body, delimiter)


@settings(max_examples=examples(2000), deadline=None)
@given(st.binary(max_size=64), st.binary(min_size=1, max_size=3))
def test_matches_reference_on_random_bytes(body, delimiter):
    assert multipart_sections(body, delimiter) == py_sections(body, delimiter)


def form(boundary: bytes, parts: list[tuple[bytes, bytes]]) -> bytes:
    out = [b"preamble\r\n"]
    for head, payload in parts:
        out.append(b"--" + boundary + b"\r\n" + head + b"\r\n\r\n" + payload + b"\r\n")
    out.append(b"--" + boundary + b"--\r\nepilogue")
    return b"".join(out)


def test_realistic_form_round_trip():
    import random

    rng = random.Random(5)
    boundary = b"----WebKitFormBoundary7MA4YWxkTrZu0gW"
    parts = []
    for i in range(50):
        head = b'Content-Disposition: form-data; name="f%d"' % i
        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 3000)))
        payload = payload.replace(b"--" + boundary, b"")
        parts.append((head, payload))
    body = form(boundary, parts)
    assert multipart_sections(body, b"--" + boundary) == py_sections(body, b"--" + boundary)


@pytest.mark.parametrize(
    ("body", "delimiter"),
    [
        (b"-" * 200_000, b"-" * 70),
        (b"a" * 200_000, b"a" * 69 + b"b"),
        (b"a" * 200_000, b"a" * 35 + b"b" + b"a" * 34),
        ((b"a" * 69 + b"c") * 3000, b"a" * 69 + b"b"),
        (b"b" * 100_000, b"b"),
        (b"-b" * 100_000, b"-"),
        (b"\r\n" * 100_000, b"--b"),
        (b"--b" + b"\r\n" * 100_000, b"--b"),
        (b"--b\r\n" + b"\r" + b"x" * 100_000, b"--b"),
    ],
    ids=["dashes", "a69b", "almost-everywhere", "near-miss-blocks", "1-byte-sections", "dash-sections",
         "all-crlf", "crlf-section", "cr-only-section"],
)
def test_adversarial_pairs_match_reference(body, delimiter):
    assert multipart_sections(body, delimiter) == py_sections(body, delimiter)
