"""kvt: table frames over files, pipes and sockets, on top of the extension module _kvt.

frame = kvt.pack("AAPL", {"price": np.array([187.15]), "venue": ["XNAS"]})
kvt.write_frame(f, frame)
for table in kvt.read_frames(f):
    table.obj, table.column("price")
"""

import pkgutil
from importlib import metadata as _metadata

try:
    from . import _arrow  # noqa: F401
except ImportError:
    # In a build tree the package's extension module sits in a kvt/ folder of its own.
    __path__ = pkgutil.extend_path(__path__, __name__)

from _kvt import get_local_offset, set_local_zone  # noqa: E402

from ._arrow import kernel_level, kernel_levels  # noqa: E402
from ._frame import (  # noqa: E402
    DEFAULT_MAX_FRAME_BYTES,
    HEADER_SIZE,
    FrameError,
    FrameTooLargeError,
    TruncatedFrameError,
)
from ._interop import ArrowStream, arrow_stream  # noqa: E402
from ._pack import pack  # noqa: E402
from ._stream import (  # noqa: E402
    read_frames,
    read_frames_async,
    write_frame,
    write_frame_async,
)
from ._table import Table, unpack  # noqa: E402

# The version is written once, in pyproject.toml, and read back from the installed distribution;
# a source tree on PYTHONPATH (make sanitize) has no distribution metadata.
try:
    __version__ = _metadata.version("kvt")
except _metadata.PackageNotFoundError:
    __version__ = "0+unknown"

__all__ = [
    "DEFAULT_MAX_FRAME_BYTES",
    "ArrowStream",
    "HEADER_SIZE",
    "FrameError",
    "FrameTooLargeError",
    "Table",
    "TruncatedFrameError",
    "arrow_stream",
    "get_local_offset",
    "kernel_level",
    "kernel_levels",
    "pack",
    "read_frames",
    "read_frames_async",
    "set_local_zone",
    "unpack",
    "write_frame",
    "write_frame_async",
]
