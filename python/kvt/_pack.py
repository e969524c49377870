"""Packing: columns of every kind users hold (NumPy arrays, lists, mappings, pandas and polars
data frames and series, Arrow producers) made into what _kvt and kvt._arrow take, and the
decimal checks that say which row cannot be packed."""

from __future__ import annotations

import operator
import re
from collections.abc import Mapping, Sequence
from typing import Any, SupportsIndex, TypeAlias

import _kvt
import numpy as np

from . import _arrow
from ._deps import module_if_loaded as _module_if_loaded
from ._deps import type_name as _type_name
from ._interop import arrow_column, arrow_pairs
from ._table import Array

# What _kvt.pack_table_frame takes as one column, or a column read from an Arrow producer.
_Column: TypeAlias = Array | list[str] | _arrow.ArrowColumn

# Lossless widening of integer and float types that frames have no column kind for.
_WIDER: dict[np.dtype[Any], np.dtype[Any]] = {
    np.dtype(np.int8): np.dtype(np.int32),
    np.dtype(np.int16): np.dtype(np.int32),
    np.dtype(np.uint8): np.dtype(np.int32),
    np.dtype(np.uint16): np.dtype(np.int32),
    np.dtype(np.uint32): np.dtype(np.int64),
    np.dtype(np.float16): np.dtype(np.float32),
}


def pack(
    obj: str,
    columns: object,
    decimal_fields: Mapping[str, SupportsIndex] | None = None,
) -> bytes:
    """Packs one table frame for the object `obj`.

    `columns` is a sequence of (name, column) pairs, a mapping of name -> column, or a pandas or
    polars DataFrame. A column is a one-dimensional NumPy array, a list of str, a pandas or polars
    Series, or a sequence of numbers or bools. Arrays are made contiguous and native-endian, and
    int8/int16/uint8/uint16 widen to int32, uint32 to int64 and float16 to float32. Missing
    values are refused except NaN in float columns; time-zone aware timestamps (NumPy-backed or
    Arrow-backed) are packed as their UTC instants.
    Columns named in `decimal_fields` are packed as decimals with that many places: text is
    parsed exactly, while numbers are cut toward zero at that scale as _kvt does (1.15 at two
    places is 1.14, since the binary64 1.15 lies below it), so give exact values as text.
    Polars and Arrow-backed pandas Decimal columns are packed as decimals at their own scale
    unless `decimal_fields` names them. A decimal column cannot carry a missing value (None, NaN,
    "nan"), an infinity, a value whose magnitude times 10**places reaches 2**56, or text that is
    not a number: ValueError names the column, the row and the value.
    """
    if type(columns) is list and (decimal_fields is None or type(decimal_fields) is dict):
        frame = _pack_plain(obj, columns, decimal_fields)
        if frame is not None:
            return frame
    given = dict(decimal_fields) if decimal_fields is not None else None
    entries = [
        (name, *_as_column(name, column, given is not None and name in given))
        for name, column in _named_columns(columns)
    ]
    # Scales that columns carry in their own type, for names that decimal_fields leaves out. The
    # frame gives every column of one name the same scale, so all of them must agree.
    typed: dict[str, int | None] = {}
    for name, _, own_scale in entries:
        if given is not None and name in given:
            continue
        seen = typed.setdefault(name, own_scale)
        if seen != own_scale:
            raise ValueError(
                f"the columns named {name!r} are not alike: one is {_describe_scale(seen)},"
                f" another {_describe_scale(own_scale)}; a frame packs every column of one name"
                " at one decimal scale, so rename one or cast them alike"
            )
    # Arrow columns carry their scale in their values; the others take it from the mapping.
    scales = {
        name: scale
        for name, column, scale in entries
        if scale is not None
        and not isinstance(column, _arrow.ArrowColumn)
        and (given is None or name not in given)
    }
    decimals = given if not scales else {**(given or {}), **scales}
    for name, column, own_scale in entries:
        if given is not None and name in given:
            _check_decimals(name, column, given[name], "(leave it out of decimal_fields)")
        elif own_scale is not None:
            _check_decimals(name, column, own_scale, "(cast it to a float type)")
    try:
        return _pack_entries(obj, entries, decimals)
    except TypeError:
        # A text column that _kvt refused holds something other than str: say what, in the
        # words used for any sequence (the columns were taken in without that check).
        for name, column, _ in entries:
            if type(column) is list:
                try:
                    _from_sequence(name, column, False)
                except TypeError as e:
                    raise e from None
        raise


# Array types that _kvt takes exactly as given (native byte order), and so need no conversion.
_PLAIN_DTYPES = frozenset(
    np.dtype(t)
    for t in ("=i8", "=i4", "=f8", "=f4", "?", "=M8[s]", "=M8[ms]", "=M8[us]", "=M8[ns]")
)


def _pack_plain(
    obj: str, columns: list[Any], decimal_fields: dict[str, SupportsIndex] | None
) -> bytes | None:
    """The frame of (name, column) pairs that need no conversion (contiguous arrays of the
    types above, lists whose first item is a str), packed as the general path would pack them;
    None for anything else, or when _kvt refuses, so that the general path says why."""
    for item in columns:
        if type(item) is not tuple or len(item) != 2 or type(item[0]) is not str:
            return None
        column = item[1]
        if type(column) is np.ndarray:
            # A strided array is refused by _kvt (TypeError), and the general path copies it.
            if column.ndim != 1 or column.dtype not in _PLAIN_DTYPES:
                return None
        elif type(column) is not list or not column or type(column[0]) is not str:
            return None
        elif decimal_fields and item[0] in decimal_fields:
            return None  # decimals given as text are checked item by item
    if decimal_fields:
        for name, column in columns:
            if name in decimal_fields:
                _check_decimals(
                    name, column, decimal_fields[name], "(leave it out of decimal_fields)"
                )
    try:
        return _kvt.pack_table_frame(obj, columns, decimal_fields)
    except TypeError:
        return None


def _pack_entries(
    obj: str,
    entries: list[tuple[str, _Column, int | None]],
    decimals: dict[str, SupportsIndex] | None,
) -> bytes:
    plain = [(name, c) for name, c, _ in entries if not isinstance(c, _arrow.ArrowColumn)]
    if len(plain) == len(entries):
        return _kvt.pack_table_frame(obj, plain, decimals)
    # Columns read from Arrow producers are packed from their buffers by kvt._arrow, beside the
    # others, which it takes in as _kvt does; _kvt checks the arguments first, with its messages.
    _kvt.pack_table_frame(obj, [], decimals)
    places = {name: operator.index(v) for name, v in decimals.items()} if decimals else {}
    return _arrow.pack(obj, [(name, column, places.get(name)) for name, column, _ in entries])


def _named_columns(columns: object) -> list[tuple[str, object]]:
    pd = _module_if_loaded("pandas")
    pl = _module_if_loaded("polars")
    if pd is not None and isinstance(columns, pd.DataFrame):
        pairs = list(columns.items())
    elif pl is not None and isinstance(columns, pl.DataFrame):
        pairs = [(series.name, series) for series in columns.get_columns()]
    elif (arrow := arrow_pairs(columns)) is not None:
        pairs = list(arrow)
    elif isinstance(columns, Mapping):
        pairs = list(columns.items())
    elif isinstance(columns, Sequence) and not isinstance(columns, (str, bytes)):
        pairs = []
        for item in columns:
            if not isinstance(item, (tuple, list)) or len(item) != 2:
                raise TypeError(f"columns must be (name, column) pairs, not {_type_name(item)}")
            pairs.append((item[0], item[1]))
    else:
        raise TypeError(
            "columns must be a list of (name, column) pairs, a mapping of name -> column, a"
            " pandas/polars DataFrame or an Arrow table (__arrow_c_stream__ or __arrow_c_array__),"
            f" not {_type_name(columns)}"
        )
    for name, _ in pairs:
        if not isinstance(name, str):
            raise TypeError(f"column names must be str, not {_type_name(name)} ({name!r})")
    return pairs


def _as_column(name: str, column: object, decimal: bool) -> tuple[_Column, int | None]:
    """The column as _kvt takes it (an exact ndarray or an exact list of str), and the decimal
    scale its own type carries (polars and Arrow Decimal columns), if any."""
    if isinstance(column, _arrow.ArrowColumn):
        if decimal:
            return _from_array(name, column.to_numpy()), None
        return column, column.decimal_scale
    pd = _module_if_loaded("pandas")
    pl = _module_if_loaded("polars")
    if pd is not None and isinstance(column, pd.Series):
        return _from_pandas(name, column, decimal)
    if pl is not None and isinstance(column, pl.Series):
        if column.null_count() and not column.dtype.is_float():
            raise TypeError(f"column {name!r} holds missing values")
        if _polars_text(pl, column.dtype) or (column.dtype.is_decimal() and not decimal):
            # Read from polars' own buffers: no str per value, decimals exactly.
            arrow = arrow_column(column)
            return arrow, arrow.decimal_scale
        if column.dtype.is_decimal():
            # Text keeps every digit; floats would not.
            return _from_array(name, column.cast(pl.String).to_numpy()), column.dtype.scale
        return _from_array(name, column.to_numpy()), None
    if isinstance(column, np.ma.MaskedArray):
        raise TypeError(f"column {name!r}: masked arrays are not supported (fill them first)")
    if isinstance(column, np.ndarray):
        return _from_array(name, column), None
    if isinstance(column, Sequence) and not isinstance(column, (str, bytes, bytearray)):
        items = list(column)
        if items and type(items[0]) is str and not decimal:
            # Text: _kvt checks every item as it takes it in (one pass in C), and pack() turns
            # its refusal into this function's message.
            return items, None
        return _from_sequence(name, items, decimal), None
    raise TypeError(
        f"column {name!r}: cannot pack {_type_name(column)}; give a one-dimensional NumPy array,"
        " a list of str, a sequence of numbers or a pandas/polars Series"
    )


def _from_sequence(name: str, items: list[Any], decimal: bool) -> _Column:
    """A list of str, or the array of a sequence of numbers; TypeError for anything else."""
    if all(isinstance(item, str) or (decimal and item is None) for item in items):
        # Decimal columns may be given as text (None is let through to be refused by
        # _check_decimals, which names its row). Numbers go through a float array: _kvt
        # would turn a number in a list into NaN.
        return items
    if not any(isinstance(item, str) for item in items):
        array = np.asarray(items)
        if array.dtype.kind != "O":
            return _from_array(name, array)
    kinds = " and ".join(dict.fromkeys(repr(type(item).__qualname__) for item in items))
    raise TypeError(
        f"column {name!r}: cannot pack a sequence of {kinds} items; give only str, or only numbers"
    )


def _from_pandas(name: str, series: Any, decimal: bool) -> tuple[_Column, int | None]:
    pd = _module_if_loaded("pandas")
    # NumPy integer and bool columns cannot hold a missing value, and floats may hold NaN;
    # extension types (nullable integers among them) are asked.
    plain = isinstance(series.dtype, np.dtype) and series.dtype.kind in "biuf"
    if not plain and series.hasnans and not pd.api.types.is_float_dtype(series.dtype):
        raise TypeError(f"column {name!r} holds missing values")
    if _arrow_backed_text(pd, series.dtype, decimal):
        # Arrow-backed text, categories of text and Arrow decimals are read from their Arrow
        # buffers: no str per value, decimals exactly. An Arrow-backed array hands over its own
        # chunked array (about 1 us), where the Series' export rebuilds one per call (60 us).
        source = series
        if isinstance(series.dtype, (pd.StringDtype, pd.ArrowDtype)):
            source = getattr(series.array, "__arrow_array__", lambda: series)()
        arrow = arrow_column(source)
        return arrow, arrow.decimal_scale
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_convert(None)
    arrow_type = getattr(series.dtype, "pyarrow_dtype", None)
    pa = _module_if_loaded("pyarrow")
    if arrow_type is not None and pa is not None:
        # Arrow-backed columns would come out of to_numpy as objects (Timestamp, Decimal).
        if pa.types.is_timestamp(arrow_type):
            # Arrow stores the UTC instant whatever the zone; dropping the zone keeps it.
            values = pa.array(series.array).cast(pa.timestamp(arrow_type.unit))
            return _from_array(name, values.to_numpy(zero_copy_only=False)), None
        if pa.types.is_decimal(arrow_type):
            text = pa.array(series.array).cast(pa.string()).to_numpy(zero_copy_only=False)
            return _from_array(name, text), arrow_type.scale
    return _from_array(name, series.to_numpy()), None


def _polars_text(pl: Any, dtype: Any) -> bool:
    return bool(
        dtype == pl.String or dtype == pl.Binary or isinstance(dtype, (pl.Categorical, pl.Enum))
    )


def _arrow_backed_text(pd: Any, dtype: Any, decimal: bool) -> bool:
    if isinstance(dtype, pd.StringDtype):
        return bool(dtype.storage == "pyarrow")
    if isinstance(dtype, pd.CategoricalDtype):
        return dtype.categories.dtype.kind == "O" or isinstance(
            dtype.categories.dtype, pd.StringDtype
        )
    arrow_type = getattr(dtype, "pyarrow_dtype", None)
    pa = _module_if_loaded("pyarrow")
    if arrow_type is None or pa is None:
        return False
    text = pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type)
    return text or (pa.types.is_decimal(arrow_type) and not decimal)


def _from_array(name: str, array: Array) -> _Column:
    if array.ndim != 1:
        raise TypeError(f"column {name!r} must be one-dimensional, not of shape {array.shape}")
    if array.dtype.kind in "OUT":
        # Text arrives as object, fixed-width or variable-width string arrays.
        items = array.tolist()
        for item in items:
            if not isinstance(item, str):
                raise TypeError(
                    f"column {name!r}: cannot pack an object column holding {_type_name(item)}"
                    " items; give only str, or only numbers"
                )
        return list(items)
    native = array.dtype.newbyteorder("=")
    return np.ascontiguousarray(array, dtype=_WIDER.get(native, native))


# Decimals: magnitudes are 56-bit, scales 0..15.
_D64_LIMIT = 1 << 56
_MAX_SCALE = 15
# What _kvt trims around decimal text: the Unicode White_Space characters.
_WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680"
    + "".join(map(chr, range(0x2000, 0x200B)))
    + "\u2028\u2029\u202f\u205f\u3000"
)
# The text _kvt reads as a decimal: ASCII digits (one at least), '-' anywhere (the sign) and '.'
# (the last one counts).
_DECIMAL_TEXT = re.compile(r"[0-9.\-]*[0-9][0-9.\-]*")
_DIGITS = frozenset("0123456789")
# Why a decimal column cannot carry a value; each with the way out, given how to leave it out.
_MISSING = "which a decimal column cannot carry: fill it, or pack the column as float64 {how}"
_TOO_LARGE = (
    "which a decimal column of {places} cannot carry (the value times 10**{scale} reaches"
    " 2**56): pack the column as float64 {how}"
)
_NOT_A_NUMBER = "which is not a decimal number: fix it, or pack the column as text {how}"
# Values are shown in errors up to this many characters.
_SHOWN_WIDTH = 60


def _check_decimals(name: str, column: _Column, scale: SupportsIndex, how: str) -> None:
    """ValueError for the first value that _kvt would turn into a NaN decimal, which frames carry
    as 0; the module refuses scales it cannot take by itself."""
    try:
        places = operator.index(scale)
    except TypeError:
        return
    if not 0 <= places <= _MAX_SCALE or isinstance(column, _arrow.ArrowColumn):
        return  # kvt._arrow checks Arrow decimals itself
    if isinstance(column, list):
        found = _text_fault(column, places)
    elif column.dtype.kind == "f":
        found = _float_fault(column, places)
    else:
        return  # _kvt packs integer, bool and datetime columns as they are
    if found is not None:
        row, shown, why = found
        if len(shown) > _SHOWN_WIDTH:
            shown = shown[: _SHOWN_WIDTH - 3] + "..."
        reason = why.format(scale=places, places=_places(places), how=how)
        raise ValueError(f"column {name!r} row {row} holds {shown}, {reason}")


def _float_fault(values: Array, places: int) -> tuple[int, str, str] | None:
    # The product _kvt forms (in binary64, float32 widened first), whose magnitude must stay
    # below 2**56; NaN fails the comparison too.
    limit = float(_D64_LIMIT)
    power = float(10**places)
    # Scaling by a positive power is monotonic in binary64, so the extreme products are those of
    # the extreme values (no temporary array); NaN carries through max and min and fails both
    # comparisons.
    if not values.size or (
        float(values.max()) * power < limit and float(values.min()) * power > -limit
    ):
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = np.multiply(values, power, dtype=np.float64)
    row = int(np.argmin(np.abs(scaled) < limit))
    value = values[row]
    return row, str(value), _TOO_LARGE if np.isfinite(value) else _MISSING


def _text_fault(items: list[str], places: int) -> tuple[int, str, str] | None:
    # Every value _kvt cannot carry comes back from a frame as 0.0, so only the rows that do are
    # looked at one by one.
    frame = _kvt.pack_table_frame("", [("", items)], {"": places})
    values = _kvt.parse_table_frame(frame[8:])[2][0][1]
    verdicts: dict[str | None, str | None] = {}  # a column of zeros repeats a few texts
    for row in np.flatnonzero(values == 0.0).tolist():
        text = items[row]
        if text not in verdicts:
            verdicts[text] = _decimal_text_fault(text, places)
        why = verdicts[text]
        if why is not None:
            return row, repr(text), why
    return None


def _decimal_text_fault(text: str | None, places: int) -> str | None:
    """Why _kvt cannot carry the text as a decimal at `places` places, or None when it can."""
    if text is None:
        return _MISSING
    s = text.strip(_WHITE_SPACE)
    if s.isascii() and s.lower() in ("nan", "inf"):
        return _MISSING
    if not _DECIMAL_TEXT.fullmatch(s):
        return _NOT_A_NUMBER
    point = s.rfind(".")
    written = len(s) - point - 1 if point >= 0 else 0
    digits = "".join(c for c in s if c in _DIGITS)
    # Past 15 places the last digits are cut off.
    kept = digits[: max(len(digits) - max(written - _MAX_SCALE, 0), 0)].lstrip("0")
    if len(kept) > len(str(_D64_LIMIT)):
        return _TOO_LARGE
    magnitude = int(kept or "0")
    raise_by = places - min(written, _MAX_SCALE)
    if magnitude >= _D64_LIMIT or (raise_by > 0 and magnitude * 10**raise_by >= _D64_LIMIT):
        return _TOO_LARGE
    return None


def _places(scale: int) -> str:
    return "1 place" if scale == 1 else f"{scale} places"


def _describe_scale(scale: int | None) -> str:
    return "not a decimal" if scale is None else f"a decimal of {_places(scale)}"
