"""Writes fresh short strings of every length 1 to 70 with json_dumps (as
values, keys, str subclasses and cached UTF-8) and checks each result against
json.dumps; splits short fresh bodies with multipart_sections. Meant to run where reading past a
string's allocation is caught: under valgrind, or on arm64 with a tagged heap
(both with PYTHONMALLOC=malloc, so that every string is an allocation of its
own). Exits non-zero on a wrong result; a stray read ends the process."""

import json
import sys

from sorbek_accel import json_dumps, multipart_sections


class Sub(str):
    pass


def fresh(n, ch="a"):
    # Joined at run time: a new allocation of exactly the string's size.
    return "".join([ch] * n)


def cases(n):
    s = fresh(n)
    yield s                                  # compact ASCII: data inside the object
    yield {s: fresh(n, "b")}                 # as a key
    yield Sub(s)                             # subclass: data in its own block
    yield {Sub(fresh(n, "c")): Sub(s)}
    yield fresh(n - 1) + "\u00e9"            # non-ASCII: the cached UTF-8 is its own block
    yield {fresh(n - 1) + "\u4e2d": fresh(n - 1, "x") + "\U0001f600"}
    yield fresh(n - 1) + '"'                 # an escape as the last byte
    yield Sub(fresh(n - 1) + "\u00fc")


def main():
    checked = 0
    for n in range(1, 71):
        for value in cases(n):
            got = json_dumps([value, value])
            want = json.dumps([value, value], ensure_ascii=False, separators=(",", ":"))
            if got != want:
                print(f"length {n}: {got!r} != {want!r}")
                return 1
            checked += 1
    # Bodies and delimiters of every short length, each its own allocation:
    # the splitter's searches must stay within them too.
    for n in range(1, 71):
        delimiter = bytes(fresh(1 + n % 9, "-"), "ascii")
        body = bytes(fresh(n, "x"), "ascii") + delimiter + b"\r\nH\r\n\r\n" + bytes(fresh(n, "y"), "ascii")
        want = [(b"H", bytes(fresh(n, "y"), "ascii"))]
        if multipart_sections(body, delimiter) != want or multipart_sections(body[:n], delimiter) != []:
            print(f"multipart, length {n}: wrong sections")
            return 1
        checked += 2
    print(f"short strings: {checked} calls checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
