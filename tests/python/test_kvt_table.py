"""kvt.pack and kvt.Table: column conversion, exact errors, pandas and polars round trips."""

import sys

import numpy as np
import pytest

import _kvt
import kvt


def unpack(frame):
    return kvt.Table(*_kvt.parse_table_frame(frame[8:]))


I64 = np.array([1, -1, 300], dtype=np.int64)
TS = np.array(["2024-01-02T09:30:00", "NaT"], dtype="datetime64[us]")


def test_pairs_and_mapping_pack_the_same_bytes_as_the_module():
    want = _kvt.pack_table_frame("o", [("a", I64), ("s", ["x", "é"])])
    assert kvt.pack("o", [("a", I64), ("s", ["x", "é"])]) == want
    assert kvt.pack("o", [["a", I64], ("s", ("x", "é"))]) == want
    assert kvt.pack("o", {"a": I64, "s": ["x", "é"]}) == want
    assert kvt.pack("", []) == _kvt.pack_table_frame("", [])


@pytest.mark.parametrize(
    "column, dtype, values",
    [
        (np.array([-3, 7], dtype=np.int8), np.int32, [-3, 7]),
        (np.array([65535], dtype=np.uint16), np.int32, [65535]),
        (np.array([4294967295], dtype=np.uint32), np.int64, [4294967295]),
        (np.array([0.5], dtype=np.float16), np.float32, [0.5]),
        (np.array([1, 2], dtype=">i8"), np.int64, [1, 2]),
        (np.arange(10)[::3], np.int64, [0, 3, 6, 9]),
        ([1, 2], np.int64, [1, 2]),
        ((0.5, 1.0), np.float64, [0.5, 1.0]),
        ([True, False], np.bool_, [True, False]),
        (np.array(["ab", "c"]), object, ["ab", "c"]),
        (np.array(["ab", "c"], dtype=object), object, ["ab", "c"]),
        ([], object, []),
    ],
)
def test_columns_are_converted_to_what_the_module_takes(column, dtype, values):
    ((name, got),) = unpack(kvt.pack("o", [("c", column)])).columns
    assert got.dtype == np.dtype(dtype)
    assert got.tolist() == values


def test_memmap_and_datetimes(tmp_path):
    path = tmp_path / "m.bin"
    np.arange(4, dtype=np.int64).tofile(path)
    memmap = np.memmap(path, dtype=np.int64, mode="r")
    table = unpack(kvt.pack("o", {"m": memmap, "t": TS.astype("datetime64[ns]")}))
    assert table.column("m").tolist() == [0, 1, 2, 3]
    shifted = TS[:1] + np.timedelta64(_kvt.get_local_offset(), "us")
    assert table.column("t")[0] == shifted[0]


def test_decimal_columns_from_numbers_text_and_arrays():
    table = unpack(
        kvt.pack(
            "o",
            {"n": [1.5, 2.25, -3], "s": ["1.25", "x"], "a": np.array([0.5, 7.0]), "i": I64},
            {"n": 2, "s": 2, "a": 1, "i": 3},
        )
    )
    # A number in a decimal list keeps its value; the module alone would make it NaN.
    assert table.column("n").tolist() == [1.5, 2.25, -3.0]
    assert table.column("s").tolist()[0] == 1.25
    assert table.column("a").tolist() == [0.5, 7.0]
    assert table.column("i").tolist() == I64.tolist()
    assert kvt.pack("o", {"s": ["1.25", None]}, {"s": 2}) == _kvt.pack_table_frame(
        "o", [("s", ["1.25", None])], {"s": 2}
    )


@pytest.mark.parametrize(
    "columns, message",
    [
        (
            5,
            "columns must be a list of (name, column) pairs, a mapping of name -> column or a"
            " pandas/polars DataFrame, not 'int'",
        ),
        (
            "ab",
            "columns must be a list of (name, column) pairs, a mapping of name -> column or a"
            " pandas/polars DataFrame, not 'str'",
        ),
        ([("a", I64, 1)], "columns must be (name, column) pairs, not 'tuple'"),
        ([None], "columns must be (name, column) pairs, not None"),
        ({1: I64}, "column names must be str, not 'int' (1)"),
        (
            {"a": {"x": 1}},
            "column 'a': cannot pack 'dict'; give a one-dimensional NumPy array, a"
            " list of str, a sequence of numbers or a pandas/polars Series",
        ),
        (
            {"a": None},
            "column 'a': cannot pack None; give a one-dimensional NumPy array, a"
            " list of str, a sequence of numbers or a pandas/polars Series",
        ),
        (
            {"a": ["x", None]},
            "column 'a': cannot pack a sequence of 'str' and 'NoneType' items;"
            " give only str, or only numbers",
        ),
        (
            {"a": [1, "x", 2.5]},
            "column 'a': cannot pack a sequence of 'int' and 'str' and 'float'"
            " items; give only str, or only numbers",
        ),
        (
            {"a": [1, None]},
            "column 'a': cannot pack a sequence of 'int' and 'NoneType' items;"
            " give only str, or only numbers",
        ),
        (
            {"a": np.array(["x", None], dtype=object)},
            "column 'a': cannot pack an object column"
            " holding None items; give only str, or only"
            " numbers",
        ),
        ({"a": np.zeros((2, 2))}, "column 'a' must be one-dimensional, not of shape (2, 2)"),
        (
            {"a": np.ma.masked_array([1, 2], mask=[0, 1])},
            "column 'a': masked arrays are not supported (fill them first)",
        ),
    ],
)
def test_refused_columns(columns, message):
    with pytest.raises(TypeError) as e:
        kvt.pack("o", columns)
    assert type(e.value) is TypeError and str(e.value) == message


def test_module_errors_pass_through():
    with pytest.raises(ValueError, match="^unsupported data type: uint64$"):
        kvt.pack("o", {"a": np.array([1], dtype=np.uint64)})
    with pytest.raises(
        TypeError, match="^argument 'obj': 'int' object is not an instance of 'str'$"
    ):
        kvt.pack(1, {})


def test_table_accessors():
    table = kvt.Table("t", "o", [("a", I64), ("b", TS), ("a", I64[:1])])
    assert table.column("a") is table.columns[0][1]
    with pytest.raises(KeyError):
        table.column("z")
    with pytest.raises(ValueError, match="^column name 'a' occurs more than once$"):
        table.to_dict()
    single = kvt.Table("t", "o", table.columns[:2])
    assert list(single.to_dict()) == ["a", "b"]
    assert single._asdict()["obj"] == "o"


def test_missing_optional_dependency(monkeypatch):
    monkeypatch.setitem(sys.modules, "polars", None)
    with pytest.raises(
        ImportError,
        match=r"^polars is not installed; install it with: pip install 'kvt\[polars\]'$",
    ):
        kvt.Table("", "o", []).to_polars()


def test_pandas_round_trip():
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame(
        {
            "ts": TS[:1].repeat(3),
            "price": [187.15, np.nan, 1.0],
            "volume": np.array([1, 2, 3], dtype=np.int64),
            "n": np.array([1, 2, 3], dtype=np.int32),
            "buy": [True, False, True],
            "venue": ["XNAS", "XNYS", "é"],
        }
    )
    frame = kvt.pack("AAPL", df)
    assert frame == kvt.pack("AAPL", {name: df[name].to_numpy() for name in df.columns})
    back = unpack(frame).to_pandas()
    assert list(back.columns) == list(df.columns)
    assert back["price"].tolist()[::2] == [187.15, 1.0] and np.isnan(back["price"][1])
    assert back["volume"].dtype == np.int64 and back["n"].dtype == np.int32
    assert back["buy"].tolist() == [True, False, True]
    assert back["venue"].tolist() == ["XNAS", "XNYS", "é"]
    assert (back["ts"] - df["ts"]).unique().tolist() == [
        pd.Timedelta(_kvt.get_local_offset(), "us")
    ]


def test_pandas_edges():
    pd = pytest.importorskip("pandas")
    aware = pd.Series(pd.to_datetime(["2024-01-02T09:30:00"], utc=True)).dt.tz_convert("Asia/Tokyo")
    naive_utc = np.array(["2024-01-02T09:30:00"], dtype="datetime64[ns]")
    assert kvt.pack("o", {"t": aware}) == kvt.pack("o", {"t": naive_utc})
    table = kvt.Table("", "o", [("a", I64), ("a", I64 * 2)])
    assert list(table.to_pandas().columns) == ["a", "a"]
    with pytest.raises(ValueError) as e:
        kvt.Table("", "o", [("a", I64), ("b", I64[:2])]).to_pandas()
    assert str(e.value) == (
        "column 'b' has 2 rows but column 'a' has 3; a data frame needs columns of equal length"
    )
    for series in (pd.Series([1, None], dtype="Int64"), pd.Series(["a", None])):
        with pytest.raises(TypeError, match="^column 'c' holds missing values$"):
            kvt.pack("o", pd.DataFrame({"c": series}))
    with pytest.raises(TypeError, match="^column names must be str, not 'int' "):
        kvt.pack("o", pd.DataFrame({0: [1]}))


def test_polars_round_trip():
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"a": [1, 2], "f": [0.5, None], "s": ["x", "y"], "b": [True, False]})
    table = unpack(kvt.pack("o", df))
    assert table.column("a").dtype == np.int64
    assert np.isnan(table.column("f")[1])
    back = table.to_polars()
    assert back.columns == ["a", "f", "s", "b"]
    assert back["s"].to_list() == ["x", "y"] and back["a"].to_list() == [1, 2]
    with pytest.raises(TypeError, match="^column 'a' holds missing values$"):
        kvt.pack("o", pl.DataFrame({"a": [1, None]}))
