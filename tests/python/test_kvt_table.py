"""kvt.pack and kvt.Table: column conversion, exact errors, pandas and polars round trips."""

import decimal
import sys
from fractions import Fraction

import _kvt
import kvt
import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st


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
            {"n": [1.5, 2.25, -3], "s": ["1.25", "7-"], "a": np.array([0.5, 7.0]), "i": I64},
            {"n": 2, "s": 2, "a": 1, "i": 3},
        )
    )
    # A number in a decimal list keeps its value; the module alone would make it NaN.
    assert table.column("n").tolist() == [1.5, 2.25, -3.0]
    # Text is read as the module reads it, '-' anywhere giving the sign.
    assert table.column("s").tolist() == [1.25, -7.0]
    assert table.column("a").tolist() == [0.5, 7.0]
    assert table.column("i").tolist() == I64.tolist()
    assert kvt.pack("o", {"s": ["1.25", " 0 "]}, {"s": 2}) == _kvt.pack_table_frame(
        "o", [("s", ["1.25", " 0 "])], {"s": 2}
    )


def decimal_refusal(row, shown, why, scale, how="(leave it out of decimal_fields)"):
    places = "1 place" if scale == 1 else f"{scale} places"
    reasons = {
        "missing": "which a decimal column cannot carry: fill it, or pack the column as float64"
        f" {how}",
        "large": f"which a decimal column of {places} cannot carry (the value times"
        f" 10**{scale} reaches 2**56): pack the column as float64 {how}",
        "text": f"which is not a decimal number: fix it, or pack the column as text {how}",
    }
    return f"column 'p' row {row} holds {shown}, {reasons[why]}"


# A float64 just below 2**56 / 10**6 whose product with 10**6 still rounds up to 2**56: the
# module loses it, although its exact product is below the limit.
ROUNDS_UP = 72057594037.92793
assert ROUNDS_UP * 1e6 == 2.0**56 and Fraction(ROUNDS_UP) * 10**6 < 2**56


@pytest.mark.parametrize(
    "column, scale, row, shown, why",
    [
        (np.array([1.5, np.nan]), 2, 1, "nan", "missing"),
        (np.array([np.inf]), 2, 0, "inf", "missing"),
        (np.array([1.0, -np.inf], dtype=np.float32), 2, 1, "-inf", "missing"),
        (np.array([1.0, 2.0**56 / 100]), 2, 1, "720575940379279.4", "large"),
        (np.array([-1e300]), 0, 0, "-1e+300", "large"),
        (np.array([ROUNDS_UP]), 6, 0, "72057594037.92793", "large"),
        # NumPy's own text for it, which differs by version: 7.2057595e+15 in NumPy 2.5,
        # 7205759500000000.0 in 2.2 (Debian 13).
        (
            np.array([0.0, 2.0**56 / 10], dtype=np.float32),
            1,
            1,
            str(np.float32(2.0**56 / 10)),
            "large",
        ),
        ([1.5, float("nan")], 2, 1, "nan", "missing"),
        (["1.5", None], 2, 1, "None", "missing"),
        (["nan"], 2, 0, "'nan'", "missing"),
        ([" INF "], 2, 0, "' INF '", "missing"),
        (["1.5", "x"], 2, 1, "'x'", "text"),
        ([""], 2, 0, "''", "text"),
        (["\u00a0"], 2, 0, "'\\xa0'", "text"),
        (["-"], 2, 0, "'-'", "text"),
        (["."], 2, 0, "'.'", "text"),
        (["1e5"], 2, 0, "'1e5'", "text"),
        (["+1"], 2, 0, "'+1'", "text"),
        (["١"], 2, 0, "'١'", "text"),  # a digit, but not an ASCII one
        ([str(2**56)], 0, 0, "'72057594037927936'", "large"),
        ([str(2**56 - 1)], 1, 0, "'72057594037927935'", "large"),
        (["720575940379279.36"], 2, 0, "'720575940379279.36'", "large"),
        (["9" * 5000], 2, 0, "'" + "9" * 56 + "...", "large"),
    ],
)
def test_decimal_values_the_frame_cannot_carry_are_refused(column, scale, row, shown, why):
    with pytest.raises(ValueError) as e:
        kvt.pack("X", {"p": column}, {"p": scale})
    assert str(e.value) == decimal_refusal(row, shown, why, scale)


@pytest.mark.parametrize(
    "column, scale",
    [
        (np.array([np.nextafter(ROUNDS_UP, 0), -np.nextafter(ROUNDS_UP, 0), 0.004]), 6),
        (np.array([2.0**56 / 100 - 0.125, -0.0]), 2),
        ([str(2**56 - 1), f"-{2**56 - 1}", "0.001", "-0", "00"], 0),
        (["720575940379279.35", "7205759403792793.5", "1.2345678901234567891"], 1),
        ([" 1.5 ", "\u30001.5\u2029", "1.5-", "1.2.3"], 2),
    ],
)
def test_decimal_values_at_the_limits_pack_as_the_module_packs_them(column, scale):
    # Each of these the module keeps: kvt.pack must hand them on unchanged.
    frame = kvt.pack("X", {"p": column}, {"p": scale})
    assert frame == _kvt.pack_table_frame("X", [("p", column)], {"p": scale})
    assert unpack(frame).column("p")[0] != 0.0


def module_value(column, scale):
    frame = _kvt.pack_table_frame("X", [("p", column)], {"p": scale})
    return unpack(frame).column("p")[0]


LIMIT_FLOATS = [ROUNDS_UP, np.nextafter(ROUNDS_UP, 0), 2.0**56, 2.0**56 - 8, 0.5, -0.0]


@given(
    st.one_of(
        st.one_of(
            st.floats(), st.integers(-(2**57), 2**57).map(float), st.sampled_from(LIMIT_FLOATS)
        ).map(lambda x: np.array([x])),
        st.floats(width=32).map(lambda x: np.array([x], dtype=np.float32)),
    ),
    st.integers(0, 15),
)
@example(np.array([ROUNDS_UP]), 6)
def test_decimal_floats_are_refused_exactly_when_the_module_loses_them(column, scale):
    kept = module_value(column, scale)
    value = float(column[0])
    lost = not np.isfinite(value) or (kept == 0.0 and abs(Fraction(value)) * 10**scale >= 1)
    try:
        frame = kvt.pack("X", {"p": column}, {"p": scale})
    except ValueError:
        assert lost
    else:
        assert not lost
        assert frame == _kvt.pack_table_frame("X", [("p", column)], {"p": scale})


NUMBER_TEXT = st.builds(
    lambda sign, whole, point, places: sign + whole + (("." + places) if point else ""),
    st.sampled_from(["", "-"]),
    st.text("0123456789", min_size=1, max_size=20),
    st.booleans(),
    st.text("0123456789", max_size=20),
)


@given(NUMBER_TEXT, st.integers(0, 15))
@example("72057594037927935", 0)
@example("72057594037927936", 0)
@example("7205759403792793.5", 1)
@example("7205759403.7927936", 2)
@example("400.000000000001", 14)
def test_decimal_text_is_exact_or_refused_when_the_module_loses_it(text, scale):
    # The exact value cut toward zero at the scale, as a mantissa.
    mantissa = int(decimal.Decimal(text).scaleb(scale).to_integral_value(decimal.ROUND_DOWN))
    kept = module_value([text], scale)
    try:
        frame = kvt.pack("X", {"p": [text]}, {"p": scale})
    except ValueError:
        assert kept == 0.0 and mantissa != 0
    else:
        # Parsing turns the mantissa into binary64, then divides by the power of ten.
        assert kept == float(mantissa) / float(10**scale)
        assert frame == _kvt.pack_table_frame("X", [("p", [text])], {"p": scale})


@given(st.lists(st.text("0123456789.-+eEinfaINFAx \u00a0\u2003\x1c", max_size=8), max_size=5))
def test_decimal_text_is_only_refused_where_the_module_makes_zero(texts):
    try:
        frame = kvt.pack("X", {"p": texts}, {"p": 3})
    except ValueError as e:
        row = int(str(e).split(" row ", 1)[1].split(" ", 1)[0])
        assert module_value([texts[row]], 3) == 0.0
    else:
        assert frame == _kvt.pack_table_frame("X", [("p", texts)], {"p": 3})


@pytest.mark.parametrize(
    "columns, message",
    [
        (
            5,
            "columns must be a list of (name, column) pairs, a mapping of name -> column, a"
            " pandas/polars DataFrame or an Arrow table (__arrow_c_stream__ or __arrow_c_array__),"
            " not 'int'",
        ),
        (
            "ab",
            "columns must be a list of (name, column) pairs, a mapping of name -> column, a"
            " pandas/polars DataFrame or an Arrow table (__arrow_c_stream__ or __arrow_c_array__),"
            " not 'str'",
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
            {"n": I64, "a": ["x"] * 3 + [b"y"]},
            "column 'a': cannot pack a sequence of 'str' and 'bytes' items;"
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


def test_arrow_backed_and_zone_aware_timestamps_pack_as_utc_instants():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    utc = np.array(["2024-01-02T00:30:00.5", "1969-12-31T23:59:59.25"], dtype="datetime64[us]")
    want = kvt.pack("o", {"t": utc})
    local = pd.Series(utc).dt.tz_localize("UTC").dt.tz_convert("Asia/Tokyo")
    series = [
        local.dt.as_unit("ns"),
        local.astype("datetime64[us, America/New_York]"),
        local.astype(pd.ArrowDtype(pa.timestamp("us", tz="UTC"))),
        local.astype(pd.ArrowDtype(pa.timestamp("ns", tz="Asia/Tokyo"))),
        local.astype(pd.ArrowDtype(pa.timestamp("ms", tz="-05:00"))),
        pd.Series(utc).astype(pd.ArrowDtype(pa.timestamp("us"))),
    ]
    for s in series:
        assert kvt.pack("o", pd.DataFrame({"t": s})) == want, s.dtype
    pl = pytest.importorskip("polars")
    zoned = pl.Series("t", utc).dt.replace_time_zone("UTC").dt.convert_time_zone("Asia/Tokyo")
    assert kvt.pack("o", pl.DataFrame([zoned])) == want
    missing = pd.Series([utc[0], None], dtype=pd.ArrowDtype(pa.timestamp("us", tz="UTC")))
    with pytest.raises(TypeError, match="^column 't' holds missing values$"):
        kvt.pack("o", {"t": missing})


def test_decimal_typed_columns_pack_exactly_at_their_own_scale():
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    values = [decimal.Decimal(v) for v in ["1.15", "-2.25", "0.00", "720575940379279.35"]]
    text = ["1.15", "-2.25", "0.00", "720575940379279.35"]
    want = _kvt.pack_table_frame("o", [("d", text)], {"d": 2})
    polars_column = pl.Series("d", values, dtype=pl.Decimal(18, 2))
    pandas_column = pd.Series(values, dtype=pd.ArrowDtype(pa.decimal128(18, 2)))
    for df in (pl.DataFrame([polars_column]), pd.DataFrame({"d": pandas_column})):
        frame = kvt.pack("o", df)
        assert frame == want
        # 1.15 as a float would have been cut to 1.14.
        assert unpack(frame).column("d").tolist()[:3] == [1.15, -2.25, 0.0]
        # decimal_fields still decides.
        assert kvt.pack("o", df, {"d": 1}) == _kvt.pack_table_frame("o", [("d", text)], {"d": 1})
    with pytest.raises(ValueError) as e:
        kvt.pack("o", {"p": pl.Series([decimal.Decimal(2**56)], dtype=pl.Decimal(38, 0))})
    assert str(e.value) == decimal_refusal(
        0, "'72057594037927936'", "large", 0, "(cast it to a float type)"
    )
    with pytest.raises(ValueError, match="^decimal scale 20 of column 'd' is above 15$"):
        kvt.pack("o", {"d": pl.Series(values[:1], dtype=pl.Decimal(38, 20))})
    with pytest.raises(ValueError) as e:
        kvt.pack("o", [("d", polars_column), ("d", polars_column.cast(pl.Float64))])
    assert str(e.value) == (
        "the columns named 'd' are not alike: one is a decimal of 2 places, another not a"
        " decimal; a frame packs every column of one name at one decimal scale, so rename one or"
        " cast them alike"
    )
    with pytest.raises(TypeError, match="^column 'd' holds missing values$"):
        kvt.pack("o", {"d": pl.Series([values[0], None], dtype=pl.Decimal(18, 2))})


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


def _outcome(fn):
    try:
        return fn()
    except (TypeError, ValueError) as e:
        return type(e), str(e)


@pytest.mark.parametrize(
    ("columns", "decimals"),
    [
        ([("a", I64), ("b", np.array([0.5, -1.25])), ("c", ["x", "yz"])], None),
        (
            [
                (n, np.arange(3).astype(t))
                for n, t in zip("abcdef", ["i8", "i4", "f8", "f4", "?", "M8[ns]"])
            ],
            None,
        ),
        ([("t", np.array([1, 2], dtype="M8[s]")), ("m", np.array([1, 2], dtype="M8[ms]"))], None),
        ([("s", np.arange(6.0)[::2]), ("b", np.arange(3, dtype=">i8"))], None),  # strided, swapped
        ([("p", np.array([1.25, 2.5])), ("q", np.array([1e300]))], {"p": 2}),
        ([("p", np.array([1.25, np.nan]))], {"p": 2}),
        ([("p", np.array([2.0**60]))], {"p": 2}),
        ([("p", np.array([1.5]))], {"p": 16}),
        ([("p", ["1.25", "x"])], {"p": 2}),
        ([("a", ["x", 1])], None),
        ([("a", ["x"]), ("b", [])], None),
        ([("a", ["x"]), ("a", np.arange(2))], None),
        ([("a", np.arange(2)), ("b", np.zeros((2, 2)))], None),
    ],
)
def test_plain_pairs_pack_as_the_general_path_does(columns, decimals):
    # A list of pairs of plain arrays takes a shorter way; a tuple of the same pairs goes the
    # general way. Bytes, errors and messages must not tell them apart.
    fast = _outcome(lambda: kvt.pack("o", list(columns), decimals))
    general = _outcome(lambda: kvt.pack("o", tuple(columns), decimals))
    assert fast == general
