"""Leaks and lifetimes: every function, on success and on each error path, called 10,000 times
keeps the resident size flat and the reference counts of its inputs unchanged; returned arrays
own what they need and outlive the frame, the result, the list and each other."""

import gc
import os
import sys

import _kvt
import frames as F
import numpy as np
import pytest

ITERATIONS = 10_000
WARMUP = 1_000
MiB = 1 << 20


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def repeat(call, iterations):
    for _ in range(iterations):
        try:
            call()
        except (ValueError, TypeError, OverflowError, IndexError):
            pass


def check_flat(call, inputs):
    """Runs call ITERATIONS times after a warm-up: no resident growth, no reference change."""
    repeat(call, WARMUP)
    gc.collect()
    counts = refcounts(inputs)
    before = resident_bytes()
    repeat(call, ITERATIONS)
    gc.collect()
    growth = resident_bytes() - before
    assert refcounts(inputs) == counts
    return growth


def run_case(call, inputs, memory_figures):
    growth = check_flat(call, inputs)
    if memory_figures:
        assert growth < MiB, growth  # 100 bytes kept per call would show as about 1 MB


memory_figures = not os.environ.get("KVT_SANITIZED") == "1"

# ---- inputs, built once so their reference counts can be watched ----

I64 = np.arange(50, dtype=np.int64)
F64 = np.linspace(0, 1, 50)
I32 = np.arange(50, dtype=np.int32)
F32 = np.linspace(0, 1, 50, dtype=np.float32)
BOOL = np.arange(50) % 3 == 0
US = np.arange(50, dtype=np.int64).view("M8[us]")
MS = np.arange(50, dtype=np.int64).view("M8[ms]")
S = np.arange(50, dtype=np.int64).view("M8[s]")
NS = (np.arange(50, dtype=np.int64) * 1001).view("M8[ns]")
TEXT = ["alpha", "é", "", "中文" * 20]
DEC_TEXT = ["1.25", "x", "-3", ""]
EMPTY = np.zeros(0)
I16 = np.arange(5, dtype=np.int16)
TWO_D = np.zeros((2, 3), dtype=np.int64)
STRIDED = np.arange(10)[::2]
FAR_MS = np.array([2**62], dtype=np.int64).view("M8[ms]")
BAD_TEXT = ["ok", 5]
SURROGATE_TEXT = ["ok", "\ud800"]
SURROGATE = "\udc00"

PACK_OK = {
    "int64": [("a", I64)],
    "float64": [("a", F64)],
    "int32": [("a", I32)],
    "float32": [("a", F32)],
    "bool": [("a", BOOL)],
    "datetime us": [("a", US)],
    "datetime ms": [("a", MS)],
    "datetime s": [("a", S)],
    "datetime ns": [("a", NS)],
    "text": [("a", TEXT)],
    "empty": [("a", EMPTY), ("b", [])],
    "every kind": [
        ("i", I64),
        ("f", F64),
        ("i32", I32),
        ("f32", F32),
        ("b", BOOL),
        ("t", US),
        ("s", TEXT),
        ("d", F64),
        ("e", F32),
        ("x", DEC_TEXT),
    ],
}
SCALES = {"d": 2, "e": 3, "x": 1}


@pytest.mark.parametrize("name", PACK_OK)
def test_pack_success(name):
    columns = PACK_OK[name]
    arrays = [c for _, c in columns]

    def call():
        _kvt.pack_table_frame("obj", columns, SCALES)

    run_case(call, [columns, SCALES, *arrays, *TEXT], memory_figures)


# Each error path; columns before the failing one have been taken in and must be released.
PACK_ERRORS = {
    "obj not str": (5, [("a", I64)], None),
    "obj not encodable": (SURROGATE, [("a", I64)], None),
    "columns not list": ("o", (("a", I64),), None),
    "decimal_fields not dict": ("o", [("a", I64)], [1]),
    "decimal key not str": ("o", [("a", I64)], {1: 2}),
    "decimal key not encodable": ("o", [("a", I64)], {SURROGATE: 2}),
    "decimal value not index": ("o", [("a", I64)], {"a": 1.5}),
    "decimal value negative": ("o", [("a", I64)], {"a": -1}),
    "item not tuple": ("o", [("a", I64), ["b", F64]], None),
    "short tuple": ("o", [("a", I64), ("b",)], None),
    "name not str": ("o", [("a", I64), (7, F64)], None),
    "name not encodable": ("o", [("a", I64), (SURROGATE, F64)], None),
    "unsupported type": ("o", [("a", I64), ("b", (1, 2))], None),
    "unsupported dtype": ("o", [("a", I64), ("b", I16)], None),
    "two dimensions": ("o", [("a", TEXT), ("b", TWO_D)], None),
    "strided": ("o", [("a", US), ("b", STRIDED)], None),
    "list item not str": ("o", [("a", MS), ("b", BAD_TEXT)], None),
    "list item not encodable": ("o", [("a", TEXT), ("b", SURROGATE_TEXT)], None),
    "decimal scale above 15": ("o", [("a", I64), ("b", F64)], {"b": 16}),
    "datetime out of range": ("o", [("a", DEC_TEXT), ("b", FAR_MS)], {"a": 2}),
}


@pytest.mark.parametrize("name", PACK_ERRORS)
def test_pack_error_paths(name):
    obj, columns, scales = PACK_ERRORS[name]
    args = (obj, columns) if scales is None else (obj, columns, scales)
    with pytest.raises((ValueError, TypeError, OverflowError, IndexError)):
        _kvt.pack_table_frame(*args)
    inner = [x for item in columns for x in item] if isinstance(columns, (list, tuple)) else []
    run_case(lambda: _kvt.pack_table_frame(*args), [obj, columns, scales, *inner], memory_figures)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("o",), {}),
        (("o", [], None, 4), {}),
        ((), {"obj": "o", "columns": []}),
        (("o", []), {"decimal_fields": None}),
        (("o", []), {"other": 1}),
    ],
)
def test_pack_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        _kvt.pack_table_frame(*args, **kwargs)
    run_case(
        lambda: _kvt.pack_table_frame(*args, **kwargs), [*args, *kwargs.values()], memory_figures
    )


def every_kind_region():
    return F.region(
        F.body(
            [
                F.field("n", "Null"),
                F.field("t", "DateTime", range(0, 70, 7), unit=7),
                F.field("i", "Int64", range(-20, 20)),
                F.field("f", "Float64", [0.5] * 10),
                F.field("d", "Decimal", range(30), scale=2),
                F.field("s", "String", ["ab", "é", ""] * 5),
                F.field("b", "Bool", [True, False] * 5),
                F.field("i32", "Int32", range(10)),
                F.field("u32", "UInt32", range(10)),
                F.field("u64", "UInt64", range(10)),
                F.field("f32", "Float32", [0.25] * 10),
                F.field("y", "Bytes", [b"\xff", b""] * 5, meta_entries=[("k", ("Bytes", b"v"))]),
            ],
            F.obj_meta("o") + [("table", ("String", "t"))],
        )
    )


GOOD = every_kind_region()
GOOD_BODY = GOOD[:-4]


def cut_region(n):
    """A frame body cut after n bytes, with a matching checksum: decoding fails mid-item."""
    return F.region(GOOD_BODY[:n])


PARSE_CASES = {
    "success": GOOD,
    "too short": b"\x00\x01",
    "checksum": GOOD[:-1] + bytes([GOOD[-1] ^ 1]),
    "empty body": b"\x00\x00\x00\x00",
    # The cut points fall inside the DateTime, String, Decimal and Bytes columns, the field
    # metadata and the table metadata.
    **{
        f"cut at {n}": cut_region(n)
        for n in (12, 60, 95, 140, len(GOOD_BODY) - 20, len(GOOD_BODY) - 3)
    },
    "bad utf-8 late in a column": F.region(
        F.body([F.field("s", "String", ["ok"] * 20)])[:-4].replace(b"\x02ok\x00", b"\x02o\xff\x00")
    ),
    "series tag 12": F.region(F.body([b"\x01a\x00\x00\x0c"])),
    "Null columns over budget": F.region(
        F.varint(F.FORMAT_WORD)
        + F.varint(1001)
        + b"\x01a\x02\x00\x02"
        + F.varint(80000)
        + bytes(80000)
        + b"\x00\x00\x00\x00" * 1000
        + b"\x00\x00"
    ),
}


@pytest.mark.parametrize("name", PARSE_CASES)
def test_parse_success_and_error_paths(name):
    buf = PARSE_CASES[name]
    if name != "success":
        with pytest.raises(ValueError):
            _kvt.parse_table_frame(buf)
    run_case(lambda: _kvt.parse_table_frame(buf), [buf], memory_figures)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((bytearray(8),), {}),
        ((None,), {}),
        ((), {}),
        ((b"", b""), {}),
        ((), {"buffer": b""}),
    ],
)
def test_parse_and_check_binding_errors(args, kwargs):
    def call():
        for f in (_kvt.parse_table_frame, _kvt.check_table_frame):
            try:
                f(*args, **kwargs)
            except TypeError:
                pass

    run_case(call, [*args, *kwargs.values()], memory_figures)


@pytest.mark.parametrize(
    "buf",
    [GOOD, b"\x7c\x4d\x01\x00\x1f\x00\x00\x00", b"\x7c\x4d", b"\x7c\x4d\x02\x00\x00\x00\x00\x00"],
)
def test_check_table_frame(buf):
    run_case(lambda: _kvt.check_table_frame(buf), [buf], memory_figures)


@pytest.mark.parametrize("tz", [3, -25, 26, 200, 2**70, 1.5, "3", None])
def test_zone_functions(zone, tz):
    def call():
        try:
            _kvt.set_local_zone(tz)
        finally:
            _kvt.get_local_offset()

    run_case(call, [tz], memory_figures)
    run_case(lambda: _kvt.set_local_zone(tz=3), [], memory_figures)
    run_case(lambda: _kvt.get_local_offset(1), [], memory_figures)


# ---- returned arrays and their owners ----


def test_returned_arrays_keep_their_base_counts():
    columns = _kvt.parse_table_frame(GOOD)[2]
    bases = [a.base for _, a in columns if a.base is not None]
    assert len(bases) == 9  # Null, UInt32, UInt64 own their memory; the others adopt a buffer
    counts = refcounts(bases)
    for _ in range(1000):
        views = [a[1:] for _, a in columns] + [a[::2].view() for _, a in columns]
        copies = [a.copy() for _, a in columns]
        del views, copies
    assert refcounts(bases) == counts
    # Each array holds exactly one reference to its owner, dropped with the array.
    del bases
    for i in range(len(columns)):
        base = columns[i][1].base
        if base is None:
            continue
        before = sys.getrefcount(base)
        columns[i] = None
        assert sys.getrefcount(base) == before - 1


def test_arrays_outlive_the_frame_the_result_and_the_list():
    buf = bytes(GOOD)
    result = _kvt.parse_table_frame(buf)
    arrays = {name: a for name, a in result[2]}
    expected = {name: a.copy() for name, a in arrays.items()}
    del result, buf
    gc.collect()
    junk = [bytes(1000) for _ in range(2000)]  # reuse freed memory
    for name, a in arrays.items():
        assert a.dtype == expected[name].dtype
        assert a.tolist() == expected[name].tolist()
    del junk


def test_views_outlive_their_arrays_and_each_other():
    columns = dict(_kvt.parse_table_frame(GOOD)[2])
    views = {name: (a[::-1], a[1:3]) for name, a in columns.items()}
    want = {name: (v[0].tolist(), v[1].tolist()) for name, v in views.items()}
    del columns
    gc.collect()
    for name in list(views):
        rev, mid = views[name]
        del views[name]
        assert rev.tolist() == want[name][0]
        del rev
        gc.collect()
        assert mid.tolist() == want[name][1]


def test_object_items_outlive_their_array():
    columns = dict(_kvt.parse_table_frame(GOOD)[2])
    s, y = columns.pop("s"), columns.pop("y")
    items = list(s) + list(y)
    del s, y, columns
    gc.collect()
    junk = [bytes(100) for _ in range(2000)]  # reuse freed memory
    assert items == ["ab", "é", ""] * 5 + [b"\xff", b""] * 5
    del junk


@pytest.mark.parametrize("long_item", [False, True], ids=["in frame", "owned"])
def test_shared_items_hold_one_reference_per_slot(long_item):
    # Repeated short elements share one object; its count must cover every slot exactly, whether
    # the column is read in place (all lengths one byte) or copied out (a length above 250), and
    # fall back by as much when the array goes.
    words = ["AAPL", "MSFT", "GOOGGOOGGOOG", "", "x", "é"] + [f"w{i}" for i in range(40)]
    items = [words[i % len(words)] for i in range(20_000)] + ["z" * (300 if long_item else 3)]
    frame = _kvt.pack_table_frame("t", [("c", items)])
    array = dict(_kvt.parse_table_frame(frame[8:])[2])["c"]
    assert array.tolist() == items
    slots = {}
    for item in array:
        slots[id(item)] = slots.get(id(item), 0) + 1
    # Immortal objects (the empty and one-character strings) keep a fixed count.
    distinct = [o for o in {id(o): o for o in array}.values() if sys.getrefcount(o) < 2**30]
    del item
    # The list, the loop variable and the argument hold the others.
    assert [sys.getrefcount(o) - 3 for o in distinct] == [slots[id(o)] for o in distinct]
    del array
    gc.collect()
    assert [sys.getrefcount(o) - 3 for o in distinct] == [0] * len(distinct)


def test_object_slots_can_be_replaced_and_released():
    a = _kvt.parse_table_frame(GOOD)[2][5][1]
    marker = object()
    before = sys.getrefcount(marker)
    for i in range(len(a)):
        a[i] = marker
    assert sys.getrefcount(marker) == before + len(a)
    del a
    gc.collect()
    assert sys.getrefcount(marker) == before


def test_packing_after_parsing_shares_nothing():
    columns = _kvt.parse_table_frame(GOOD)[2]
    ints = dict(columns)["i"]
    frame = _kvt.pack_table_frame("o", [("i", ints)])
    ints[:] = 0
    assert _kvt.parse_table_frame(frame[8:])[2][0][1].tolist() == list(range(-20, 20))
