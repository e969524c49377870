"""Frames as bytes: the header, its checks and the errors a frame can raise. The leaf of the
package: everything else builds on it."""

from __future__ import annotations

import _kvt

HEADER_SIZE = 8
DEFAULT_MAX_FRAME_BYTES = 1 << 30


class FrameError(ValueError):
    """A frame in a stream is not a table frame or is damaged.

    `kind` says what failed: "header" (not a table frame header), "too_large", "trailing_bytes"
    (bytes after the frame), or what the frame codec found: "buffer_too_small", "invalid_frame"
    (the body does not decode) or "checksum_mismatch" (checked before anything is decoded).
    """

    def __init__(self, offset: int, reason: str, kind: str = "invalid_frame") -> None:
        super().__init__(f"frame at offset {offset}: {reason}")
        self.offset = offset
        self.reason = reason
        self.kind = kind

    @classmethod
    def of_codec(cls, offset: int, e: ValueError) -> FrameError:
        """The error of a frame the codec refused (kvt._arrow.unpack's ValueError)."""
        return cls(offset, str(e), getattr(e, "kind", "invalid_frame"))


class FrameTooLargeError(FrameError):
    """A header declares a frame larger than the reader accepts; nothing was read past it."""

    def __init__(self, offset: int, size: int, limit: int) -> None:
        super().__init__(offset, f"{size} bytes exceed the limit of {limit} bytes", "too_large")
        self.size = size
        self.limit = limit


class TruncatedFrameError(EOFError):
    """The stream ended inside a frame.

    `missing` is the count of bytes the frame still needed; when the header itself was cut,
    `frame_size` is None and `missing` counts the header bytes that did not arrive.
    """

    def __init__(self, offset: int, missing: int, frame_size: int | None) -> None:
        if frame_size is None:
            what = f"the {HEADER_SIZE}-byte header of the frame"
        else:
            what = f"the {frame_size}-byte frame"
        super().__init__(f"stream ends {missing} bytes short of {what} at offset {offset}")
        self.offset = offset
        self.missing = missing
        self.frame_size = frame_size


def check_header(offset: int, header: bytes, max_frame_bytes: int) -> int:
    """The count of bytes that follow the header, checked against the frame size limit."""
    try:
        length = _kvt.check_table_frame(header)
    except ValueError as e:
        raise FrameError(offset, f"not a table frame header ({header.hex(' ')})", "header") from e
    if HEADER_SIZE + length > max_frame_bytes:
        raise FrameTooLargeError(offset, HEADER_SIZE + length, max_frame_bytes)
    return length


def check_whole(frame: bytes) -> None:
    if not isinstance(frame, bytes):
        raise TypeError(f"a frame is bytes, not {type(frame).__qualname__!r}")
    try:
        length = _kvt.check_table_frame(frame)
    except ValueError as e:
        raise ValueError(f"not a table frame: {e}") from e
    if len(frame) != HEADER_SIZE + length:
        raise ValueError(
            f"not one whole table frame: its header declares {HEADER_SIZE + length} bytes,"
            f" {len(frame)} were given"
        )
