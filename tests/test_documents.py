"""Real documents: the standard JSON corpora written by json_dumps and
compared with the standard library, and a form that uploads them split and
compared with the reference splitter. scripts/test.sh fetches the corpora into
build/corpora (SORBEK_CORPORA names another folder)."""

import json
import math
import os
import pathlib

import pytest

from reference import ref_dumps, py_sections
from sorbek_accel import json_dumps, multipart_sections

CORPORA = pathlib.Path(os.environ.get("SORBEK_CORPORA") or pathlib.Path(__file__).parent.parent / "build" / "corpora")
DOCUMENTS = sorted(CORPORA.glob("*.json"))

pytestmark = pytest.mark.skipif(not DOCUMENTS, reason=f"no JSON corpora in {CORPORA}")


def refusal(value):
    """The message json_dumps must refuse a parsed document with: that of
    its first value outside the accelerator's range, in writing order."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return None
    if isinstance(value, int):
        return None if -(2**63) <= value < 2**63 else "int out of accelerator range"
    if isinstance(value, float):
        ok = math.isfinite(value) and (value == 0 or 1e-4 <= abs(value) < 1e16)
        return None if ok else "float outside accelerator range"
    for item in value.values() if isinstance(value, dict) else value:
        if (message := refusal(item)) is not None:
            return message
    return None


@pytest.mark.parametrize("path", DOCUMENTS, ids=[p.name for p in DOCUMENTS])
def test_document_matches_standard_library(path):
    document = json.loads(path.read_bytes())
    message = refusal(document)
    if message is not None:
        with pytest.raises(TypeError) as info:
            json_dumps(document)
        assert str(info.value) == message
        return
    got = json_dumps(document)
    if got != json.dumps(document, ensure_ascii=False, separators=(",", ":")):
        # Only a float at an exact halfway point may differ: the exact oracle decides.
        assert got == ref_dumps(document)


def test_form_uploading_the_documents_matches_reference():
    boundary = b"----WebKitFormBoundaryx7GtR2qJ0cdEpQm3"
    body = [b"--" + boundary + b'\r\nContent-Disposition: form-data; name="note"\r\n\r\nall files\r\n']
    for path in DOCUMENTS:
        body.append(b"--" + boundary + b'\r\nContent-Disposition: form-data; name="f"; filename="'
                    + path.name.encode() + b'"\r\nContent-Type: application/json\r\n\r\n'
                    + path.read_bytes() + b"\r\n")
    body = b"".join(body) + b"--" + boundary + b"--\r\n"
    got = multipart_sections(body, b"--" + boundary)
    assert got == py_sections(body, b"--" + boundary)
    assert len(got) == len(DOCUMENTS) + 1
