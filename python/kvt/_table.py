"""Parsed tables: the Table class and unpack."""

from __future__ import annotations

import sys
from collections.abc import Buffer, Iterator
from typing import Any, TypeAlias

import _kvt
import numpy as np
import numpy.typing as npt

from . import _arrow
from ._deps import module_if_loaded as _module_if_loaded
from ._deps import optional as _optional
from ._deps import try_import as _try_import
from ._frame import HEADER_SIZE, FrameError, TruncatedFrameError, check_header
from ._interop import schema_capsule, stream_capsule

Array: TypeAlias = npt.NDArray[Any]


class Table:
    """One parsed table frame: the table name, the object name and the columns in frame order.

    Column names need not be unique: `columns` keeps every column the frame carries. A table
    unpacks like the tuple (table, obj, columns). Tables from unpack and read_frames keep text
    columns in their decoded form until `columns` (or column()) asks for NumPy arrays, so that
    Arrow consumers (`__arrow_c_stream__`: polars, duckdb, pyarrow, pandas) get them without one
    Python str per value; once `columns` has been asked for, Arrow consumers read those arrays.
    """

    __slots__ = ("table", "obj", "_columns", "_decoded")

    def __init__(self, table: str, obj: str, columns: list[tuple[str, Array]]) -> None:
        self.table = table
        self.obj = obj
        self._columns: list[tuple[str, Array]] | None = columns
        self._decoded: list[tuple[str, Array | _arrow.Strings | None]] | None = None

    @classmethod
    def _from_decoded(
        cls, table: str, obj: str, decoded: list[tuple[str, Array | _arrow.Strings | None]]
    ) -> Table:
        """A table over what kvt._arrow.unpack returns: arrays, Strings, None for Null columns."""
        self = cls.__new__(cls)
        self.table = table
        self.obj = obj
        self._columns = None
        self._decoded = decoded
        return self

    @property
    def columns(self) -> list[tuple[str, Array]]:
        """(name, NumPy array) pairs in frame order; text as object arrays of str."""
        if self._columns is None:
            decoded = self._decoded or []
            # A Null column is as long as the first column, or empty when it is one itself.
            first = decoded[0][1] if decoded else None
            rows = len(first) if first is not None else 0
            self._columns = [(name, _as_array(data, rows)) for name, data in decoded]
            self._decoded = None
        return self._columns

    def __iter__(self) -> Iterator[Any]:
        return iter((self.table, self.obj, self.columns))

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> Any:
        return (self.table, self.obj, self.columns)[index]

    _fields = ("table", "obj", "columns")

    def _asdict(self) -> dict[str, Any]:
        return {"table": self.table, "obj": self.obj, "columns": self.columns}

    def __repr__(self) -> str:
        names = [name for name, _ in self._arrow_source()]
        return f"Table(table={self.table!r}, obj={self.obj!r}, columns={names!r})"

    def column(self, name: str) -> Array:
        """The first column called `name`; KeyError when there is none."""
        if self._columns is None and self._decoded is not None:
            rows = None
            for i, (column_name, data) in enumerate(self._decoded):
                if column_name == name:
                    if data is None:
                        first = self._decoded[0][1]
                        rows = len(first) if first is not None else 0
                    array = _as_array(data, rows or 0)
                    self._decoded[i] = (column_name, array)
                    return array
            raise KeyError(name)
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
        """A pandas DataFrame (repeated names are kept); the columns must be of equal length.

        Text columns become pandas' Arrow-backed str columns when pyarrow is installed (made
        from the decoded text without a Python str per value), object columns otherwise.
        """
        pd = _optional("pandas")
        self._check_lengths()
        source = self._arrow_source()
        rows = self._rows()
        text = [i for i, (_, data) in enumerate(source) if _is_text(data)]
        pa = (_module_if_loaded("pyarrow") or _try_import("pyarrow")) if text else None
        arrow = pa.table(self) if pa is not None else None
        data: dict[int, Any] = {}
        for i, (_, column) in enumerate(source):
            if arrow is not None and i in text:
                strings = pd.arrays.ArrowStringArray(arrow.column(i))
                data[i] = pd.Series(strings, copy=False)
            else:
                data[i] = _as_array(column, rows)
        frame = pd.DataFrame(data, copy=False)
        frame.columns = [name for name, _ in source]
        return frame

    def to_polars(self) -> Any:
        """A polars DataFrame, read through the Arrow C stream interface; names must be unique
        and columns of equal length."""
        pl = _optional("polars")
        self._check_lengths()
        self._check_unique()
        return pl.DataFrame(self)

    def __arrow_c_schema__(self) -> object:
        """The Arrow schema of the table's one record batch (a PyCapsule)."""
        return schema_capsule(self)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The table as an Arrow C stream of one record batch (a PyCapsule); requested_schema is
        not consulted. Types: docs/arrow.md."""
        return stream_capsule([self])

    def _arrow_source(self) -> list[tuple[str, Array | _arrow.Strings | None]]:
        """The columns as they are held: decoded forms until `columns` has been asked for."""
        if self._columns is None:
            return self._decoded or []
        return list(self._columns)

    def _rows(self) -> int:
        for _, data in self._arrow_source():
            if data is not None:
                return len(data)
        return 0

    def _check_unique(self) -> None:
        seen: set[str] = set()
        for name, _ in self._arrow_source():
            if name in seen:
                raise ValueError(f"column name {name!r} occurs more than once")
            seen.add(name)

    def _check_lengths(self) -> None:
        source = [(name, data) for name, data in self._arrow_source() if data is not None]
        if not source:
            return
        first_name, first = source[0]
        for name, array in source[1:]:
            if len(array) != len(first):
                raise ValueError(
                    f"column {name!r} has {len(array)} rows but column {first_name!r} has"
                    f" {len(first)}; a data frame needs columns of equal length"
                )


def _as_array(data: Array | _arrow.Strings | None, rows: int) -> Array:
    if data is None:
        return np.zeros(rows, dtype=bool)
    if isinstance(data, _arrow.Strings):
        return data.to_numpy()
    return data


def _is_text(data: object) -> bool:
    return isinstance(data, _arrow.Strings) and data.is_text


def unpack(frame: Buffer) -> Table:
    """The table of one whole frame (header included) held in any C-contiguous buffer: bytes,
    bytearray, memoryview, a NumPy uint8 array, an mmap, a ZeroMQ frame's buffer. The buffer is
    read in place, not copied, and only for the length of the call.

    Raises TruncatedFrameError when the buffer holds less than the frame its header declares,
    FrameError for a foreign header, a damaged frame, or bytes after the frame.
    """
    with memoryview(frame) as view:
        if not view.c_contiguous:
            raise ValueError("a frame must be held in a C-contiguous buffer")
        with view.cast("B") as data:
            size = data.nbytes
            if size < HEADER_SIZE:
                raise TruncatedFrameError(0, HEADER_SIZE - size, None)
            length = check_header(0, bytes(data[:HEADER_SIZE]), sys.maxsize)
            whole = HEADER_SIZE + length
            if size < whole:
                raise TruncatedFrameError(0, whole - size, whole)
            if size > whole:
                raise FrameError(
                    0, f"{size - whole} bytes follow the {whole}-byte frame", "trailing_bytes"
                )
            try:
                decoded = _arrow.unpack(data, _kvt.get_local_offset(), True)
            except ValueError as e:
                raise FrameError.of_codec(0, e) from e
    return Table._from_decoded(*decoded)
