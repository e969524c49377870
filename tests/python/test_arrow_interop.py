"""kvt tables to and from Arrow: pyarrow, polars, duckdb and pandas as producers and consumers."""

import decimal
import gc
import io
import mmap
import re
import threading
import weakref

import _kvt
import frames as F
import kvt
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")
duckdb = pytest.importorskip("duckdb")


def ref_parse(frame):
    return _kvt.parse_table_frame(frame[8:])


def assert_same(got, want):
    """Equal dtypes and values, floats bit for bit (NaN and -0.0 included)."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype
    if want.dtype.kind == "f":
        got, want = got.view(f"u{want.itemsize}"), want.view(f"u{want.itemsize}")
    assert got.tolist() == want.tolist()


def polars_takes(names):  # polars renames "" to column_0 and refuses repeated names
    return all(names) and len(set(names)) == len(names)


def dec(*texts, kind=None):
    return pa.array([decimal.Decimal(t) for t in texts], kind or pa.decimal128(10, 2))


# ---- random columns: (Arrow array, the column _kvt packs alike, decimal scale or None) ----

INTS = {"int8": np.int32, "int16": np.int32, "uint8": np.int32, "uint16": np.int32}
INTS |= {"int32": np.int32, "uint32": np.int64, "int64": np.int64}
TEXT = [pa.string(), pa.large_string(), pa.string_view()]
DECIMAL_TYPES = [(pa.decimal32, 9), (pa.decimal64, 18), (pa.decimal128, 38)]


@st.composite
def arrow_column(draw, rows):
    kind = draw(st.sampled_from([*INTS, "float", "bool", "time", "text", "dict", "decimal"]))
    many = lambda elements: draw(st.lists(elements, min_size=rows, max_size=rows))  # noqa: E731
    if kind in INTS:
        info = np.iinfo(kind)
        values = np.array(many(st.integers(int(info.min), int(info.max))), dtype=kind)
        return pa.array(values), values.astype(INTS[kind]), None
    if kind == "float":
        size = draw(st.sampled_from([2, 4, 8]))
        values = np.array(many(st.integers(0, 2 ** (8 * size) - 1)), f"u{size}").view(f"f{size}")
        mask = np.array(many(st.booleans()), dtype=bool)
        want = values.astype(np.float32 if size == 2 else values.dtype)
        want[mask] = np.nan  # Arrow nulls in float columns are NaN
        return pa.array(values, mask=mask), want, None
    if kind == "bool":
        values = many(st.booleans())
        return pa.array(values, pa.bool_()), np.array(values, dtype=bool), None
    if kind == "time":
        unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
        bound = 2**62 if unit == "ns" else 2**40
        values = many(st.integers(-bound, bound))
        zone = draw(st.sampled_from([None, "UTC", "Asia/Kolkata"]))
        return pa.array(values, pa.timestamp(unit, zone)), np.array(values, f"M8[{unit}]"), None
    if kind in ("text", "dict"):
        values = many(st.text(max_size=20))
        if kind == "text":
            return pa.array(values, draw(st.sampled_from(TEXT))), values, None
        uniques = sorted(set(values))
        index = draw(st.sampled_from([pa.int8(), pa.uint16(), pa.int64()]))
        indices = pa.array([uniques.index(v) for v in values], index)
        dictionary = pa.array(uniques, draw(st.sampled_from(TEXT)))
        return pa.DictionaryArray.from_arrays(indices, dictionary), values, None
    make, precision = draw(st.sampled_from(DECIMAL_TYPES))
    scale = draw(st.integers(0, min(15, precision)))
    bound = min(10**precision, 2**56) - 1
    values = [decimal.Decimal(m).scaleb(-scale) for m in many(st.integers(-bound, bound))]
    return pa.array(values, make(precision, scale)), [format(v, "f") for v in values], scale


@st.composite
def tables(draw):
    rows = draw(st.integers(0, 25))
    columns = draw(st.lists(arrow_column(rows), min_size=1, max_size=5))
    names = draw(st.lists(st.text("ab é", max_size=2), min_size=5))  # repeats and "" included
    # Decimal columns get names of their own: a frame packs every column of one name alike.
    names = [f"d{i}" if c[2] is not None else names[i] for i, c in enumerate(columns)]
    table = pa.Table.from_arrays([c[0] for c in columns], names=names)
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=3)))
    chunked = pa.concat_tables(table.slice(a, b - a) for a, b in zip([0, *cuts], [*cuts, rows]))
    decimals = {name: c[2] for name, c in zip(names, columns) if c[2] is not None}
    return chunked, [(name, c[1]) for name, c in zip(names, columns)], decimals or None


@settings(max_examples=150, deadline=None)
@given(tables())
def test_arrow_producers_pack_the_bytes_of_the_numpy_columns(case):
    chunked, reference, decimals = case
    want = _kvt.pack_table_frame("o", reference, decimals)
    assert kvt.pack("o", chunked) == want
    assert kvt.pack("o", chunked.combine_chunks().to_struct_array()) == want
    if polars_takes(chunked.column_names):
        assert kvt.pack("o", pl.from_arrow(chunked)) == want


@settings(max_examples=100, deadline=None)
@given(tables())
def test_unpacked_tables_reach_consumers_as_the_reference_parse_sees_them(case):
    _, reference, decimals = case
    frame = _kvt.pack_table_frame("o", reference, decimals)
    name, _, parsed = ref_parse(frame)
    touched = kvt.unpack(frame)
    touched.columns  # noqa: B018 (text leaves its decoded form: exported from str objects)
    for exported in (pa.table(kvt.unpack(frame)), pa.table(touched)):
        assert exported.column_names == [n for n, _ in parsed]
        assert exported.schema.metadata == {b"kvt.table": name.encode(), b"kvt.obj": b"o"}
        for column, (_, want) in zip(exported.columns, parsed):
            assert want.dtype != object or column.type == pa.large_string()
            assert_same(column.to_numpy(zero_copy_only=False), want)
    # Decimals come back as float64; everything else packs back to the very same bytes.
    again = [(n, a.tolist() if a.dtype == object else a) for n, a in parsed]
    again = _kvt.pack_table_frame("o", again)
    assert kvt.pack("o", exported) == again
    assert kvt.pack("o", kvt.unpack(frame)) == again
    if polars_takes(exported.column_names):
        for series, (_, want) in zip(pl.DataFrame(kvt.unpack(frame)).get_columns(), parsed):
            assert_same(series.to_numpy(), want)


# ---- every column kind, out and back in ----

KINDS = [  # (name, frame kind, values, Arrow type, polars type)
    ("dt", "DateTime", [0, 1_000_000, -7], pa.timestamp("us"), pl.Datetime("us")),
    ("i64", "Int64", [1, -2, 2**63 - 1], pa.int64(), pl.Int64),
    ("f64", "Float64", [1.5, float("nan"), -0.0], pa.float64(), pl.Float64),
    ("dec", "Decimal", [125, -5, 0], pa.float64(), pl.Float64),
    ("n", "Null", [], pa.null(), pl.Null),
    ("s", "String", ["a", "", "héllo"], pa.large_string(), pl.String),
    ("b", "Bool", [True, False, True], pa.bool_(), pl.Boolean),
    ("i32", "Int32", [-(2**31), 0, 2**31 - 1], pa.int32(), pl.Int32),
    ("u32", "UInt32", [0, 2**32 - 1, 5], pa.uint32(), pl.UInt32),
    ("u64", "UInt64", [0, 2**64 - 1, 5], pa.uint64(), pl.UInt64),
    ("f32", "Float32", [0.5, -1.0, float("inf")], pa.float32(), pl.Float32),
    ("by", "Bytes", [b"\x00\xff", b"", b"xyz"], pa.large_binary(), pl.Binary),
]
EVERY_KIND = F.frame(
    F.body(
        [F.field(n, k, v, **({"scale": 2} if k == "Decimal" else {})) for n, k, v, *_ in KINDS],
        [("table", ("String", "quotes")), ("obj", ("String", "OBJ"))],
    )
)


def test_every_column_kind_goes_out_with_its_arrow_type_and_comes_back(zone):
    kvt.set_local_zone(-3)
    _, _, parsed = ref_parse(EVERY_KIND)
    t = kvt.unpack(EVERY_KIND)
    exported, again = pa.table(t), pa.table(t)
    for name, kind, *_ in KINDS:  # numbers without a copy, text from the one decoded arena
        if kind in ("String", "Bytes"):
            assert len({x[name].chunks[0].buffers()[2].address for x in (exported, again)}) == 1
        elif kind not in ("Null", "Bool"):  # bools go out as a bitmap
            assert exported[name].chunks[0].buffers()[1].address == t.column(name).ctypes.data
    assert duckdb.sql("select sum(i32), string_agg(s, '|') from t").fetchall() == [(-1, "a||héllo")]
    assert list(zip(exported.column_names, exported.schema.types)) == [(k[0], k[3]) for k in KINDS]
    assert exported.schema.metadata == {b"kvt.table": b"quotes", b"kvt.obj": b"OBJ"}
    assert pl.DataFrame(kvt.unpack(EVERY_KIND)).dtypes == [k[4] for k in KINDS]
    for (name, want), column in zip(parsed, exported.columns):
        if name == "n":  # the reference parse gives False rows for a Null column
            assert column.null_count == 3 and want.tolist() == [False] * 3
        else:
            assert_same(column.to_numpy(zero_copy_only=False), want)
    # Back in, uint32 widens to int64 and decimals stay float64; the rest is as it was.
    kvt.set_local_zone(0)
    values = {n: a.tolist() for n, a in ref_parse(EVERY_KIND)[2]}
    kinds = {"u32": "Int64", "dec": "Float64"}
    fields = [
        F.field(n, kinds.get(n, k), values[n] if k not in ("DateTime", "Null") else v)
        for n, k, v, *_ in KINDS
    ]
    want = F.frame(F.body(fields, F.obj_meta("OBJ")))
    assert kvt.pack("OBJ", pa.table(kvt.unpack(EVERY_KIND))) == want
    assert kvt.pack("OBJ", kvt.unpack(EVERY_KIND)) == want


def held_table():
    """A table over an array that only the table holds, and a weak reference to that array."""
    array = np.arange(1000)
    table = kvt.Table("", "o", [("i", array), ("s", np.array(["x"] * 1000, object))])
    return table, weakref.ref(array)


class Capsule:
    def __init__(self, capsule):
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


@pytest.mark.parametrize("consume", [pa.table, pl.DataFrame], ids=["pyarrow", "polars"])
def test_a_consumer_in_another_thread_keeps_the_arrays_alive_then_releases_them(consume):
    table, alive = held_table()
    capsule = table.__arrow_c_stream__()
    del table
    seen = []

    def work(capsule):
        held = consume(Capsule(capsule))
        seen.append((held["i"].to_numpy().sum(), str(held["s"][999]), alive() is not None))
        del held
        gc.collect()

    worker = threading.Thread(target=work, args=(capsule,))
    worker.start()
    worker.join()
    del capsule
    gc.collect()
    assert seen == [(499500, "x", True)]
    assert alive() is None


@pytest.mark.parametrize(
    "drop",
    [
        lambda t: t.__arrow_c_stream__(),
        lambda t: t.__arrow_c_schema__(),
        lambda t: kvt.arrow_stream([t, t]).__arrow_c_stream__(),
        lambda t: pa.RecordBatchReader.from_stream(kvt.arrow_stream([t, t])).read_next_batch(),
    ],
    ids=["stream", "schema", "two-tables", "one-batch-read"],
)
def test_capsules_dropped_unread_release_the_table(drop):
    table, alive = held_table()
    drop(table)
    del table
    gc.collect()
    assert alive() is None


# ---- producers ----

HALVES = np.arange(2**16, dtype=np.uint16).view(np.float16)
DST = pd.date_range("2024-03-10 01:30", periods=3, freq="h", tz="America/New_York")
UTC_DST = np.array(["2024-03-10T06:30", "2024-03-10T07:30", "2024-03-10T08:30"], "M8[us]")
DUCKDB = (
    "select * from (values (1.25::DECIMAL(10,2), -0.001::DECIMAL(18,3), 123::DECIMAL(38,0), 'x',"
    " TIMESTAMPTZ '2024-01-01 00:00:00+05', 2::TINYINT, 4::UINTEGER)) t(a, b, c, s, ts, i8, u32)"
)
FROM_DUCKDB = [("a", ["1.25"]), ("b", ["-0.001"]), ("c", ["123"]), ("s", ["x"])]
FROM_DUCKDB += [("ts", np.array(["2023-12-31T19:00"], "M8[us]")), ("i8", np.array([2], np.int32))]
FROM_DUCKDB += [("u32", np.array([4]))]
ABA, WORDS = ["a", "b", "a"], ["p", "q" * 40, "é" * 13]  # inline and buffered string views
DECIMALS = ["1.25", "-3.10", "0"]
LIMITS = ["0.000000000000001", "-9.999999999999999", str(2**56 - 1), str(1 - 2**56)]


def polars_frame():
    categorical, enum = (
        pl.Series("c", ABA, pl.Categorical),
        pl.Series("e", ABA, pl.Enum(["b", "a"])),
    )
    decimals = pl.Series("d", dec(*DECIMALS).to_pylist(), pl.Decimal(10, 2))
    return pl.DataFrame([categorical, enum, pl.Series("s", WORDS), decimals])


def pandas_frame():
    decimals = pd.array(dec(*DECIMALS), pd.ArrowDtype(pa.decimal128(10, 2)))
    tokyo = pd.array(DST, pd.ArrowDtype(pa.timestamp("us", "Asia/Tokyo")))
    text = pd.array(WORDS, "string[pyarrow]")
    return pd.DataFrame({"c": pd.Categorical(ABA), "t": DST, "s": text, "d": decimals, "u": tokyo})


def batches(*parts):
    made = [pa.record_batch({"c": pa.array(p, pa.string()).dictionary_encode()}) for p in parts]
    return pa.RecordBatchReader.from_batches(made[0].schema, made)


def sliced_struct(rows):
    columns = [pa.array([1, 2, 3, 4]), pa.array([True, False, True, False])]
    mask = pa.array([True, False, False, True])
    return pa.StructArray.from_arrays(columns, names=["x", "b"], mask=mask).slice(1, rows)


def limits():
    e, c = dec(*LIMITS[:2], kind=pa.decimal128(38, 15)), dec(*LIMITS[2:], kind=pa.decimal64(18, 0))
    return pa.table({"e": e, "c": c})


PRODUCERS = {  # producer, the columns _kvt packs alike, decimal_fields
    "polars": (polars_frame, [("c", ABA), ("e", ABA), ("s", WORDS), ("d", DECIMALS)], {"d": 2}),
    "pandas": (
        pandas_frame,
        [("c", ABA), ("t", UTC_DST), ("s", WORDS), ("d", DECIMALS), ("u", UTC_DST)],
        {"d": 2},
    ),
    "duckdb": (lambda: duckdb.sql(DUCKDB), FROM_DUCKDB, {"a": 2, "b": 3, "c": 0}),
    "own-dictionaries": (lambda: batches(ABA, [], ["z"]), [("c", [*ABA, "z"])], None),
    "sliced-struct": (
        lambda: sliced_struct(2),
        [("x", np.array([2, 3])), ("b", np.array([False, True]))],
        None,
    ),
    "chunked-array": (lambda: pa.chunked_array([[1, 2], [], [3]]), [("", np.arange(1, 4))], None),
    "every-half": (lambda: pa.table({"h": HALVES}), [("h", HALVES.astype(np.float32))], None),
    "decimal-limits": (limits, [("e", LIMITS[:2]), ("c", LIMITS[2:])], {"e": 15, "c": 0}),
}


@pytest.mark.parametrize("make, reference, decimals", PRODUCERS.values(), ids=PRODUCERS.keys())
def test_producers_pack_as_the_reference_packs_their_values(make, reference, decimals):
    assert kvt.pack("o", make()) == _kvt.pack_table_frame("o", reference, decimals)


# ---- refusals ----


def broken_utf8(kind=None):
    """Two rows, the second not UTF-8: "a", then the bytes C3 28."""
    offsets = np.array([0, 1, 3], np.int64 if kind == pa.large_string() else np.int32)
    buffers = [None, pa.py_buffer(offsets), pa.py_buffer(b"a\xc3\x28")]
    return pa.Array.from_buffers(kind or pa.string(), 2, buffers)


def tab(**columns):
    return pa.table(columns)


def batched(*tables):
    return pa.Table.from_batches([b for t in tables for b in t.to_batches()])


def dictionary(indices, values):
    return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int8()), values)


NULL = "column '{}' row {} is null: a frame column carries no missing values except NaN in float columns; fill or drop the nulls first"
TYPE = "column '{}': cannot pack Arrow data of format '{}'; cast it to a type the Arrow type table of kvt lists"
DICT = "column 'c': cannot pack an Arrow dictionary of format 'i' with values of format 'l' (dictionaries of text or bytes with integer indices only)"
D256 = "column 'd': cannot pack Arrow data of format 'd:40,1,256' (decimals of 32, 64 or 128 bits only)"
LARGE = "column 'd' row 1 holds '{0}', which a decimal column of {1} places cannot carry (the value times 10**{1} reaches 2**56): pack the column as float64 (cast it to a float type)"
SCALE, UTF8 = "decimal scale {} of column 'd' is {}", "column 's' row {} is not valid UTF-8"
LOW = "-720575940379279.36"
REFUSALS = {  # TypeError for types, ValueError for values
    "null-second-batch": (lambda: batched(tab(x=[1, 2]), tab(x=[3, None])), NULL.format("x", 3)),
    "text-null": (lambda: tab(s=["a", None]), NULL.format("s", 1)),
    "time-null": (lambda: tab(t=pa.array([None, 0], pa.timestamp("us"))), NULL.format("t", 0)),
    "bool-null-slice": (lambda: tab(b=[True, True, None]).slice(1), NULL.format("b", 1)),
    "index-null": (lambda: tab(c=dictionary([0, None], pa.array(["a"]))), NULL.format("c", 1)),
    "value-null": (lambda: tab(c=dictionary([0, 1], pa.array(["a", None]))), NULL.format("c", 1)),
    "decimal-null": (lambda: tab(d=pa.array([1, None], pa.decimal128(5, 1))), NULL.format("d", 1)),
    "struct-null": (lambda: sliced_struct(3), "row 2 of an Arrow batch is null"),
    "date32": (lambda: tab(d=pa.array([0], pa.date32())), TYPE.format("d", "tdD")),
    "list": (lambda: tab(l=[[1, 2]]), TYPE.format("l", "+l")),
    "number-dictionary": (lambda: tab(c=pa.array([1, 2, 1]).dictionary_encode()), DICT),
    "decimal256": (lambda: tab(d=dec("1.5", kind=pa.decimal256(40, 1))), D256),
    "2**56": (lambda: tab(d=dec("0", str(2**56), kind=pa.decimal128(38))), LARGE.format(2**56, 0)),
    "-2**56": (lambda: tab(d=dec("1", LOW, kind=pa.decimal128(38, 2))), LARGE.format(LOW, 2)),
    "scale-16": (lambda: tab(d=dec("1", kind=pa.decimal128(20, 16))), SCALE.format(16, "above 15")),
    "scale-below-0": (
        lambda: tab(d=dec("100", kind=pa.decimal128(5, -2))),
        SCALE.format(-2, "below 0"),
    ),
    "seconds-range": (
        lambda: tab(t=pa.array([2**62], pa.timestamp("s"))),
        "datetime value out of range in column 't'",
    ),
    "utf8": (lambda: tab(s=broken_utf8()), UTF8.format(1)),
    "utf8-large": (lambda: tab(s=broken_utf8(pa.large_string())), UTF8.format(1)),
    "utf8-dictionary": (lambda: tab(s=dictionary([0, 1], broken_utf8())), UTF8.format(1)),
    "utf8-second-chunk": (lambda: batched(tab(s=["x"]), tab(s=broken_utf8())), UTF8.format(2)),
}


@pytest.mark.parametrize("make, message", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_name_the_column_and_release_the_producer(make, message):
    gc.collect()
    before = pa.total_allocated_bytes()
    producer = make()
    error = TypeError if "cannot pack" in message else ValueError
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        kvt.pack("o", producer)
    del producer
    gc.collect()
    assert pa.total_allocated_bytes() == before


# ---- whole frames from any buffer ----

FRAME = kvt.pack("o", {"i": np.arange(3), "s": ["x", "é", ""]})


def mapped(path):
    path.write_bytes(FRAME)
    with path.open("rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.parametrize(
    "hold",
    [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8), None],
    ids=["bytes", "bytearray", "memoryview", "numpy", "mmap"],
)
def test_unpack_reads_one_whole_frame_from_any_buffer(hold, tmp_path):
    table, obj, columns = kvt.unpack(hold(FRAME) if hold else mapped(tmp_path / "frame"))
    assert (table, obj) == ("", "o")
    assert [(n, a.tolist()) for n, a in columns] == [("i", [0, 1, 2]), ("s", ["x", "é", ""])]


def test_unpack_refuses_cut_long_and_damaged_frames():
    size = len(FRAME)
    with pytest.raises(kvt.TruncatedFrameError, match=f"1 bytes short of the {size}-byte frame"):
        kvt.unpack(FRAME[:-1])
    with pytest.raises(kvt.TruncatedFrameError, match="ends 3 bytes short of the 8-byte header"):
        kvt.unpack(FRAME[:5])
    with pytest.raises(kvt.FrameError, match=f"^frame at offset 0: 2 bytes follow the {size}-"):
        kvt.unpack(FRAME + b"\0\0")
    with pytest.raises(ValueError, match="^a frame must be held in a C-contiguous buffer$"):
        kvt.unpack(np.frombuffer(FRAME * 2, np.uint8)[::2])
    for at in range(size * 8):  # every single flipped bit
        damaged = bytearray(FRAME)
        damaged[at // 8] ^= 1 << at % 8
        with pytest.raises((kvt.FrameError, kvt.TruncatedFrameError)):
            kvt.unpack(damaged)


# ---- streams of frames ----


def frames_file(*frames):
    return io.BytesIO(b"".join(frames))


def test_frames_read_from_a_file_reach_consumers_as_one_stream_of_batches():
    parts = [kvt.pack("A", {"x": np.arange(k), "s": [str(j) for j in range(k)]}) for k in (1, 0, 3)]
    frame = pl.DataFrame(kvt.arrow_stream(kvt.read_frames(frames_file(*parts))))
    assert frame.to_dict(as_series=False) == {"x": [0, 0, 1, 2], "s": ["0", "0", "1", "2"]}
    stream = kvt.ArrowStream(kvt.read_frames(frames_file(*parts)))
    table = pa.table(stream)
    assert [b.num_rows for b in table.to_batches()] == [1, 0, 3]
    assert table.schema.metadata == {b"kvt.table": b"", b"kvt.obj": b"A"}
    with pytest.raises(ValueError, match="^this stream of tables has been handed out already$"):
        pa.table(stream)
    want = _kvt.pack_table_frame("A", [("x", np.array([0, 0, 1, 2])), ("s", ["0", "0", "1", "2"])])
    assert kvt.pack("A", kvt.arrow_stream(kvt.read_frames(frames_file(*parts)))) == want
    with pytest.raises(ValueError, match="^an Arrow stream needs at least one table$"):
        pa.table(kvt.arrow_stream([]))


MISMATCH = "table 1 of the stream has other columns than the first (names and types must agree)"


@pytest.mark.parametrize(
    "second",
    [{"y": np.arange(2)}, {"x": np.arange(2.0)}, {"x": np.arange(2), "y": np.arange(2)}],
    ids=["other-name", "other-type", "one-more"],
)
def test_a_later_table_with_other_columns_fails_the_consumers_read(second):
    stream = frames_file(kvt.pack("A", {"x": np.arange(2)}), kvt.pack("A", second))
    reader = pa.RecordBatchReader.from_stream(kvt.arrow_stream(kvt.read_frames(stream)))
    assert reader.read_next_batch().column(0).to_pylist() == [0, 1]
    with pytest.raises(pa.ArrowInvalid, match=re.escape(MISMATCH)):
        reader.read_next_batch()
    stream.seek(0)
    with pytest.raises(ValueError, match=re.escape(f"giving a batch: ValueError: {MISMATCH}")):
        kvt.pack("A", kvt.arrow_stream(kvt.read_frames(stream)))


def test_tables_of_other_objects_with_the_same_columns_share_one_stream():
    stream = frames_file(kvt.pack("A", {"x": np.arange(2)}), kvt.pack("M", {"x": np.arange(1)}))
    table = pa.table(kvt.arrow_stream(kvt.read_frames(stream)))
    assert table.column("x").to_pylist() == [0, 1, 0]
    assert table.schema.metadata[b"kvt.obj"] == b"A"


def _decoded(i):
    """Column i of a decoded table: 0 text, 1 bytes (kvt._arrow.Strings)."""
    table = pa.table({"s": ["a", "bc"], "b": pa.array([b"x", b"yz"], pa.binary())})
    return kvt.unpack(kvt.pack("o", table))._arrow_source()[i][1]


@pytest.mark.parametrize(
    "fmt, data",
    [
        ("l", np.arange(3, dtype=np.int32)),  # shorter items than declared
        ("i", np.arange(3, dtype=np.int64)),
        ("g", np.arange(3, dtype=np.int64)),  # same size, other kind
        ("L", np.arange(3, dtype=np.int64)),
        ("l", np.arange(6, dtype=np.int64)[::2]),  # strided
        ("l", np.arange(3, dtype=">i8")),  # swapped
        ("l", np.zeros((3, 1), dtype=np.int64)),
        ("b", np.arange(3, dtype=np.int8)),
        ("tsu:", np.arange(3, dtype=np.int32)),
        ("U", np.arange(3, dtype=np.int64)),
        ("u", np.array(["a", "b", "c"], dtype=object)),  # a layout export never makes
        ("d:10,2", np.arange(3, dtype=np.int64)),
        ("+s", np.arange(3, dtype=np.int64)),
        ("l", 0),  # decoded text as numbers
        ("Z", 0),  # text as bytes
        ("U", 1),  # bytes as text
    ],
)
def test_export_refuses_data_that_does_not_match_its_declared_format(fmt, data):
    if isinstance(data, int):
        data = _decoded(data)
    # kvt._arrow trusts no caller: a consumer would otherwise read a buffer of another layout
    # (or length) than the format tells it.
    batch = ([("c", fmt, data)], 3 if not hasattr(data, "is_text") else 2, [])
    with pytest.raises(TypeError, match="cannot export"):
        pa.RecordBatchReader._import_from_c_capsule(kvt._arrow.stream(iter([batch]))).read_all()
