"""Type stubs of the extension module _kvt (pack, check and parse table frames)."""

from typing import Any, SupportsIndex, TypeAlias

import numpy.typing as npt

# A column as pack_table_frame takes it: a one-dimensional array of bool, int32, int64, float32,
# float64 or datetime64 (s, ms, us, ns), or a list of str (text, or decimals when named in
# decimal_fields).
_Column: TypeAlias = npt.NDArray[Any] | list[str]

__all__: list[str]

def pack_table_frame(
    obj: str,
    columns: list[tuple[str, _Column]],
    decimal_fields: dict[str, SupportsIndex] | None = None,
    /,
) -> bytes:
    """Packs the columns, in order, into one whole table frame (header, body, checksum)."""

def check_table_frame(buffer: bytes, /) -> int:
    """The count of bytes after the 8-byte header; ValueError for a short or foreign header."""

def parse_table_frame(buffer: bytes, /) -> tuple[str, str, list[tuple[str, npt.NDArray[Any]]]]:
    """(table name, object name, columns) from exactly the bytes that follow a frame's header."""

def set_local_zone(tz: SupportsIndex) -> None:
    """Sets the process-wide zone, whole hours east of UTC from -25 to 25."""

def get_local_offset() -> int:
    """The process-wide zone offset in microseconds."""
