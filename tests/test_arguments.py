import pytest

import sorbek_accel

json_dumps = sorbek_accel.json_dumps
sections = sorbek_accel.multipart_sections


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: json_dumps(), "json_dumps() missing 1 required positional argument: 'value'"),
        (lambda: json_dumps(1, 2), "json_dumps() takes 1 positional arguments but 2 were given"),
        (lambda: json_dumps(1, 2, 3), "json_dumps() takes 1 positional arguments but 3 were given"),
        (lambda: json_dumps(1, value=2), "json_dumps() got multiple values for argument 'value'"),
        (lambda: json_dumps(x=1), "json_dumps() got an unexpected keyword argument 'x'"),
        (lambda: json_dumps(value=1, x=2), "json_dumps() got an unexpected keyword argument 'x'"),
        (lambda: json_dumps(1, 2, x=3), "json_dumps() takes 1 positional arguments but 2 were given"),
        (lambda: json_dumps(**{"\ud800": 1}), "json_dumps() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        (lambda: json_dumps(**{"\U0001f600": 1}), "json_dumps() got an unexpected keyword argument '\U0001f600'"),
        (lambda: sections(), "multipart_sections() missing 2 required positional arguments: 'body' and 'delimiter'"),
        (lambda: sections(b"x"), "multipart_sections() missing 1 required positional argument: 'delimiter'"),
        (lambda: sections(delimiter=b"x"), "multipart_sections() missing 1 required positional argument: 'body'"),
        (lambda: sections(b"x", b"y", b"z"), "multipart_sections() takes 2 positional arguments but 3 were given"),
        (lambda: sections(b"x", body=b"y"), "multipart_sections() got multiple values for argument 'body'"),
        (lambda: sections(b"x", b"y", delimiter=b"z"), "multipart_sections() got multiple values for argument 'delimiter'"),
        (lambda: sections(b"x", bogus=1, delimiter=b"y"), "multipart_sections() got an unexpected keyword argument 'bogus'"),
        (lambda: sections(b"x", delimiter=b"y", **{"a\x00b": 1}), "multipart_sections() got an unexpected keyword argument 'a\x00b'"),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError
    assert not hasattr(info.value, "__notes__")


def test_keywords_bind_like_positionals():
    assert json_dumps(value=[1]) == json_dumps([1]) == "[1]"
    body = b"--b\r\nH\r\n\r\nx\r\n--b--"
    assert sections(delimiter=b"--b", body=body) == sections(body, b"--b") == [(b"H", b"x")]
    assert sections(body, delimiter=b"--b") == [(b"H", b"x")]


@pytest.mark.parametrize(
    ("args", "message", "note"),
    [
        (("x", b"--b"), "'str' object is not an instance of 'bytes'", "while processing 'body'"),
        ((b"x", None), "'None' is not an instance of 'bytes'", "while processing 'delimiter'"),
        ((bytearray(b"x"), 1), "'bytearray' object is not an instance of 'bytes'", "while processing 'body'"),
        ((memoryview(b"x"), b"-"), "'memoryview' object is not an instance of 'bytes'", "while processing 'body'"),
        ((b"x", bytearray(b"-")), "'bytearray' object is not an instance of 'bytes'", "while processing 'delimiter'"),
        ((None, b""), "'None' is not an instance of 'bytes'", "while processing 'body'"),
        ((b"x", 3), "'int' object is not an instance of 'bytes'", "while processing 'delimiter'"),
    ],
)
def test_bytes_conversion_errors(args, message, note):
    with pytest.raises(TypeError) as info:
        sections(*args)
    assert str(info.value) == message
    assert info.value.__notes__ == [note]


def test_cast_failure_names_qualified_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        sections(Outer.Inner(), b"-")
    assert str(info.value) == (
        "'test_cast_failure_names_qualified_type.<locals>.Outer.Inner' object is not an instance of 'bytes'"
    )


def test_bytes_subclasses_are_accepted():
    class B(bytes):
        pass

    assert sections(B(b"--b\r\nH\r\n\r\nx"), B(b"--b")) == [(b"H", b"x")]
