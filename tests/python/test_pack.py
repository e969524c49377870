"""pack_table_frame: column intake, the packed bytes, failures and reference counts.

Expected frames are built here from the byte rules (varints, zigzag, the two compact column
encodings) and compared whole; a small reader decodes frames where only the values matter.
"""

import collections
import math
import struct
import sys
import warnings
import zlib

import _kvt
import frames as F
import numpy as np
import pytest

NAT = -(2**63)
U64 = 2**64 - 1


# --- expected bytes -------------------------------------------------------------------------------


def tdiv(a, b):
    """Signed division truncating toward zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


# The primitive encoders are those of frames.py; the series helpers below give (tag, payload).
uvar = F.varint
wrap64 = F.wrap64
zz64 = F.zigzag64
zz32 = F.zigzag32
text = F.string


def int64_series(vals):
    return 2, uvar(len(vals)) + b"".join(zz64(v) for v in vals)


def int32_series(vals):
    return 7, uvar(len(vals)) + b"".join(zz32(v) for v in vals)


def array_series(kind, arr):
    return kind, uvar(len(arr)) + arr.tobytes()


def bool_series(vals):
    return 6, uvar(len(vals)) + bytes(1 if v else 0 for v in vals)


def string_series(vals):
    return 5, uvar(len(vals)) + b"".join(text(v) for v in vals)


def datetime_series(vals):
    """The timestamp column encoding, for columns whose unit is not zero."""
    if not vals:
        return 1, b"\x00"
    g = vals[0]
    for x in vals[:10]:
        if g == 0:
            g = x
        elif x == 0:
            g = abs(g)
        else:
            g = math.gcd(abs(g), abs(x))
    return 1, F.datetime_column(vals, g)


def decimal_series(mantissas, scale):
    return 4, F.decimal_column(mantissas, scale)


def field(name, series):
    kind, payload = series
    return text(name) + bytes([kind, 0, kind]) + payload


def body(obj, *fields):
    return (
        uvar(0x4D7C0001)
        + uvar(len(fields))
        + b"".join(fields)
        + b"\x01\x01"
        + text("obj")
        + b"\x05"
        + text(obj)
        + b"\x00"
    )


def frame(obj, *fields):
    return F.frame(body(obj, *fields))


def one(name, series, obj="o"):
    return frame(obj, field(name, series))


# --- a reader for value-level checks --------------------------------------------------------------


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        assert self.pos + n <= len(self.data)
        self.pos += n
        return self.data[self.pos - n : self.pos]

    def u(self):
        first = self.take(1)[0]
        if first <= 250:
            return first
        return int.from_bytes(self.take({0xFB: 2, 0xFC: 4, 0xFD: 8}[first]), "little")

    def s(self):
        z = self.u()
        return (z >> 1) ^ -(z & 1)

    def column(self, kind):
        n = self.u()
        if kind == 1:  # timestamps: unit, then running sums of quotients
            if n == 0:
                return []
            unit, acc, out = self.s(), 0, []
            for _ in range(n - 1):
                acc = wrap64(acc + self.s())
                out.append(wrap64(unit * acc))
            return out
        if kind == 4:  # decimals: (column scale, mantissas)
            if n == 0:
                return (0, [])
            scale, acc, out = self.s(), 0, []
            for _ in range(n - 1):
                acc = wrap64(acc + self.s())
                out.append(acc)
            return (scale, out)
        if kind in (2, 7):
            return [self.s() for _ in range(n)]
        if kind == 3:
            return list(struct.unpack(f"<{n}d", self.take(8 * n)))
        if kind == 10:
            return list(struct.unpack(f"<{n}f", self.take(4 * n)))
        if kind == 6:
            return list(self.take(n))
        if kind == 5:
            return [self.take(self.u()).decode() for _ in range(n)]
        raise AssertionError(kind)


def columns_of(packed):
    """[(name, kind, values)] of a packed frame, after checking its envelope."""
    assert packed[:4] == b"\x7c\x4d\x01\x00"
    assert struct.unpack("<I", packed[4:8])[0] == len(packed) - 8
    b = packed[8:-4]
    assert struct.unpack("<I", packed[-4:])[0] == zlib.crc32(b)
    r = Reader(b)
    assert r.u() == 0x4D7C0001
    out = []
    for _ in range(r.u()):
        name = r.take(r.u()).decode()
        kind, meta, tag = r.take(3)
        assert meta == 0 and tag == kind
        out.append((name, kind, r.column(kind)))
    return out


def values(packed):
    (col,) = columns_of(packed)
    return col[2]


def pack(*args):
    return _kvt.pack_table_frame(*args)


# --- byte-exact frames ----------------------------------------------------------------------------


def test_empty_name_and_no_columns():
    packed = pack("", [])
    b = bytes.fromhex("FC 01 00 7C 4D 00 01 01 03 6F 62 6A 05 00 00")
    assert packed == b"\x7c\x4d\x01\x00\x13\x00\x00\x00" + b + struct.pack("<I", zlib.crc32(b))
    assert _kvt.check_table_frame(packed) == len(packed) - 8


def test_int64_column_of_the_layout_example():
    packed = pack("x", [("a", np.array([1, -1, 300], dtype=np.int64))])
    b = bytes.fromhex(
        "FC 01 00 7C 4D 01 01 61 02 00 02 03 02 01 FB 58 02 01 01 03 6F 62 6A 05 01 78 00"
    )
    assert packed == b"\x7c\x4d\x01\x00\x1f\x00\x00\x00" + b + struct.pack("<I", zlib.crc32(b))


def _nan_with_payload():
    return np.frombuffer(struct.pack("<Q", 0x7FF8000000000123), dtype="<f8")[0]


@pytest.mark.parametrize(
    "column, scale, series",
    [
        (
            np.array([0, 1, -1, 250, 300, -70000], np.int64),
            None,
            int64_series([0, 1, -1, 250, 300, -70000]),
        ),
        (np.array([2**63 - 1, NAT, 2**32], np.int64), None, int64_series([2**63 - 1, NAT, 2**32])),
        (
            np.array([-(2**31), 2**31 - 1, 0, -1], np.int32),
            None,
            int32_series([-(2**31), 2**31 - 1, 0, -1]),
        ),
        (
            np.array([1.0, -0.0, np.inf, 1e-310, _nan_with_payload()]),
            None,
            array_series(3, np.array([1.0, -0.0, np.inf, 1e-310, _nan_with_payload()])),
        ),
        (
            np.array([1.5, -0.0, np.nan], np.float32),
            None,
            array_series(10, np.array([1.5, -0.0, np.nan], np.float32)),
        ),
        (np.array([True, False, True]), None, bool_series([1, 0, 1])),
        (np.array([0, 2, 255], np.uint8).view(np.bool_), None, bool_series([0, 1, 1])),
        (np.array([1, 2, 3], "M8[s]"), None, (1, bytes.fromhex("04 FC 80 84 1E 00 02 02 02"))),
        (
            np.array([1_000_000, 2_000_000, 3_000_000], "M8[us]"),
            None,
            datetime_series([10**6, 2 * 10**6, 3 * 10**6]),
        ),
        (np.array([-1500, 1999], "M8[ns]"), None, datetime_series([-1, 1])),
        (np.array([5, -3, 12], "M8[ms]"), None, datetime_series([5000, -3000, 12000])),
        (np.array([0, -6], "M8[us]"), None, (1, bytes.fromhex("03 0B 00 02"))),
        (["", "é"], None, (5, bytes.fromhex("02 00 02 C3 A9"))),
        (["a" * 300, "日本", "\x00"], None, string_series(["a" * 300, "日本", "\x00"])),
        (np.array([1.5, 2.25]), 2, (4, bytes.fromhex("03 04 FB 2C 01 96"))),
        (np.array([1.15, np.nan, -2.5]), 2, decimal_series([114, 0, -250], 2)),
        (np.array([0.29, 1.005, -0.0]), 2, decimal_series([28, 100, 0], 2)),
        (np.array([1.1, -2.5], np.float32), 1, decimal_series([11, -25], 1)),
        (np.array([-2.5, 7.9]), 0, decimal_series([-2, 7], 0)),
        (np.array([1.0, 5e-13]), 15, decimal_series([10**15, 500], 15)),
        (["1.5"], 3, decimal_series([1500], 3)),
        (["1.25", None, 3.5, "abc"], 2, decimal_series([125, 0, 0, 0], 2)),
        (
            [" 12.340 ", "-0.5", "5-", "1.2.3", "nan", "inf", "1,5", b"1"],
            2,
            decimal_series([1234, -50, -500, 1230, 0, 0, 0, 0], 2),
        ),
        (["9.999"], 1, decimal_series([99], 1)),
        (["x", None], 2, decimal_series([0, 0], 0)),  # no number: the column scale is 0
    ],
)
def test_column_kinds_pack_to_exact_bytes(column, scale, series):
    fields = {"c": scale} if scale is not None else None
    assert pack("obj", [("c", column)], fields) == one("c", series, obj="obj")


@pytest.mark.parametrize(
    "column, scale, series",
    [
        ([], None, (5, b"\x00")),
        ([], 3, (4, b"\x00")),
        (np.array([], np.int64), None, (2, b"\x00")),
        (np.array([], np.int32), 4, (7, b"\x00")),
        (np.array([], np.float64), None, (3, b"\x00")),
        (np.array([], np.float32), None, (10, b"\x00")),
        (np.array([], np.float64), 2, (4, b"\x00")),
        (np.array([], np.bool_), None, (6, b"\x00")),
        (np.array([], "M8[ns]"), None, (1, b"\x00")),
        (
            np.lib.stride_tricks.as_strided(np.arange(10.0), shape=(0,), strides=(16,)),
            None,
            (3, b"\x00"),
        ),
        (np.frombuffer(bytes(9), dtype=np.float64, offset=1, count=0), None, (3, b"\x00")),
        (np.zeros((0, 3), np.int64)[:, 1], None, (2, b"\x00")),
    ],
)
def test_empty_columns(column, scale, series):
    fields = {"c": scale} if scale is not None else None
    assert pack("o", [("c", column)], fields) == one("c", series)


def test_several_columns_in_order_with_duplicate_and_empty_names():
    a = np.array([1, 2], np.int64)
    packed = pack(
        "trades",
        [
            ("px", np.array([1.5, 2.25])),
            ("px", a),
            ("", ["x"]),
            ("ts", np.array([3], "M8[s]")),
            ("px", a),
        ],
        {"px": 2, "nomatch": 4},
    )
    assert packed == frame(
        "trades",
        field("px", decimal_series([150, 225], 2)),
        field("px", int64_series([1, 2])),
        field("", string_series(["x"])),
        field("ts", datetime_series([3_000_000])),
        field("px", int64_series([1, 2])),
    )


def test_columns_of_different_lengths_are_packed_as_they_are():
    packed = pack("o", [("a", np.arange(3)), ("b", np.arange(5))])
    assert [c[2] for c in columns_of(packed)] == [[0, 1, 2], [0, 1, 2, 3, 4]]


@pytest.mark.parametrize(
    "column",
    [
        np.array([1, 2, 3], np.int64),
        np.array([1, 2, 3], np.int32),
        np.array([True, False]),
        np.array([1, 2], "M8[s]"),
    ],
)
@pytest.mark.parametrize("scale", [0, 2, 16, 2**64 - 1, True])
def test_scale_is_ignored_for_int_bool_and_datetime_columns(column, scale):
    assert pack("o", [("c", column)], {"c": scale}) == pack("o", [("c", column)])


@pytest.mark.parametrize("fields", [None, {}, {"C": 2}, {"c ": 2}, {"other": 2}])
def test_scale_applies_only_to_the_exactly_named_column(fields):
    arr = np.array([1.5])
    assert pack("o", [("c", arr)], fields) == one("c", array_series(3, arr))


def test_bool_scale_is_an_integer():
    assert pack("o", [("c", ["1.5"])], {"c": True}) == one("c", decimal_series([15], 1))


@pytest.mark.parametrize(
    "obj",
    ["", "o", "é日本", "a" * 300, type("S", (str,), {})("sub")],
)
def test_any_object_name_is_carried(obj):
    assert pack(obj, []) == frame(str(obj))


def test_named_tuples_str_subclasses_and_extra_items():
    Col = collections.namedtuple("Col", "name data extra")
    Name = type("Name", (str,), {})
    packed = pack("o", [Col(Name("a"), np.array([7]), "ignored"), ("b", [Name("x")], 1, 2)])
    assert packed == frame("o", field("a", int64_series([7])), field("b", string_series(["x"])))


def test_subclasses_that_keep_the_type_names_are_accepted():
    list_named_list = type("list", (list,), {})
    ndarray_named_ndarray = type("ndarray", (np.ndarray,), {})
    arr = np.array([4, 5]).view(ndarray_named_ndarray)
    packed = pack("o", [("s", list_named_list(["q"])), ("i", arr)])
    assert packed == frame("o", field("s", string_series(["q"])), field("i", int64_series([4, 5])))


@pytest.mark.parametrize("dtype", ["<i8", "=i8", "q", "l"])
def test_equivalent_int64_spellings(dtype):
    assert pack("o", [("c", np.array([1, -2], dtype))]) == one("c", int64_series([1, -2]))


@pytest.mark.parametrize("order", ["C", "F"])
def test_fortran_ordered_one_dimensional_arrays(order):
    arr = np.array([3, 4], np.int32, order=order)
    assert pack("o", [("c", arr)]) == one("c", int32_series([3, 4]))


def test_deterministic():
    cols = [
        ("a", np.arange(100)),
        ("s", ["x", "y"]),
        ("d", np.linspace(0, 1, 7)),
        ("t", np.arange(9).astype("M8[ms]")),
    ]
    assert pack("o", cols, {"d": 3}) == pack("o", cols, {"d": 3})


# --- zero-copy intake -----------------------------------------------------------------------------


def test_read_only_arrays_are_accepted():
    arr = np.arange(5, dtype=np.float64)
    arr.flags.writeable = False
    ro_bytes = np.frombuffer(b"\x01\x00\x01", dtype=np.bool_)
    assert not ro_bytes.flags.writeable
    assert pack("o", [("a", arr)]) == one("a", array_series(3, arr))
    assert pack("o", [("b", ro_bytes)]) == one("b", bool_series([1, 0, 1]))


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.float64, np.float32, np.bool_])
def test_a_slice_packs_its_own_view(dtype):
    base = np.arange(10).astype(dtype)
    view = base[2:7]
    assert not view.flags.owndata
    assert pack("o", [("v", view)]) == pack("o", [("v", base[2:7].copy())])
    assert values(pack("o", [("v", np.arange(10)[2:7])])) == [2, 3, 4, 5, 6]


def test_the_same_array_for_several_columns():
    arr = np.arange(3)
    before = sys.getrefcount(arr)
    packed = pack("o", [("a", arr), ("b", arr), ("c", arr)])
    assert [c[2] for c in columns_of(packed)] == [[0, 1, 2]] * 3
    assert sys.getrefcount(arr) == before


# --- failures -------------------------------------------------------------------------------------


class ndarray:  # noqa: N801 - a type that is named like NumPy's array without being one
    pass


class NotAList:
    pass


NotAList.__name__ = NotAList.__qualname__ = "list"


class MyList(list):
    pass


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix([[1, 2]])


def _misaligned():
    return np.frombuffer(bytes(81), dtype=np.int64, offset=1)


NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
NOT_NDARRAY = "'ndarray' object is not an instance of 'ndarray'"

# (column factory, decimal scale, exception type, message)
INTAKE_FAILURES = [
    (lambda: (1, 2), None, ValueError, "unsupported data type: tuple"),
    (lambda: None, None, ValueError, "unsupported data type: NoneType"),
    (lambda: 5, None, ValueError, "unsupported data type: int"),
    (lambda: "abc", None, ValueError, "unsupported data type: str"),
    (lambda: {"a": 1}, 2, ValueError, "unsupported data type: dict"),
    (lambda: MyList(["a"]), None, ValueError, "unsupported data type: MyList"),
    (lambda: np.int64(5), None, ValueError, "unsupported data type: int64"),
    (lambda: np.ma.array([1, 2]), None, ValueError, "unsupported data type: MaskedArray"),
    (lambda: _matrix(), None, ValueError, "unsupported data type: matrix"),
    (lambda: memoryview(b"ab"), None, ValueError, "unsupported data type: memoryview"),
    (lambda: np.array([1], np.int16), None, ValueError, "unsupported data type: int16"),
    (lambda: np.zeros((2, 3), np.int16), None, ValueError, "unsupported data type: int16"),
    (lambda: np.array([1], ">i8"), None, ValueError, "unsupported data type: >i8"),
    (lambda: np.array([1], ">f8"), 2, ValueError, "unsupported data type: >f8"),
    (lambda: np.array([1], np.uint64), None, ValueError, "unsupported data type: uint64"),
    (lambda: np.array([1], np.uint32), None, ValueError, "unsupported data type: uint32"),
    (lambda: np.array([1], np.int8), None, ValueError, "unsupported data type: int8"),
    (lambda: np.array([1], np.float16), 2, ValueError, "unsupported data type: float16"),
    (lambda: np.array([1], np.complex128), None, ValueError, "unsupported data type: complex128"),
    (lambda: np.array([1], "m8[s]"), None, ValueError, "unsupported data type: timedelta64[s]"),
    (lambda: np.array([1], "M8[D]"), None, ValueError, "unsupported data type: datetime64[D]"),
    (lambda: np.array([1], "M8[m]"), None, ValueError, "unsupported data type: datetime64[m]"),
    (lambda: np.array([1], "M8[2s]"), None, ValueError, "unsupported data type: datetime64[2s]"),
    (lambda: np.empty(1, "M8"), None, ValueError, "unsupported data type: datetime64"),
    (lambda: np.array(["a"], object), None, ValueError, "unsupported data type: object"),
    (lambda: np.array(["abc"]), None, ValueError, "unsupported data type: <U3"),
    (lambda: np.zeros((2, 3), np.int64), None, TypeError, NOT_NDARRAY),
    (lambda: np.array(5), None, TypeError, NOT_NDARRAY),
    (lambda: np.zeros((1, 1), np.float64), 2, TypeError, NOT_NDARRAY),
    (lambda: np.zeros((2, 2), "M8[s]"), None, TypeError, NOT_NDARRAY),
    (lambda: np.zeros((0, 0), np.bool_), None, TypeError, NOT_NDARRAY),
    (lambda: ndarray(), None, TypeError, NOT_NDARRAY),
    (lambda: NotAList(), None, TypeError, "'list' object is not an instance of 'list'"),
    (lambda: np.arange(10)[::2], None, TypeError, NOT_CONTIGUOUS),
    (lambda: np.arange(10)[::-1], None, TypeError, NOT_CONTIGUOUS),
    (lambda: np.arange(10.0)[::3], 2, TypeError, NOT_CONTIGUOUS),
    (lambda: np.arange(10).astype("M8[s]")[::2], None, TypeError, NOT_CONTIGUOUS),
    (lambda: _misaligned(), None, TypeError, NOT_CONTIGUOUS),
    (lambda: ["a", 1], None, TypeError, "'int' object is not an instance of 'str'"),
    (lambda: ["a", None], None, TypeError, "'None' is not an instance of 'str'"),
    (lambda: [b"a"], None, TypeError, "'bytes' object is not an instance of 'str'"),
    (lambda: [1.5, "\ud800"], None, TypeError, "'float' object is not an instance of 'str'"),
    (lambda: ["a", "\ud800"], None, UnicodeEncodeError, None),
    (lambda: ["\ud800", 1], None, UnicodeEncodeError, None),
]


def _check(exc_info, exc, message):
    assert type(exc_info.value) is exc
    if message is not None:
        assert str(exc_info.value) == message


@pytest.mark.parametrize("make, scale, exc, message", INTAKE_FAILURES)
def test_intake_failures(make, scale, exc, message):
    column = make()
    fields = {"c": scale} if scale is not None else None
    with pytest.raises(exc) as e:
        pack("o", [("c", column)], fields)
    _check(e, exc, message)


def test_memmap_is_refused(tmp_path):
    m = np.memmap(tmp_path / "m.bin", dtype=np.int64, mode="w+", shape=(3,))
    with pytest.raises(ValueError) as e:
        pack("o", [("m", m)])
    _check(e, ValueError, "unsupported data type: memmap")


# (args, exception type, message); messages None when they are the interpreter's own.
ARGUMENT_FAILURES = [
    ((5, []), TypeError, "argument 'obj': 'int' object is not an instance of 'str'"),
    ((None, None), TypeError, "argument 'obj': 'None' is not an instance of 'str'"),
    (("\ud800", []), UnicodeEncodeError, None),
    (("o", None), TypeError, "argument 'columns': 'None' is not an instance of 'list'"),
    (("o", ()), TypeError, "argument 'columns': 'tuple' object is not an instance of 'list'"),
    (
        ("o", [], []),
        TypeError,
        "argument 'decimal_fields': 'list' object is not an instance of 'dict'",
    ),
    (
        ("o", [], {1: 2}),
        TypeError,
        "argument 'decimal_fields': 'int' object is not an instance of 'str'",
    ),
    (("o", [], {"a": -1}), OverflowError, None),
    (("o", [], {"a": 2**64}), OverflowError, None),
    (("o", [["a", np.arange(2)]]), TypeError, "'list' object is not an instance of 'tuple'"),
    (("o", [None]), TypeError, "'None' is not an instance of 'tuple'"),
    (("o", [("a",)]), IndexError, "tuple index out of range"),
    (("o", [()]), IndexError, "tuple index out of range"),
    (("o", [(1, np.arange(2))]), TypeError, "'int' object is not an instance of 'str'"),
    (("o", [(None, np.arange(2))]), TypeError, "'None' is not an instance of 'str'"),
    (("o", [(b"a", np.arange(2))]), TypeError, "'bytes' object is not an instance of 'str'"),
    (("o", [("\ud800", np.arange(2))]), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("args, exc, message", ARGUMENT_FAILURES)
def test_argument_and_item_failures(args, exc, message):
    with pytest.raises(exc) as e:
        pack(*args)
    _check(e, exc, message)
    if message is None:
        assert not str(e.value).startswith("argument")


def test_decimal_value_without_integer_index_is_prefixed():
    with pytest.raises(TypeError) as e:
        pack("o", [], {"a": "2"})
    assert str(e.value).startswith("argument 'decimal_fields': ")


def test_first_failing_column_wins():
    with pytest.raises(ValueError) as e:
        pack("o", [("a", np.arange(3)), ("b", np.array([1], np.int16)), ("c", ["x", 1])])
    _check(e, ValueError, "unsupported data type: int16")


# --- reference counts -----------------------------------------------------------------------------


def _refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def _tracked_columns(bad):
    """A column list of every kind, then `bad`; returns (columns, the objects to watch)."""
    objs = [
        np.arange(4),
        np.arange(4, dtype=np.float64),
        np.arange(4, dtype=np.int32),
        np.arange(4, dtype=np.float32),
        np.array([True, False]),
        np.arange(4).astype("M8[ms]"),
        ["a", "é"],
        ["1.5", None],
        np.array([1.25, 2.5]),
    ]
    names = [f"c{i}" for i in range(len(objs))]
    columns = [(n, o) for n, o in zip(names, objs)] + ([bad] if bad is not None else [])
    return columns, objs + names + [bad]


@pytest.mark.parametrize(
    "bad",
    [None]
    + [("bad", make()) for make, _, _, _ in INTAKE_FAILURES]
    + [
        ["a", np.arange(2)],
        ("a",),
        (1, np.arange(2)),
        ("ts", np.array([2**62], "M8[s]")),
        ("px", np.array([1.0])),
    ],
)
def test_reference_counts_unchanged(bad):
    columns, watched = _tracked_columns(bad)
    fields = {"c7": 2, "c8": 3, "px": 16}
    obj = "obj-" + "x" * 20
    watched += [columns, fields, obj] + list(columns)
    before = _refcounts(watched)
    try:
        pack(obj, columns, fields)
    except (TypeError, ValueError, IndexError, UnicodeEncodeError):
        assert bad is not None
    else:
        assert bad is None
    assert _refcounts(watched) == before


# --- decided behaviour beyond the plain conversions -----------------------------------------------


@pytest.mark.parametrize("unit, factor", [("s", 10**6), ("ms", 10**3), ("us", 1), ("ns", None)])
def test_nat_is_stored_as_nat_in_every_unit(unit, factor):
    arr = np.array([0, NAT, 5, NAT], dtype=f"M8[{unit}]")
    assert np.isnat(arr[1])
    five = 5 * factor if factor else 0
    assert values(pack("o", [("t", arr)])) == [0, NAT, five, NAT]
    assert values(pack("o", [("t", arr[1:2])])) == [NAT]


MS_MAX = (2**63 - 1) // 1000
S_MAX = (2**63 - 1) // 10**6


@pytest.mark.parametrize(
    "unit, value, ok",
    [
        ("ms", MS_MAX, True),
        ("ms", -MS_MAX, True),
        ("ms", MS_MAX + 1, False),
        ("ms", -MS_MAX - 1, False),
        ("ms", NAT + 1, False),
        ("ms", 2**63 - 1, False),
        ("s", S_MAX, True),
        ("s", -S_MAX, True),
        ("s", S_MAX + 1, False),
        ("s", -S_MAX - 1, False),
        ("s", NAT + 1, False),
        ("us", 2**63 - 1, True),
        ("us", NAT + 1, True),
        ("ns", 2**63 - 1, True),
        ("ns", NAT + 1, True),
    ],
)
def test_datetime_values_outside_the_microsecond_range(unit, value, ok):
    arr = np.array([0, value, 1], dtype=f"M8[{unit}]")
    factor = {"ms": 1000, "s": 10**6, "us": 1}.get(unit)
    if ok:
        expect = value * factor if factor else tdiv(value, 1000)
        expect_last = factor if factor else 0
        assert values(pack("o", [("ts", arr)])) == [0, expect, expect_last]
        return
    before = sys.getrefcount(arr)
    with pytest.raises(ValueError) as e:
        pack("o", [("ok", np.arange(2)), ("ts", arr), ("later", 5)])
    _check(e, ValueError, "datetime value out of range in column 'ts'")
    del e  # its traceback holds the call's arguments
    assert sys.getrefcount(arr) == before


def test_out_of_range_message_names_the_column_exactly():
    with pytest.raises(ValueError) as e:
        pack("o", [("日 'x'\x00y", np.array([2**62], "M8[s]"))])
    _check(e, ValueError, "datetime value out of range in column '日 'x'\x00y'")


@pytest.mark.parametrize(
    "column",
    [np.array([1.5]), np.array([1.5], np.float32), ["1.5"], [], np.array([], np.float64)],
)
@pytest.mark.parametrize("scale", [16, 99, 2**64 - 1])
def test_decimal_scale_above_15_is_refused(column, scale):
    with pytest.raises(ValueError) as e:
        pack("o", [("px", column)], {"px": scale})
    _check(e, ValueError, f"decimal scale {scale} of column 'px' is above 15")


def test_decimal_scale_15_is_accepted():
    assert values(pack("o", [("px", ["0.000000000000001"])], {"px": 15})) == (15, [1])


@pytest.mark.parametrize(
    "floats, scale, mantissas",
    [
        ([1.0, 1e17, 2.0], 0, [1, 0, 2]),
        ([1.0, 2.0**56, float(2**56 - 8), 3.0], 0, [1, 0, 2**56 - 8, 3]),
        ([-1.0, -(2.0**56), -3.0], 0, [-1, 0, -3]),
        ([1.0, 1e300, -1e300, np.inf, -np.inf, 4.0], 2, [100, 0, 0, 0, 0, 400]),
        ([7.0, 7.3e3, 1.0], 13, [7 * 10**13, 0, 10**13]),
    ],
)
def test_floats_too_large_for_a_decimal_become_nan(floats, scale, mantissas):
    assert values(pack("o", [("d", np.array(floats))], {"d": scale})) == (scale, mantissas)


def test_float_to_decimal_matches_truncation_on_random_values():
    rng = np.random.default_rng(7)
    for scale in range(0, 16):
        arr = rng.uniform(-1e3, 1e3, 200) * rng.choice([1e-6, 1, 1e3], 200)
        got_scale, got = values(pack("o", [("d", arr)], {"d": scale}))
        expect = [int(float(x) * float(10**scale)) for x in arr]
        expect = [m if abs(m) < 2**56 else 0 for m in expect]
        assert got == expect and got_scale == (scale if expect else 0)
