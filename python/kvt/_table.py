"""Parsed tables and packing from lists of pairs, mappings and data frames."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

import _kvt

Array: TypeAlias = npt.NDArray[Any]
# What _kvt.pack_table_frame takes as one column.
_Column: TypeAlias = Array | list[str]

# Lossless widening of integer and float types that frames have no column kind for.
_WIDER: dict[np.dtype[Any], np.dtype[Any]] = {
    np.dtype(np.int8): np.dtype(np.int32),
    np.dtype(np.int16): np.dtype(np.int32),
    np.dtype(np.uint8): np.dtype(np.int32),
    np.dtype(np.uint16): np.dtype(np.int32),
    np.dtype(np.uint32): np.dtype(np.int64),
    np.dtype(np.float16): np.dtype(np.float32),
}


class Table(NamedTuple):
    """One parsed table frame: the table name, the object name and the columns in frame order.

    Column names need not be unique: `columns` keeps every column the frame carries.
    """

    table: str
    obj: str
    columns: list[tuple[str, Array]]

    def column(self, name: str) -> Array:
        """The first column called `name`; KeyError when there is none."""
        for column_name, array in self.columns:
            if column_name == name:
                return array
        raise KeyError(name)

    def to_dict(self) -> dict[str, Array]:
        """Column name -> array in frame order; ValueError when a name occurs twice."""
        result: dict[str, Array] = {}
        for name, array in self.columns:
            if name in result:
                raise ValueError(f"column name {name!r} occurs more than once")
            result[name] = array
        return result

    def to_pandas(self) -> Any:
        """A pandas DataFrame (repeated names are kept); the columns must be of equal length."""
        pd = _optional("pandas")
        self._check_lengths()
        frame = pd.DataFrame({i: array for i, (_, array) in enumerate(self.columns)})
        frame.columns = [name for name, _ in self.columns]
        return frame

    def to_polars(self) -> Any:
        """A polars DataFrame; names must be unique and columns of equal length."""
        pl = _optional("polars")
        self._check_lengths()
        arrays = self.to_dict()
        return pl.DataFrame([pl.Series(name, array) for name, array in arrays.items()])

    def _check_lengths(self) -> None:
        if not self.columns:
            return
        first_name, first = self.columns[0]
        for name, array in self.columns[1:]:
            if len(array) != len(first):
                raise ValueError(
                    f"column {name!r} has {len(array)} rows but column {first_name!r} has"
                    f" {len(first)}; a data frame needs columns of equal length"
                )


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
    values are refused except NaN in float columns; time-zone aware timestamps are packed as UTC.
    Columns named in `decimal_fields` are packed as decimals with that many places: text is
    parsed exactly, while numbers are cut toward zero at that scale as _kvt does (1.15 at two
    places is 1.14, since the binary64 1.15 lies below it), so give exact values as text.
    """
    decimals = dict(decimal_fields) if decimal_fields is not None else None
    pairs = [
        (name, _as_column(name, column, decimals is not None and name in decimals))
        for name, column in _named_columns(columns)
    ]
    return _kvt.pack_table_frame(obj, pairs, decimals)


def _optional(name: str) -> Any:
    """Imports an optional dependency on first use, with an install hint when it is missing."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        hint = f"{name} is not installed; install it with: pip install 'kvt[{name}]'"
        raise ImportError(hint) from e


def _module_if_loaded(name: str) -> Any:
    # An object can only be a pandas or polars instance if that library has been imported.
    return sys.modules.get(name)


def _named_columns(columns: object) -> list[tuple[str, object]]:
    pd = _module_if_loaded("pandas")
    pl = _module_if_loaded("polars")
    if pd is not None and isinstance(columns, pd.DataFrame):
        pairs = list(columns.items())
    elif pl is not None and isinstance(columns, pl.DataFrame):
        pairs = [(series.name, series) for series in columns.get_columns()]
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
            "columns must be a list of (name, column) pairs, a mapping of name -> column or a"
            f" pandas/polars DataFrame, not {_type_name(columns)}"
        )
    for name, _ in pairs:
        if not isinstance(name, str):
            raise TypeError(f"column names must be str, not {_type_name(name)} ({name!r})")
    return pairs


def _as_column(name: str, column: object, decimal: bool) -> _Column:
    """The column as _kvt takes it: an exact ndarray or an exact list of str."""
    pd = _module_if_loaded("pandas")
    pl = _module_if_loaded("polars")
    if pd is not None and isinstance(column, pd.Series):
        series: Any = column
        if series.hasnans and not pd.api.types.is_float_dtype(series.dtype):
            raise TypeError(f"column {name!r} holds missing values")
        if isinstance(series.dtype, pd.DatetimeTZDtype):
            series = series.dt.tz_convert(None)
        return _from_array(name, series.to_numpy())
    if pl is not None and isinstance(column, pl.Series):
        if column.null_count() and not column.dtype.is_float():
            raise TypeError(f"column {name!r} holds missing values")
        return _from_array(name, column.to_numpy())
    if isinstance(column, np.ma.MaskedArray):
        raise TypeError(f"column {name!r}: masked arrays are not supported (fill them first)")
    if isinstance(column, np.ndarray):
        return _from_array(name, column)
    if isinstance(column, Sequence) and not isinstance(column, (str, bytes, bytearray)):
        items = list(column)
        if all(isinstance(item, str) or (decimal and item is None) for item in items):
            # Decimal columns may be given as text, None being NaN. Numbers go through a float
            # array: _kvt would turn a number in a list into NaN.
            return items
        if not any(isinstance(item, str) for item in items):
            array = np.asarray(items)
            if array.dtype.kind != "O":
                return _from_array(name, array)
        kinds = " and ".join(dict.fromkeys(repr(type(item).__qualname__) for item in items))
        raise TypeError(
            f"column {name!r}: cannot pack a sequence of {kinds} items; give only str, or only"
            " numbers"
        )
    raise TypeError(
        f"column {name!r}: cannot pack {_type_name(column)}; give a one-dimensional NumPy array,"
        " a list of str, a sequence of numbers or a pandas/polars Series"
    )


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


def _type_name(value: object) -> str:
    return "None" if value is None else repr(type(value).__qualname__)
