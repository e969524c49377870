"""Table frames over byte streams: files, pipes, sockets, and asyncio streams.

A stream is a plain concatenation of whole frames. Each frame starts with an 8-byte header whose
last four bytes give the count of bytes that follow it, so a reader takes 8 bytes, checks them,
takes exactly that many more, and parses those. Offsets in errors count from where reading began.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Buffer, Iterator
from typing import Protocol

import _kvt

from ._table import Table

HEADER_SIZE = 8
DEFAULT_MAX_FRAME_BYTES = 1 << 30
# Content reads start at this size and then grow with the bytes received, so a header that
# declares a huge length costs at most about twice what the stream actually delivers.
_FIRST_READ = 1 << 20


class Readable(Protocol):
    """A blocking binary reader: read(n) returns up to n bytes, and b"" only at the end."""

    def read(self, size: int, /) -> bytes | None: ...


class Writable(Protocol):
    """A binary writer: write(data) returns the count of bytes taken (raw files may take fewer)."""

    def write(self, data: Buffer, /) -> int | None: ...


class FrameError(ValueError):
    """A frame in a stream is not a table frame or is damaged."""

    def __init__(self, offset: int, reason: str) -> None:
        super().__init__(f"frame at offset {offset}: {reason}")
        self.offset = offset
        self.reason = reason


class FrameTooLargeError(FrameError):
    """A header declares a frame larger than the reader accepts; nothing was read past it."""

    def __init__(self, offset: int, size: int, limit: int) -> None:
        super().__init__(offset, f"{size} bytes exceed the limit of {limit} bytes")
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


def write_frame(f: Writable, frame: bytes) -> None:
    """Writes one whole frame (as pack returns it); ValueError when `frame` is not exactly one
    frame, so that a stream never carries a piece that would misalign its readers."""
    _check_whole(frame)
    view = memoryview(frame)
    while view:
        written = f.write(view)
        if written is None:
            raise BlockingIOError("the stream took no bytes; write frames to blocking streams")
        view = view[written:]


async def write_frame_async(writer: asyncio.StreamWriter, frame: bytes) -> None:
    """Writes one whole frame and waits until the transport has room again."""
    _check_whole(frame)
    writer.write(frame)
    await writer.drain()


def read_frames(f: Readable, max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES) -> Iterator[Table]:
    """Yields the table of every frame until the stream ends cleanly at a frame boundary.

    Raises TruncatedFrameError when the stream ends inside a frame, FrameTooLargeError when a
    header declares a frame of more than `max_frame_bytes` bytes (header included), and
    FrameError for a foreign header or a damaged frame.
    """
    for offset, content in frame_contents(f, max_frame_bytes):
        yield parse_content(offset, content)


async def read_frames_async(
    reader: asyncio.StreamReader, max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES
) -> AsyncIterator[Table]:
    """The asyncio twin of read_frames, with the same errors."""
    offset = 0
    while True:
        try:
            header = await reader.readexactly(HEADER_SIZE)
        except asyncio.IncompleteReadError as e:
            if not e.partial:
                return
            raise TruncatedFrameError(offset, HEADER_SIZE - len(e.partial), None) from None
        length = check_header(offset, header, max_frame_bytes)
        try:
            content = await reader.readexactly(length)
        except asyncio.IncompleteReadError as e:
            raise TruncatedFrameError(
                offset, length - len(e.partial), HEADER_SIZE + length
            ) from None
        yield parse_content(offset, content)
        offset += HEADER_SIZE + length


def frame_contents(f: Readable, max_frame_bytes: int) -> Iterator[tuple[int, bytes]]:
    """Yields (offset, bytes after the header) for every frame, unparsed.

    The stream stays aligned on frame boundaries between items, so a caller may parse each
    item itself and carry on past one that fails to parse.
    """
    offset = 0
    while True:
        header = _read_up_to(f, HEADER_SIZE)
        if not header:
            return
        if len(header) < HEADER_SIZE:
            raise TruncatedFrameError(offset, HEADER_SIZE - len(header), None)
        length = check_header(offset, header, max_frame_bytes)
        content = _read_up_to(f, length)
        if len(content) < length:
            raise TruncatedFrameError(offset, length - len(content), HEADER_SIZE + length)
        yield offset, content
        offset += HEADER_SIZE + length


def check_header(offset: int, header: bytes, max_frame_bytes: int) -> int:
    """The count of bytes that follow the header, checked against the frame size limit."""
    try:
        length = _kvt.check_table_frame(header)
    except ValueError as e:
        raise FrameError(offset, f"not a table frame header ({header.hex(' ')})") from e
    if HEADER_SIZE + length > max_frame_bytes:
        raise FrameTooLargeError(offset, HEADER_SIZE + length, max_frame_bytes)
    return length


def parse_content(offset: int, content: bytes) -> Table:
    try:
        return Table(*_kvt.parse_table_frame(content))
    except ValueError as e:
        raise FrameError(offset, str(e)) from e


def _check_whole(frame: bytes) -> None:
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


def _read_up_to(f: Readable, n: int) -> bytes:
    """Exactly n bytes, or fewer only where the stream ends; short reads are retried."""
    chunks: list[bytes] = []
    received = 0
    while received < n:
        chunk = f.read(min(n - received, max(_FIRST_READ, received)))
        if chunk is None:
            raise BlockingIOError(
                "the stream has no bytes ready; read frames from blocking streams"
            )
        if not chunk:
            break
        chunks.append(chunk)
        received += len(chunk)
    if len(chunks) == 1 and type(chunks[0]) is bytes:
        return chunks[0]
    return b"".join(chunks)
