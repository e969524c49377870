"""Tables to and from the Arrow PyCapsule interface, through the extension module kvt._arrow.

Export: a table becomes one struct batch. Numbers, datetime64 values and decoded text go out
without copying (the Arrow buffers point into the arrays or the decoded text, which the release
callbacks keep alive); bool columns become bitmaps, NaT becomes null, object arrays of str or
bytes become new large string / large binary buffers.

Import: an object with __arrow_c_stream__ or __arrow_c_array__ is read whole into ArrowColumn
objects, which kvt._arrow packs straight from the producer's buffers.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Protocol

import numpy as np

from . import _arrow


class Table(Protocol):
    """What Arrow export reads of a table (kvt.Table is one): its names and its columns as held
    (arrays, kvt._arrow.Strings, None for Null columns)."""

    table: str
    obj: str

    def _arrow_source(self) -> Sequence[tuple[str, object]]: ...


# Arrow formats of the NumPy dtypes a table column may have, by (kind, item size).
_FORMATS: dict[tuple[str, int], str] = {
    ("b", 1): "b",
    ("i", 1): "c",
    ("i", 2): "s",
    ("i", 4): "i",
    ("i", 8): "l",
    ("u", 1): "C",
    ("u", 2): "S",
    ("u", 4): "I",
    ("u", 8): "L",
    ("f", 2): "e",
    ("f", 4): "f",
    ("f", 8): "g",
}
_TIME_UNITS = {"s": "tss:", "ms": "tsm:", "us": "tsu:", "ns": "tsn:"}

Batch = tuple[list[tuple[str, str, object]], int, list[tuple[str, str]]]


def _export_column(name: str, data: object) -> tuple[str, str, object]:
    """(name, Arrow format, data as kvt._arrow takes it)."""
    if data is None:
        return name, "n", None
    if isinstance(data, _arrow.Strings):
        return name, "U" if data.is_text else "Z", data
    if not isinstance(data, np.ndarray) or data.ndim != 1:
        raise TypeError(f"column {name!r}: cannot export {type(data).__qualname__!r} to Arrow")
    kind = data.dtype.kind
    if kind in "biuf":
        fmt = _FORMATS.get((kind, data.dtype.itemsize))
        if fmt is not None:
            native = data.dtype.newbyteorder("=")
            return name, fmt, np.ascontiguousarray(data, dtype=native)
    elif kind == "M":
        unit = np.datetime_data(data.dtype)[0]
        if unit in _TIME_UNITS:
            values = np.ascontiguousarray(data, dtype=data.dtype.newbyteorder("="))
            return name, _TIME_UNITS[unit], values.view(np.int64)
    elif kind in "OUST":
        values = np.ascontiguousarray(data, dtype=object)
        is_bytes = kind == "S" or (kind == "O" and len(values) and isinstance(values[0], bytes))
        return name, "Z" if is_bytes else "U", values
    raise TypeError(f"column {name!r}: no Arrow type for NumPy dtype {data.dtype}")


def batch_of(table: Table) -> Batch:
    """The batch description of one table: its columns as exported, the row count, metadata."""
    columns = [_export_column(name, data) for name, data in table._arrow_source()]
    lengths = [(name, len(data)) for name, fmt, data in columns if fmt != "n"]  # type: ignore[arg-type]
    rows = lengths[0][1] if lengths else 0
    for name, length in lengths[1:]:
        if length != rows:
            raise ValueError(
                f"column {name!r} has {length} rows but column {lengths[0][0]!r} has {rows};"
                " an Arrow table needs columns of equal length"
            )
    return columns, rows, [("kvt.table", table.table), ("kvt.obj", table.obj)]


def schema_capsule(table: Table) -> object:
    return _arrow.schema(batch_of(table))


def stream_capsule(tables: Iterable[Table]) -> object:
    return _arrow.stream(batch_of(t) for t in tables)


class ArrowStream:
    """Tables (as read_frames yields them) handed to Arrow consumers as one stream of batches.

    The first table fixes the schema, and its names the schema metadata; every later table must
    have the same column names and Arrow types, or the consumer's read fails with an error that
    says which table differs. The tables are read as the consumer asks for batches, and the
    stream can be consumed once.
    """

    def __init__(self, tables: Iterable[Table]) -> None:
        self._tables: Iterator[Table] | None = iter(tables)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        if self._tables is None:
            raise ValueError("this stream of tables has been handed out already")
        tables, self._tables = self._tables, None
        return stream_capsule(tables)


def arrow_stream(tables: Iterable[Table]) -> ArrowStream:
    """An object with __arrow_c_stream__ over tables, e.g. pl.DataFrame(arrow_stream(frames))."""
    return ArrowStream(tables)


def arrow_pairs(columns: object) -> list[tuple[str, _arrow.ArrowColumn]] | None:
    """The columns of an Arrow producer (stream or struct array), or None for other objects."""
    kind = type(columns)
    if hasattr(kind, "__arrow_c_stream__"):
        return _arrow.read_stream(columns.__arrow_c_stream__())  # type: ignore[attr-defined]
    if hasattr(kind, "__arrow_c_array__"):
        schema, array = columns.__arrow_c_array__()  # type: ignore[attr-defined]
        return _arrow.read_array(schema, array)
    return None


def arrow_column(series: Any) -> _arrow.ArrowColumn:
    """One pandas or polars Series, or a pyarrow chunked array, as an Arrow column (its chunks,
    uncopied)."""
    pairs = _arrow.read_stream(series.__arrow_c_stream__())
    return pairs[0][1]
