"""multipart_sections against the reference splitter, under atheris."""

import pathlib
import sys

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

with atheris.instrument_imports():
    from reference import py_sections

import sorbek_accel


def one_input(data: bytes) -> None:
    if len(data) < 2:
        return
    n = 1 + data[0] % 16
    delimiter, body = data[1 : 1 + n], data[1 + n :]
    if not delimiter:
        return
    got = sorbek_accel.multipart_sections(body, delimiter)
    want = py_sections(body, delimiter)
    if got != want:
        raise AssertionError((body, delimiter, got, want))


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
