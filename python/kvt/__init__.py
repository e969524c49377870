"""kvt: table frames over files, pipes and sockets, on top of the extension module _kvt.

frame = kvt.pack("AAPL", {"price": np.array([187.15]), "venue": ["XNAS"]})
kvt.write_frame(f, frame)
for table in kvt.read_frames(f):
    table.obj, table.column("price")
"""

from importlib import metadata as _metadata

from _kvt import get_local_offset, set_local_zone

from ._stream import (
    DEFAULT_MAX_FRAME_BYTES,
    HEADER_SIZE,
    FrameError,
    FrameTooLargeError,
    TruncatedFrameError,
    read_frames,
    read_frames_async,
    write_frame,
    write_frame_async,
)
from ._table import Table, pack

# The version is written once, in pyproject.toml, and read back from the installed distribution;
# a source tree on PYTHONPATH (make sanitize) has no distribution metadata.
try:
    __version__ = _metadata.version("kvt")
except _metadata.PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = [
    "DEFAULT_MAX_FRAME_BYTES",
    "HEADER_SIZE",
    "FrameError",
    "FrameTooLargeError",
    "Table",
    "TruncatedFrameError",
    "get_local_offset",
    "pack",
    "read_frames",
    "read_frames_async",
    "set_local_zone",
    "write_frame",
    "write_frame_async",
]
