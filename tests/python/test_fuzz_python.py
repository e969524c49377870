"""Mutation fuzzing of the module's Python surface.

Random column objects, names and decimal maps go to pack_table_frame; random and mutated frames
go to parse_table_frame and check_table_frame. Whatever the input, a call either succeeds (and
then its result is consistent: packed frames parse back to the same columns, parsed tables pack
again) or raises one of the documented exception types, exactly, with a non-empty message.

The run is bounded for CI; KVT_FUZZ_ITERATIONS (per test) and KVT_FUZZ_SEED widen or replay it:

    KVT_FUZZ_ITERATIONS=200000 python -m pytest tests/python/test_fuzz_python.py
"""

import math
import os
import random
import struct
import zlib

import _kvt
import frames as F
import numpy as np
import pytest

ITERATIONS = int(os.environ.get("KVT_FUZZ_ITERATIONS", "400"))
SEED = int(os.environ.get("KVT_FUZZ_SEED", "20240611"))
ALLOWED = (ValueError, TypeError, OverflowError, IndexError, UnicodeEncodeError)


def call(f, *args):
    """(True, result) or (False, exception) for an allowed exception; anything else fails."""
    try:
        return True, f(*args)
    except BaseException as e:  # noqa: B036 - the internal error derives from BaseException
        assert type(e) in ALLOWED, f"{type(e).__name__}: {e!r} from {f.__name__}"
        assert str(e), f"empty {type(e).__name__} message from {f.__name__}"
        return False, e


# ---- random Python objects ----


class Sub(np.ndarray):
    pass


class ndarray(np.ndarray):  # noqa: N801 - a subclass that borrows NumPy's type name
    pass


class list_(list):
    pass


list_.__name__ = "list"  # a list subclass whose type name reads "list"


class FakeArray:
    pass


FakeArray.__name__ = "ndarray"  # not an array, though its type name says so

ACCEPTED = ["i8", "f8", "i4", "f4", "?", "M8[us]", "M8[ms]", "M8[s]", "M8[ns]"]
REFUSED = [
    "i1",
    "i2",
    "u1",
    "u2",
    "u4",
    "u8",
    "f2",
    "c8",
    "c16",
    "M8[D]",
    "m8[us]",
    "O",
    "U3",
    "S3",
    "V8",
    ">i8",
    ">f8",
    ">i4",
    ">M8[us]",
    [("a", "i8")],
]


class Gen:
    def __init__(self, rng, tmp_path):
        self.r = rng
        self.tmp = tmp_path
        self.memmaps = 0

    def length(self):
        return self.r.choice([0, 0, 1, 2, 3, 5, 17, self.r.randrange(200)])

    def raw_values(self, dtype, n):
        """n elements of any bit pattern for dtype."""
        dt = np.dtype(dtype)
        if dt.kind == "O":
            return np.array([self.anything() for _ in range(n)] + [None], dtype=object)[:n]
        if dt.kind in "US":
            return np.array(["ab"[: self.r.randrange(3)] for _ in range(n)], dtype=dt)
        raw = bytes(self.r.getrandbits(8) for _ in range(n * dt.itemsize))
        if dt.kind == "b":
            raw = bytes(b & 1 for b in raw)
        return np.frombuffer(raw, dtype=dt).copy()

    def array(self):
        r = self.r
        dtype = r.choice(ACCEPTED * 3 + REFUSED)
        n = self.length()
        a = self.raw_values(dtype, n)
        shape = r.randrange(12)
        if shape == 0:
            a = a.reshape(1, n) if r.random() < 0.5 else np.zeros((2, 3), dtype=a.dtype)
        elif shape == 1:
            a = np.asarray(a[0]) if n else np.zeros((), dtype=a.dtype)  # 0-d
        elif shape == 2:
            a = self.raw_values(dtype, 2 * n + 1)[:: r.choice([2, -1, -2])]  # strided
        elif shape == 3 and a.dtype.itemsize > 1 and a.dtype.kind != "O":
            buf = bytearray(n * a.dtype.itemsize + 1)
            buf[1:] = a.tobytes()
            a = np.frombuffer(buf, dtype=a.dtype, offset=1)  # misaligned
        elif shape == 4:
            a.flags.writeable = False
        elif shape == 5:
            a = a.view(r.choice([Sub, ndarray]))
        elif shape == 6 and a.dtype.kind != "O":
            path = self.tmp / f"m{self.memmaps}"
            self.memmaps += 1
            m = np.memmap(path, dtype=a.dtype, mode="w+", shape=(max(n, 1),))
            a = m if r.random() < 0.5 else np.asarray(m)  # memmap itself, or a plain view of it
        elif shape == 7:
            a = np.ma.masked_array(a)
        elif shape == 8:
            a = np.asfortranarray(a.reshape(-1, 1)) if n else a.reshape(0, 3)
        return a

    def text(self):
        r = self.r
        pick = r.randrange(10)
        if pick == 0:
            return "\ud800" + "x" * r.randrange(3)  # a lone surrogate: not encodable
        if pick == 1:
            return "".join(chr(r.choice([0x41, 0xE9, 0x4E2D, 0x1F600, 0])) for _ in range(5))
        if pick == 2:
            return r.choice(
                [
                    "1.5",
                    "-0.25",
                    "1e3",
                    "NaN",
                    "inf",
                    "",
                    " 2",
                    "99999999999999999999",
                    "0.000000000000000001",
                    "abc",
                    "1.2.3",
                    "-",
                    "+7",
                ]
            )
        return "".join(r.choice("abcxyz_ 0123") for _ in range(r.randrange(8)))

    def anything(self):
        r = self.r
        return r.choice([None, 1, 1.5, b"x", (), {}, self.text(), np.int64(3), True, object()])

    def string_list(self):
        r = self.r
        items = [self.text() for _ in range(self.length())]
        if items and r.random() < 0.2:
            items[r.randrange(len(items))] = self.anything()
        return list_(items) if r.random() < 0.1 else items

    def column(self):
        r = self.r
        pick = r.randrange(20)
        if pick < 12:
            return self.array()
        if pick < 17:
            return self.string_list()
        return r.choice(
            [
                None,
                (1, 2),
                {"a": 1},
                7,
                "text",
                b"bytes",
                np.int64(5),
                FakeArray(),
                np.float64(1.0),
                range(3),
            ]
        )

    def name(self):
        r = self.r
        if r.random() < 0.9:
            return self.text()
        return r.choice([None, 1, b"n", ("n",), 2.5])

    def item(self, name, column):
        r = self.r
        pick = r.randrange(30)
        if pick == 0:
            return [name, column]  # not a tuple
        if pick == 1:
            return (name,)  # too short
        if pick == 2:
            return ()
        if pick == 3:
            return (name, column, "extra")
        return (name, column)

    def scale(self):
        r = self.r
        return r.choice(
            [
                0,
                1,
                2,
                6,
                11,
                15,
                16,
                40,
                2**63,
                2**64 - 1,
                2**64,
                -1,
                True,
                np.int64(2),
                1.5,
                "2",
                None,
                10**30,
            ]
        )

    def decimal_fields(self, names):
        r = self.r
        pick = r.randrange(10)
        if pick < 3:
            return None
        if pick == 3:
            return r.choice([[], "x", 5, {1: 2}.items()])
        d = {}
        for name in names:
            if r.random() < 0.5:
                d[name] = self.scale()
        if r.random() < 0.2:
            d[r.choice([1, None, b"k", "\udc80", "other"])] = self.scale()
        return d


def decimal_value(x, p):
    """What intake's truncating conversion and the output's division give for a float."""
    y = float(x) * float(10**p)
    if math.isnan(y):
        i = 0
    elif y >= 2.0**63:
        i = 2**63 - 1
    elif y < -(2.0**63):
        i = -(2**63)
    else:
        i = int(y)
    if abs(i) >= 1 << 56:
        i = 0
    return float(i) / float(10**p) if p else float(i)


def expected_column(column, scale):
    """What a packed column parses back to (zone 0), or None when it is not checked exactly."""
    if isinstance(column, list):
        if scale is None:
            return np.array(column, dtype=object)
        return None  # decimal text: parsing is covered by the model tests
    a = np.asarray(column)
    if a.dtype.kind == "M":
        # ns truncate toward zero; s and ms multiply (out-of-range values fail intake); NaT stays.
        nat = -(2**63)
        per = {"us": 1, "ms": 1000, "s": 1000000}
        unit = np.datetime_data(a.dtype)[0]
        us = []
        for x in a.view(np.int64).tolist():
            if x == nat:
                us.append(x)
            elif unit == "ns":
                us.append(-((-x) // 1000) if x < 0 else x // 1000)
            else:
                us.append(x * per[unit])
        return np.array(us, dtype=np.int64).view("M8[us]")
    if a.dtype.kind == "f" and scale is not None:
        with np.errstate(invalid="ignore"):  # signalling NaN payloads widen quietly
            wide = a.astype(np.float64)
        return np.array([decimal_value(x, scale) for x in wide])
    return a.copy()


def same(a, b):
    """Same dtype and elements; numbers and timestamps compared bit for bit (NaN, NaT, -0.0)."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype == object:
        return a.tolist() == b.tolist()
    return np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


def check_packed(frame, obj, items, decimal_fields):
    assert type(frame) is bytes
    assert _kvt.check_table_frame(frame) == len(frame) - 8
    table, got_obj, columns = _kvt.parse_table_frame(frame[8:])
    assert (table, got_obj) == ("", obj)
    assert [n for n, _ in columns] == [it[0] for it in items]
    scales = decimal_fields if isinstance(decimal_fields, dict) and decimal_fields else {}
    for (name, column), (_, arr) in zip([(it[0], it[1]) for it in items], columns):
        want = expected_column(column, scales.get(name))
        if want is not None:
            assert same(arr, want), (name, column, arr)


def test_random_columns_pack_or_fail_cleanly(zone, tmp_path):
    _kvt.set_local_zone(0)
    rng = random.Random(SEED)
    g = Gen(rng, tmp_path)
    outcomes = {True: 0, False: 0}
    for _ in range(ITERATIONS):
        items = [g.item(g.name(), g.column()) for _ in range(rng.randrange(4))]
        names = [it[0] for it in items if isinstance(it, tuple) and it and isinstance(it[0], str)]
        decimal_fields = g.decimal_fields(names)
        obj = g.name() if rng.random() < 0.9 else g.text()
        columns = items if rng.random() < 0.95 else tuple(items)
        args = (
            (obj, columns)
            if decimal_fields is None and rng.random() < 0.5
            else (obj, columns, decimal_fields)
        )
        ok, result = call(_kvt.pack_table_frame, *args)
        outcomes[ok] += 1
        if ok:
            check_packed(result, obj, items, decimal_fields)
    assert outcomes[True] > ITERATIONS // 10 and outcomes[False] > ITERATIONS // 10, outcomes


# ---- frames ----


def random_variant(rng):
    kind = rng.choice(F.KINDS)
    value = {
        "Null": None,
        "DateTime": rng.getrandbits(64) - 2**63,
        "Int64": rng.randrange(-9, 9),
        "Float64": rng.random(),
        "Decimal": F.d64(rng.randrange(1000), rng.randrange(16)),
        "String": rng.choice(["", "obj", "é"]),
        "Bool": rng.random() < 0.5,
        "Int32": rng.randrange(-(2**31), 2**31),
        "UInt32": rng.randrange(2**32),
        "UInt64": rng.getrandbits(64),
        "Float32": 0.5,
        "Bytes": b"\xff\x00",
    }[kind]
    return kind, value


def random_meta(rng):
    if rng.random() < 0.4:
        return None
    keys = ["obj", "table", "k", ""]
    return [(rng.choice(keys), random_variant(rng)) for _ in range(rng.randrange(4))]


def random_field(rng):
    kind = rng.choice(F.KINDS)
    n = rng.choice([0, 1, 2, 5, rng.randrange(40)])
    values = {
        "Null": [],
        "DateTime": [rng.randrange(-(10**6), 10**6) * 7 for _ in range(n)],
        "Int64": [rng.getrandbits(64) - 2**63 for _ in range(n)],
        "Float64": [rng.random() for _ in range(n)],
        "Decimal": [rng.randrange(-999, 999) for _ in range(n)],
        "String": [rng.choice(["", "a", "é", "中文"]) for _ in range(n)],
        "Bool": [rng.random() < 0.5 for _ in range(n)],
        "Int32": [rng.randrange(-(2**31), 2**31) for _ in range(n)],
        "UInt32": [rng.randrange(2**32) for _ in range(n)],
        "UInt64": [rng.getrandbits(64) for _ in range(n)],
        "Float32": [0.25 * i for i in range(n)],
        "Bytes": [bytes([i % 256]) * i for i in range(n)],
    }[kind]
    opts = (
        {"unit": 7}
        if kind == "DateTime"
        else {"scale": rng.randrange(16)}
        if (kind == "Decimal")
        else {}
    )
    data_type = rng.randrange(12) if rng.random() < 0.2 else None
    return F.field(
        rng.choice(["a", "b", "", "é"]), kind, values, random_meta(rng), data_type=data_type, **opts
    )


def random_body(rng):
    fields = [random_field(rng) for _ in range(rng.randrange(5))]
    return F.body(
        fields,
        random_meta(rng),
        format_word=rng.choice([F.FORMAT_WORD, 0, 7]),
        flag=rng.random() < 0.5,
    )


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 2, 3, 8])):
        op = rng.randrange(7)
        if op == 0 and data:  # flip a bit
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1 and data:  # truncate
            del data[rng.randrange(len(data)) :]
        elif op == 2:  # insert bytes
            i = rng.randrange(len(data) + 1)
            data[i:i] = bytes(
                rng.choice([0x00, 0x01, 0x02, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, rng.randrange(256)])
                for _ in range(rng.randrange(1, 9))
            )
        elif op == 3 and data:  # delete a run
            i = rng.randrange(len(data))
            del data[i : i + rng.randrange(1, 9)]
        elif op == 4 and data:  # overwrite with a hostile varint
            i = rng.randrange(len(data))
            data[i : i + 9] = rng.choice(
                [
                    b"\xfd" + struct.pack("<Q", rng.getrandbits(64)),
                    b"\xfc\xff\xff\xff\xff",
                    b"\xfb\xff\xff",
                    b"\xfe",
                    b"\xff",
                ]
            )
        elif op == 5 and data:  # a random byte
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 6 and len(data) > 2:  # duplicate a slice
            i = rng.randrange(len(data))
            j = rng.randrange(i, len(data))
            data[j:j] = data[i : j + 1]
    return bytes(data)


def with_checksum(body):
    return body + struct.pack("<I", zlib.crc32(body))


def repack_supported(columns):
    """The parsed columns that pack accepts, in the form pack takes them."""
    out = []
    for name, arr in columns:
        if arr.dtype == object:
            if all(type(x) is str for x in arr):
                out.append((name, list(arr)))
        elif arr.dtype.kind != "u":
            out.append((name, arr))
    return out


def check_parsed(result):
    assert type(result) is tuple and len(result) == 3
    table, obj, columns = result
    assert type(table) is str and type(obj) is str and type(columns) is list
    for item in columns:
        assert type(item) is tuple and len(item) == 2 and type(item[0]) is str
        arr = item[1]
        assert type(arr) is np.ndarray and arr.ndim == 1 and arr.flags.writeable
        assert arr.dtype.str in ("|b1", "<i8", "<f8", "<i4", "<u4", "<u8", "<f4", "<M8[us]", "|O")
    # Whatever parses, the packer takes again, and that frame parses to the same columns.
    again = repack_supported(columns)
    frame = _kvt.pack_table_frame(obj, again)
    _, obj2, columns2 = _kvt.parse_table_frame(frame[8:])
    assert obj2 == obj and len(columns2) == len(again)
    for (n1, a1), (n2, a2) in zip(again, columns2):
        assert n1 == n2
        assert same(np.asarray(a1, dtype=a2.dtype) if isinstance(a1, list) else a1, a2)


def test_random_and_mutated_frames_parse_or_fail_cleanly(zone):
    _kvt.set_local_zone(0)
    rng = random.Random(SEED + 1)
    packed = [
        _kvt.pack_table_frame("o", [("i", np.arange(5)), ("s", ["a", "bc"])]),
        _kvt.pack_table_frame("", []),
    ]
    decoded = 0
    for _ in range(ITERATIONS * 3):
        pick = rng.randrange(5)
        if pick == 0:
            buf = bytes(rng.getrandbits(8) for _ in range(rng.randrange(40)))
        elif pick == 1:
            buf = mutate(rng, rng.choice(packed)[8:])  # checksum mostly wrong
        elif pick == 2:
            buf = with_checksum(mutate(rng, random_body(rng)))  # reaches the decoder
        elif pick == 3:
            buf = with_checksum(random_body(rng))
        else:
            buf = with_checksum(mutate(rng, rng.choice(packed)[8:-4]))
        ok, result = call(_kvt.parse_table_frame, buf)
        if ok:
            decoded += 1
            check_parsed(result)
        ok, length = call(_kvt.check_table_frame, buf)
        if ok:
            assert length == int.from_bytes(buf[4:8], "little") and buf[:4] == b"\x7c\x4d\x01\x00"
    assert decoded > ITERATIONS // 3


def test_random_arguments_of_the_small_functions(zone):
    rng = random.Random(SEED + 2)
    values = [
        0,
        1,
        -25,
        25,
        26,
        -26,
        127,
        128,
        -129,
        2**63,
        2**64,
        -(2**70),
        True,
        False,
        None,
        1.5,
        "3",
        b"\x00",
        np.int8(5),
        np.int64(-3),
        np.uint64(2**63),
    ]
    for _ in range(ITERATIONS):
        tz = rng.choice(values)
        before = _kvt.get_local_offset()
        ok, _ = call(_kvt.set_local_zone, tz)
        after = _kvt.get_local_offset()
        assert after == (int(tz) * 3_600_000_000 if ok else before)
        buf = rng.choice(
            [
                b"",
                b"\x7c\x4d\x01\x00",
                bytes(8),
                bytearray(8),
                memoryview(b"x" * 8),
                None,
                "text",
                b"\x7c\x4d\x01\x00\xff\xff\xff\xff",
            ]
        )
        call(_kvt.check_table_frame, buf)
        call(_kvt.parse_table_frame, buf)


class MutatingScale:
    """A decimal scale whose __index__ changes the dict that is being read."""

    def __init__(self, d, mode):
        self.d, self.mode = d, mode

    def __index__(self):
        if self.mode == 0:
            self.d.clear()
        elif self.mode == 1:
            for i in range(50):
                self.d[f"k{i}"] = 1
        elif self.mode == 2:
            self.d.pop(next(iter(self.d)), None)
        else:  # replaces itself by a new key: the size never changes
            self.d.pop(next(iter(self.d)))
            self.d[object.__repr__(self)] = MutatingScale(self.d, self.mode)
        return 2


@pytest.mark.parametrize(
    "mode, message",
    [
        (0, "dictionary changed size during iteration"),
        (1, "dictionary changed size during iteration"),
        (2, "dictionary changed size during iteration"),
        (3, "dictionary keys changed during iteration"),
    ],
)
def test_scales_that_mutate_decimal_fields_while_it_is_read(mode, message):
    # As a Python loop over the dict would, the call ends with RuntimeError, and always ends.
    for _ in range(50):
        d = {}
        d["a"] = MutatingScale(d, mode)
        d["b"] = MutatingScale(d, mode)
        d["c"] = 3
        with pytest.raises(RuntimeError) as e:
            _kvt.pack_table_frame("o", [("a", np.arange(3.0)), ("c", np.ones(2))], d)
        assert str(e.value) == message
