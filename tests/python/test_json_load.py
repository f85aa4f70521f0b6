"""The JSON loader (`load_json`) and its benchmarking companions
(`parse_json_only`, `read_file_only`): exact messages and positions of every
parser error, differential loads against the interpreter's own `json` module
on seeded random documents and on the real data files, key sharing within one
load, and the release of everything a failed load built."""

from __future__ import annotations

import gc
import json
import math
import os
import random
import struct
import sys
from pathlib import Path

import pytest

from quillscore import _vireo as v

from _paths import DATA_DIR  # noqa: E402

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)


@pytest.fixture
def write(tmp_path):
    """write(bytes) -> path of a file holding exactly those bytes."""
    counter = iter(range(10**9))

    def _write(data: bytes) -> str:
        path = tmp_path / f"doc{next(counter)}.json"
        path.write_bytes(data)
        return str(path)

    return _write


# ---------------------------------------------------------------------------
# Reference semantics: the interpreter's json module with the loader's number
# classes. Integer literals are ints only within the unsigned 64-bit range
# (non-negative) or from -1 to -2^63 (negative); -0 and every other integer
# literal become the nearest float, as do all numbers with a fraction or
# an exponent.


def classify_int(text: str):
    value = int(text)
    if text.startswith("-"):
        if value == 0 or value < I64_MIN:
            return float(text)
        return value
    return value if value <= U64_MAX else float(text)


def reference_loads(data: bytes):
    return json.loads(data, parse_int=classify_int)


def same(a, b) -> bool:
    """Structural equality that also requires equal types, bit-identical
    floats and identical key order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# ---------------------------------------------------------------------------
# Every parser message, with the line and column it is reported at. `grammar`
# marks errors the grammar-only validator of parse_json_only reports too (at
# the same place); for the others parse_json_only accepts the document.

DEEP_ARRAYS = b"[" * 128 + b"]" * 128
DEEP_OBJECTS = b'{"a":' * 128 + b"1" + b"}" * 128

ERROR_CASES = [
    # (document, message, line, column, grammar)
    (b"", "EOF while parsing a value", 1, 0, True),
    (b"   ", "EOF while parsing a value", 1, 3, True),
    (b"-", "EOF while parsing a value", 1, 1, True),
    (b"1.", "EOF while parsing a value", 1, 2, True),
    (b"1e", "EOF while parsing a value", 1, 2, True),
    (b"1e+", "EOF while parsing a value", 1, 3, True),
    (b"tr", "EOF while parsing a value", 1, 2, True),
    (b"[1,", "EOF while parsing a value", 1, 3, True),
    (b'{"a":', "EOF while parsing a value", 1, 5, True),
    (b'{"a":1,', "EOF while parsing a value", 1, 7, True),
    (b"[", "EOF while parsing a list", 1, 1, True),
    (b"[1", "EOF while parsing a list", 1, 2, True),
    (b"[\n1,\n2\n", "EOF while parsing a list", 4, 0, True),
    (b"{", "EOF while parsing an object", 1, 1, True),
    (b'{"a"', "EOF while parsing an object", 1, 4, True),
    (b'{"a":1', "EOF while parsing an object", 1, 6, True),
    (b'"abc', "EOF while parsing a string", 1, 4, True),
    (b'"\\', "EOF while parsing a string", 1, 2, True),
    (b'"\\u12', "EOF while parsing a string", 1, 5, True),
    (b'"\\u12"', "EOF while parsing a string", 1, 6, True),
    (b'"\\ud800', "EOF while parsing a string", 1, 7, True),
    (b'"\\ud800\\', "EOF while parsing a string", 1, 8, True),
    (b'{"a" 1}', "expected `:`", 1, 6, True),
    (b'{"a"]', "expected `:`", 1, 5, True),
    (b"[1 2]", "expected `,` or `]`", 1, 4, True),
    (b"[1}", "expected `,` or `]`", 1, 3, True),
    (b'{"a":1 "b":2}', "expected `,` or `}`", 1, 8, True),
    (b'{"a":1]', "expected `,` or `}`", 1, 7, True),
    (b"tru ", "expected ident", 1, 4, True),
    (b"nul1", "expected ident", 1, 4, True),
    (b"falsy", "expected ident", 1, 5, True),
    (b"[trUe]", "expected ident", 1, 4, True),
    (b"x", "expected value", 1, 1, True),
    (b"NaN", "expected value", 1, 1, True),
    (b"Infinity", "expected value", 1, 1, True),
    (b"'a'", "expected value", 1, 1, True),
    (b"+1", "expected value", 1, 1, True),
    (b".5", "expected value", 1, 1, True),
    (b"[,1]", "expected value", 1, 2, True),
    (b'{"a":}', "expected value", 1, 6, True),
    (b"\xef\xbb\xbf{}", "expected value", 1, 1, True),
    (b"\x0c1", "expected value", 1, 1, True),
    (b"/* c */ 1", "expected value", 1, 1, True),
    (b"\n\n  [1,\n  x]", "expected value", 4, 3, True),
    (b'"\\x"', "invalid escape", 1, 3, True),
    (b'"\\U0041"', "invalid escape", 1, 3, True),
    (b'"\\uzzzz"', "invalid escape", 1, 7, True),
    (b'"\\u00g0"', "invalid escape", 1, 7, True),
    (b"01", "invalid number", 1, 2, True),
    (b"-01", "invalid number", 1, 3, True),
    (b"-a", "invalid number", 1, 2, True),
    (b"-Infinity", "invalid number", 1, 2, True),
    (b"1.x", "invalid number", 1, 3, True),
    (b"1.e5", "invalid number", 1, 3, True),
    (b"1ex", "invalid number", 1, 3, True),
    (b"1e+x", "invalid number", 1, 4, True),
    (b"[0.5, 1.]", "invalid number", 1, 9, True),
    (b"1e400", "number out of range", 1, 5, False),
    (b"[-1e400]", "number out of range", 1, 7, False),
    (b"1" + b"0" * 400, "number out of range", 1, 401, False),
    (b"[1.7976931348623159e308]", "number out of range", 1, 23, False),
    (b'"\xff"', "invalid unicode code point", 1, 3, False),
    (b'"ab\xc3"', "invalid unicode code point", 1, 5, False),
    (b'"\xc0\x80"', "invalid unicode code point", 1, 4, False),
    (b'"\xed\xa0\x80"', "invalid unicode code point", 1, 5, False),
    (b'"\xf4\x90\x80\x80"', "invalid unicode code point", 1, 6, False),
    (b'"\\n\xe9"', "invalid unicode code point", 1, 5, False),
    (b'{"k\xff": 1}', "invalid unicode code point", 1, 5, False),
    (b'"\x01"', "control character (\\u0000-\\u001F) found while parsing a string", 1, 2, True),
    (b'"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string", 2, 0, True),
    (b'"\xff\x1f"', "control character (\\u0000-\\u001F) found while parsing a string", 1, 3, True),
    (b"{1:2}", "key must be a string", 1, 2, True),
    (b"{,}", "key must be a string", 1, 2, True),
    (b'{"a":1,2:3}', "key must be a string", 1, 8, True),
    (b'"\\udc00"', "lone leading surrogate in hex escape", 1, 7, False),
    (b'"\\ud800\\u0041"', "lone leading surrogate in hex escape", 1, 13, False),
    (b'"\\ud800\\ud800"', "lone leading surrogate in hex escape", 1, 13, False),
    (b"[1,]", "trailing comma", 1, 4, True),
    (b"[1,\n]", "trailing comma", 2, 1, True),
    (b'{"a":1,}', "trailing comma", 1, 8, True),
    (b"{} x", "trailing characters", 1, 4, True),
    (b"1 2", "trailing characters", 1, 3, True),
    (b"[]]", "trailing characters", 1, 3, True),
    (b"[]\n\n,", "trailing characters", 3, 1, True),
    (b'"\\ud800"', "unexpected end of hex escape", 1, 8, False),
    (b'"\\ud800x"', "unexpected end of hex escape", 1, 8, False),
    (b'"\\ud800\\n"', "unexpected end of hex escape", 1, 9, False),
    (DEEP_ARRAYS, "recursion limit exceeded", 1, 128, False),
    (DEEP_OBJECTS, "recursion limit exceeded", 1, 127 * 5 + 1, False),
]


def expected_text(message: str, line: int, column: int) -> str:
    prefix = "JSON snapshot: trailing data: " if message == "trailing characters" else "JSON snapshot: "
    return f"{prefix}{message} at line {line} column {column}"


@pytest.mark.parametrize("doc,message,line,column,grammar", ERROR_CASES,
                         ids=[repr(c[0][:24]) for c in ERROR_CASES])
def test_error_messages_and_positions(write, doc, message, line, column, grammar):
    path = write(doc)
    with pytest.raises(ValueError) as exc:
        v.load_json(path)
    assert str(exc.value) == expected_text(message, line, column)
    if grammar:
        with pytest.raises(ValueError) as exc:
            v.parse_json_only(path)
        assert str(exc.value) == expected_text(message, line, column)
    else:
        assert v.parse_json_only(path) == len(doc)


def test_error_table_covers_every_message():
    messages = {c[1] for c in ERROR_CASES}
    assert messages == {
        "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
        "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
        "expected ident", "expected value", "invalid escape", "invalid number",
        "number out of range", "invalid unicode code point",
        "control character (\\u0000-\\u001F) found while parsing a string",
        "key must be a string", "lone leading surrogate in hex escape", "trailing comma",
        "trailing characters", "unexpected end of hex escape", "recursion limit exceeded",
    }


# ---------------------------------------------------------------------------
# Values and number classes.

VALUE_CASES = [
    (b"-0", -0.0),
    (b"0", 0),
    (b"-0.0", -0.0),
    (b"18446744073709551615", 18446744073709551615),
    (b"18446744073709551616", 1.8446744073709552e19),
    (b"9223372036854775807", 9223372036854775807),
    (b"9223372036854775808", 9223372036854775808),
    (b"-9223372036854775808", -9223372036854775808),
    (b"-9223372036854775809", -9.223372036854776e18),
    (b"-18446744073709551615", -1.8446744073709552e19),
    (b"100000000000000000000000000000", 1e29),
    (b"1e2", 100.0),
    (b"1E+2", 100.0),
    (b"2.5e-3", 0.0025),
    (b"5e-324", 5e-324),
    (b"2e-324", 0.0),
    (b"-1e-400", -0.0),
    (b"0e999999999999999999", 0.0),
    (b"1.7976931348623157e308", 1.7976931348623157e308),
    (b"1.7976931348623158e308", 1.7976931348623157e308),
    (b"0.1000000000000000055511151231257827021181583404541015625", 0.1),
    (b"9007199254740993", 9007199254740993),
    (b"9007199254740993.0", 9007199254740992.0),
    (b"true", True),
    (b"false", False),
    (b"null", None),
    (b" \t\r\n[ ] \n", []),
    (b'{"a": 1, "a": 2}', {"a": 2}),
    (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
    (b'"\\u00e9\\u00E9\\ud83d\\ude00\\uD83D\\uDE00"', "\u00e9\u00e9\U0001F600\U0001F600"),
    ('"\u00e9\u4e2d\U0001F600"'.encode(), "\u00e9\u4e2d\U0001F600"),
    (b'"\x7f"', "\x7f"),
]


@pytest.mark.parametrize("doc,expected", VALUE_CASES, ids=[repr(c[0][:32]) for c in VALUE_CASES])
def test_values_and_number_classes(write, doc, expected):
    got = v.load_json(write(doc))
    assert same(got, expected), (got, expected)
    assert v.parse_json_only(write(doc)) == len(doc)


def test_duplicate_keys_keep_first_position_and_last_value(write):
    got = v.load_json(write(b'{"a": 1, "b": 2, "a": 3}'))
    assert list(got.items()) == [("a", 3), ("b", 2)]


def test_booleans_and_null_are_the_singletons(write):
    t, f, n = v.load_json(write(b"[true, false, null]"))
    assert t is True and f is False and n is None


def test_nesting_limit(write):
    deep = v.load_json(write(b"[" * 127 + b"]" * 127))
    depth = 0
    while deep:
        deep = deep[0]
        depth += 1
    assert depth == 126  # the innermost list is empty
    mixed = b'{"a":[' * 63 + b'{"b":1}' + b"]}" * 63
    assert v.load_json(write(mixed))["a"][0]["a"][0]["a"]
    very_deep = b"[" * 100_000 + b"]" * 100_000
    assert v.parse_json_only(write(very_deep)) == 200_000
    unbalanced = b"[" * 100_000 + b"]" * 99_999
    with pytest.raises(ValueError, match="^JSON snapshot: EOF while parsing a list at line 1 column 199999$"):
        v.parse_json_only(write(unbalanced))


# ---------------------------------------------------------------------------
# Key sharing.


def test_all_dicts_of_one_load_share_one_str_per_key(write):
    doc = v.load_json(write(b'[{"k": "v", "q": {"k": "v"}}, {"k": "v"}, {"\\u006b": 1}]'))
    keys = [next(iter(d)) for d in (doc[0], doc[0]["q"], doc[1], doc[2])]
    assert all(k is keys[0] for k in keys)
    values = [doc[0]["k"], doc[0]["q"]["k"], doc[1]["k"]]
    assert values[0] == values[1] == values[2]
    assert len({id(x) for x in values}) == 3


def test_key_sharing_is_per_load(write):
    path = write(b'[{"some_key_text": 1}, {"some_key_text": 2}]')
    first, second = v.load_json(path), v.load_json(path)
    assert next(iter(first[0])) is next(iter(first[1]))
    assert next(iter(first[0])) is not next(iter(second[0]))


def test_shared_keys_beyond_the_initial_cache_room(write):
    # More distinct keys than the cache holds before it first grows.
    n = 500
    one = "{" + ", ".join(f'"key{i}": {i}' for i in range(n)) + "}"
    doc = v.load_json(write(f"[{one}, {one}]".encode()))
    assert doc[0] == doc[1] == {f"key{i}": i for i in range(n)}
    assert all(a is b for a, b in zip(doc[0], doc[1]))


# ---------------------------------------------------------------------------
# Differential: seeded random documents against the json module.

SPECIAL_INTS = [0, 1, 9, 10, 255, 256, 2**31, 2**53, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
                2**64 + 1, 10**19, 10**19 - 1, 10**20, 10**30, 123456789012345678901234567890]
WS = [" ", "\t", "\n", "\r"]
ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n",
           "\r": "\\r", "\t": "\\t"}
ALPHABET = ("abcxyzABC0129 _-.:,{}[]'\u00e9\u00df\u4e2d\u0416\u2028\u2029\ufeff\uffff"
            "\U0001F600\U00010000\U0010FFFF\x7f\x00\x01\x1f\"\\/\b\f\n\r\t")


class DocGen:
    def __init__(self, seed: int):
        self.rng = random.Random(seed)

    def ws(self) -> str:
        r = self.rng.random()
        if r < 0.6:
            return ""
        return "".join(self.rng.choice(WS) for _ in range(self.rng.randint(1, 3)))

    def integer(self) -> str:
        r = self.rng.random()
        if r < 0.5:
            n = self.rng.choice(SPECIAL_INTS) + self.rng.choice([-1, 0, 0, 1])
            n = max(n, 0)
        else:
            n = self.rng.randint(0, 10 ** self.rng.randint(1, 25))
        sign = self.rng.random() < 0.4
        return ("-" if sign else "") + str(n)

    def floating(self) -> str:
        rng = self.rng
        r = rng.random()
        if r < 0.15:
            return repr(rng.choice([5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                                    0.1, 1 / 3, 2.5, 1e22, 1e23, 9007199254740993.0]))
        if r < 0.35:
            return repr(rng.uniform(-1e6, 1e6))
        whole = str(rng.randint(0, 10 ** rng.randint(0, 20)))
        text = ("-" if rng.random() < 0.3 else "") + whole
        if rng.random() < 0.7:
            text += "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 30)))
        if rng.random() < 0.5 or "." not in text:
            exp = rng.randint(-340, 300 - len(whole))
            sign = "+" if exp >= 0 and rng.random() < 0.5 else ""
            lead = "0" * rng.randint(0, 2)
            text += rng.choice("eE") + (sign or ("-" if exp < 0 else "")) + lead + str(abs(exp))
        return text

    def string(self) -> str:
        rng = self.rng
        n = rng.choice([0, 1, 3, 8, 15, 16, 17, 40]) if rng.random() < 0.95 else rng.randint(500, 3000)
        out = ['"']
        for _ in range(n):
            c = rng.choice(ALPHABET) if rng.random() < 0.5 else chr(rng.randint(0x20, 0x7e))
            cp = ord(c)
            if c in ESCAPES and (c in '"\\' or cp < 0x20 or rng.random() < 0.5):
                out.append(ESCAPES[c])
            elif cp < 0x20 or rng.random() < 0.1:
                if cp >= 0x10000:
                    hi = 0xD800 + ((cp - 0x10000) >> 10)
                    lo = 0xDC00 + ((cp - 0x10000) & 0x3FF)
                    out.append(self.hex_escape(hi) + self.hex_escape(lo))
                else:
                    out.append(self.hex_escape(cp))
            else:
                out.append(c)
        out.append('"')
        return "".join(out)

    def hex_escape(self, unit: int) -> str:
        h = f"{unit:04x}"
        return "\\u" + (h.upper() if self.rng.random() < 0.5 else h)

    def value(self, depth: int, max_depth: int) -> str:
        rng = self.rng
        r = rng.random()
        if depth < max_depth and r < 0.3:
            if rng.random() < 0.5:
                items = [self.value(depth + 1, max_depth) for _ in range(rng.randint(0, 5))]
                return "[" + ",".join(self.ws() + i + self.ws() for i in items) + "]" if items else "[" + self.ws() + "]"
            keys = [self.string() for _ in range(rng.randint(0, 5))]
            if keys and rng.random() < 0.3:
                keys.append(rng.choice(keys))  # a duplicate key
            members = [self.ws() + k + self.ws() + ":" + self.ws() + self.value(depth + 1, max_depth) + self.ws()
                       for k in keys]
            return "{" + ",".join(members) + "}" if members else "{" + self.ws() + "}"
        if r < 0.5:
            return self.integer()
        if r < 0.7:
            return self.floating()
        if r < 0.9:
            return self.string()
        return rng.choice(["true", "false", "null"])

    def document(self) -> str:
        max_depth = 126 if self.rng.random() < 0.1 else self.rng.randint(1, 8)
        if max_depth == 126:
            # A spine of 127 containers, the nesting limit, each with a
            # scalar sibling.
            text = self.value(0, 0)
            for _ in range(127):
                if self.rng.random() < 0.5:
                    text = "[" + self.value(0, 0) + "," + text + "]"
                else:
                    text = "{" + self.string() + ":" + text + "}"
            return self.ws() + text + self.ws()
        return self.ws() + self.value(0, max_depth) + self.ws()


def test_random_documents_load_like_json(write):
    for seed in range(400):
        text = DocGen(seed).document()
        data = text.encode("utf-8", "surrogatepass")
        path = write(data)
        expected = reference_loads(data)
        if _overflows(expected):
            with pytest.raises(ValueError, match="^JSON snapshot: number out of range"):
                v.load_json(path)
            continue
        got = v.load_json(path)
        assert same(got, expected), f"seed {seed}: {text[:300]!r}"
        assert v.parse_json_only(path) == len(data)
        assert v.read_file_only(path) == len(data)


def _overflows(obj) -> bool:
    if isinstance(obj, float):
        return math.isinf(obj)
    if isinstance(obj, list):
        return any(_overflows(x) for x in obj)
    if isinstance(obj, dict):
        return any(_overflows(x) for x in obj.values())
    return False


def test_mutated_documents_agree_with_json_on_acceptance(write):
    # Random byte edits of valid documents: what the loader accepts, json
    # reads the same way; what json rejects, the loader rejects. json is the
    # more permissive reader (NaN and infinities, lone surrogates, deeper
    # nesting), so where only json accepts it must be for one of those.
    rng = random.Random(7)
    edits = b' \t\n"\\,:[]{}0123456789-+.eEtrufalsn\x00\x1f\x7f\xc3\xa9\xff/ux'
    accepted = rejected = 0
    for seed in range(300):
        data = bytearray(DocGen(1000 + seed).document().encode("utf-8", "surrogatepass"))
        for _ in range(rng.randint(1, 3)):
            i = rng.randrange(len(data) + 1)
            op = rng.random()
            if op < 0.4 and i < len(data):
                data[i] = rng.choice(edits)
            elif op < 0.7:
                data.insert(i, rng.choice(edits))
            elif i < len(data):
                del data[i]
        data = bytes(data)
        path = write(data)
        try:
            expected = reference_loads(data)
        except (ValueError, RecursionError):
            expected = None
        try:
            got = v.load_json(path)
        except ValueError:
            rejected += 1
            if expected is not None:
                assert _beyond_the_grammar(expected), data
            continue
        accepted += 1
        assert expected is not None and same(got, expected), data
    assert accepted > 30 and rejected > 30


def _beyond_the_grammar(parsed) -> bool:
    """Whether a document json read holds something this loader refuses by
    design: a non-finite number, an unpaired surrogate escape, or nesting
    past 127 containers."""
    def walk(obj, depth):
        if isinstance(obj, float):
            return not math.isfinite(obj)
        if isinstance(obj, str):
            return any(0xD800 <= ord(c) <= 0xDFFF for c in obj)
        if isinstance(obj, (list, dict)):
            if depth >= 127:
                return True
            items = list(obj.items()) if isinstance(obj, dict) else [(None, x) for x in obj]
            return any(walk(k, depth) or walk(x, depth + 1) for k, x in items)
        return False
    return walk(parsed, 0)


REJECTED_BY_US_ACCEPTED_BY_JSON = [b"NaN", b"Infinity", b"-Infinity", b'"\\ud800"', b'"\\udc00x"',
                                   b"[" * 300 + b"]" * 300, b"[1e400]"]


@pytest.mark.parametrize("doc", REJECTED_BY_US_ACCEPTED_BY_JSON, ids=repr)
def test_what_json_extends_is_rejected(write, doc):
    json.loads(doc)
    with pytest.raises(ValueError, match="^JSON snapshot: "):
        v.load_json(write(doc))


def _data_files():
    return sorted(DATA_DIR.rglob("*.json")) if DATA_DIR.exists() else []


@pytest.mark.parametrize("path", _data_files(), ids=lambda p: str(p.relative_to(DATA_DIR)))
def test_real_files_load_equal_to_json(path):
    with open(path) as f:
        expected = json.load(f, parse_int=classify_int)
    assert same(v.load_json(str(path)), expected)
    size = path.stat().st_size
    assert v.parse_json_only(str(path)) == size
    assert v.read_file_only(str(path)) == size


# ---------------------------------------------------------------------------
# Files, arguments, docstrings.


@pytest.mark.parametrize("fn", [v.load_json, v.parse_json_only, v.read_file_only])
def test_missing_file(tmp_path, fn):
    with pytest.raises(OSError) as exc:
        fn(str(tmp_path / "missing.json"))
    assert str(exc.value) == "No such file or directory (os error 2)"


@pytest.mark.parametrize("fn", [v.load_json, v.parse_json_only, v.read_file_only])
def test_directory_and_nul_byte(tmp_path, fn):
    with pytest.raises(OSError) as exc:
        fn(str(tmp_path))
    assert str(exc.value) == "Is a directory (os error 21)"
    with pytest.raises(OSError) as exc:
        fn(str(tmp_path / "a\0b"))
    assert str(exc.value) == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("fn", [v.load_json, v.parse_json_only, v.read_file_only])
def test_path_is_what_open_takes(tmp_path, fn):
    path = tmp_path / "x.json"
    path.write_text("1")
    for bad in (3, None, bytearray(bytes(path)), [str(path)]):
        with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object") as exc:
            fn(bad)
        assert exc.value.__notes__ == ["while processing 'path'"]
    assert fn(path=str(path)) == 1  # the value 1, or the size of "1"
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(str(path), str(path))


def test_sizes(write):
    for size in (0, 1, 63, 64, 65, 4096, 10**6):
        data = b" " * size
        path = write(data)
        assert v.read_file_only(path) == size


def test_large_file_grows_past_huge_page_sizes(write):
    items = ",".join(f'{{"id": {i}, "s": "x{i}"}}' for i in range(200_000))
    data = f"[{items}]".encode()
    assert len(data) > 4 << 20
    path = write(data)
    assert v.read_file_only(path) == len(data)
    assert v.parse_json_only(path) == len(data)
    assert same(v.load_json(path), json.loads(data))


DOCSTRINGS = {
    "load_json": "load_json(path)\n--\n\nParse a JSON file into Python objects.\n\n"
                 "Equivalent to `json.load(open(path))` for the subset JSON actually\n"
                 "contains; duplicate object keys keep the last value, as CPython does.",
    "read_file_only": "read_file_only(path)\n--\n\nRead the file and nothing else. Benchmarking "
                      "only: the floor both of the\nabove sit on, so neither gets credited with "
                      "the disk.",
}


def test_docstrings_and_signatures():
    import inspect

    for name, doc in DOCSTRINGS.items():
        fn = getattr(v, name)
        assert fn.__text_signature__ == "(path)"
        assert fn.__doc__ == doc.split("\n--\n\n", 1)[1]
    lines = v.parse_json_only.__doc__.split("\n")
    assert lines[:6] == [
        "Read and parse the file, building nothing. Benchmarking only.",
        "",
        "Splits the loader's cost in two. Everything this does \u2014 the read, the",
        "tokenizer, the number and string parsing \u2014 `load_json` also does; what it",
        "skips is allocating the `PyDict`/`PyList`/`PyFloat` objects and hashing the",
        lines[5],
    ]
    assert lines[5].startswith("keys. ") and len(lines) == 6
    for name in ("load_json", "parse_json_only", "read_file_only"):
        assert list(inspect.signature(getattr(v, name)).parameters) == ["path"]


def test_module_order_of_the_json_functions():
    names = list(v.__all__)
    assert names.index("load_json") + 1 == names.index("parse_json_only")
    assert names.index("parse_json_only") + 1 == names.index("read_file_only")
    assert names.index("toBoundary") < names.index("load_json") < names.index("alloc_stats")


# ---------------------------------------------------------------------------
# Interpreter state and memory.


def test_collector_state_is_restored(write):
    good, bad = write(b'[{"a": []}]'), write(b'[{"a": []}')
    assert gc.isenabled()
    v.load_json(good)
    assert gc.isenabled()
    with pytest.raises(ValueError):
        v.load_json(bad)
    assert gc.isenabled()
    gc.disable()
    try:
        v.load_json(good)
        assert not gc.isenabled()
    finally:
        gc.enable()


def _failing_document() -> bytes:
    # Many containers, keys and values, then a fault at the very end.
    items = ",".join(
        f'{{"id": {i}, "name{i % 50}": "value {i}", "box": [{i}.5, 2.25, {i}], "d": {{"x": [null, true]}}}}'
        for i in range(3000)
    )
    return f"[{items}, {{\"last\": 1e400}}]".encode()


def test_failed_loads_release_everything_they_built(write):
    path = write(_failing_document())
    for _ in range(3):
        with pytest.raises(ValueError, match="number out of range"):
            v.load_json(path)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(30):
        with pytest.raises(ValueError, match="number out of range"):
            v.load_json(path)
    gc.collect()
    # Every object of a failed load (roughly 40,000 per load here) is gone.
    assert sys.getallocatedblocks() - blocks < 200


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_failed_loads_do_not_grow_the_process(write):
    path = write(_failing_document())
    for _ in range(5):
        with pytest.raises(ValueError):
            v.load_json(path)
    gc.collect()
    before = _rss_bytes()
    for _ in range(200):
        with pytest.raises(ValueError):
            v.load_json(path)
    gc.collect()
    # One failed load builds several MB of objects; 200 leaking ones would
    # show by hundreds of MB.
    assert _rss_bytes() - before < 8 << 20


@pytest.mark.skipif(not v.alloc_stats()["enabled"], reason="extension built without alloc-stats")
@pytest.mark.parametrize("good", [True, False])
def test_module_memory_returns_to_baseline(write, good):
    path = write(b'[{"a": 1.5, "b": "x"}, {"a": 2}]' if good else _failing_document())
    v.load_json(path) if good else None
    base = v.alloc_stats()
    for fn in (v.load_json, v.parse_json_only, v.read_file_only):
        try:
            result = fn(path)
        except ValueError:
            result = None
        del result
        after = v.alloc_stats()
        assert after["allocations"] > base["allocations"]
        assert after["live_bytes"] == base["live_bytes"]
        assert after["allocations"] - base["allocations"] == after["frees"] - base["frees"]
        base = after
