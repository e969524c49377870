"""Table frames over byte streams: files, pipes, sockets, and asyncio streams.

A stream is a plain concatenation of whole frames. Each frame starts with an 8-byte header whose
last four bytes give the count of bytes that follow it, so a reader takes 8 bytes, checks them,
takes exactly that many more, and parses those. Offsets in errors count from where reading began.

A reader never drops what it took from a stream. Bytes read for a frame that could not be handed
out yet (the stream would block, timed out, was interrupted or ended early, the header was
refused, or an asyncio read was cancelled) stay attached to the stream object, and the next
read_frames or read_frames_async on that same object starts with them.
"""

from __future__ import annotations

import asyncio
import errno
import io
import weakref
from collections.abc import AsyncIterator, Buffer, Callable, Iterator
from typing import Protocol

import _kvt

from . import _arrow
from ._frame import (
    DEFAULT_MAX_FRAME_BYTES,
    HEADER_SIZE,
    FrameError,
    TruncatedFrameError,
    check_header,
    check_whole,
)
from ._table import Table

# Content reads start at this size and then grow with the bytes received, so a header that
# declares a huge length costs at most about twice what the stream actually delivers.
_FIRST_READ = 1 << 20


class Readable(Protocol):
    """A binary reader: read(n) returns up to n bytes, b"" only at the end, and None (non-blocking
    streams) when no bytes are ready."""

    def read(self, size: int, /) -> bytes | None: ...


class Writable(Protocol):
    """A binary writer: write(data) returns the count of bytes taken (raw files may take fewer)."""

    def write(self, data: Buffer, /) -> int | None: ...


def write_frame(f: Writable, frame: bytes) -> None:
    """Writes one whole frame (as pack returns it); ValueError when `frame` is not exactly one
    frame, so that a stream never carries a piece that would misalign its readers.

    Short writes are retried. A write that returns None took everything, except on a raw
    non-blocking stream (an io.RawIOBase such as FileIO or SocketIO), where it means the stream
    would block: then BlockingIOError is raised, with `characters_written` counting the bytes of
    the frame that did go out (as it also does when the stream itself raises BlockingIOError);
    the rest, frame[characters_written:], is the caller's to send, as calling write_frame again
    would send the whole frame again. A stream that takes nothing twice in a row, or returns a
    count it cannot have taken, raises OSError instead of being retried without end.
    """
    check_whole(frame)
    view = memoryview(frame)
    raw = isinstance(f, io.RawIOBase)
    stalled = False
    while view:
        done = len(frame) - len(view)
        try:
            written = f.write(view)
        except BlockingIOError as e:
            e.characters_written = done + _characters_written(e)
            raise
        if written is None:
            if not raw:
                return
            raise BlockingIOError(
                errno.EAGAIN,
                f"the stream would block after {done} of the frame's {len(frame)} bytes",
                done,
            )
        if not 0 <= written <= len(view):
            raise OSError(f"write() of {len(view)} bytes returned {written!r}")
        if written == 0 and stalled:
            raise OSError(
                f"the stream took no bytes twice in a row, after {done} of the frame's"
                f" {len(frame)} bytes"
            )
        stalled = written == 0
        view = view[written:]


async def write_frame_async(writer: asyncio.StreamWriter, frame: bytes) -> None:
    """Writes one whole frame and waits until the transport has room again."""
    check_whole(frame)
    writer.write(frame)
    await writer.drain()


def read_frames(f: Readable, max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES) -> Iterator[Table]:
    """Yields the table of every frame until the stream ends cleanly at a frame boundary.

    Raises TruncatedFrameError when the stream ends inside a frame, FrameTooLargeError when a
    header declares a frame of more than `max_frame_bytes` bytes (header included), and
    FrameError for a foreign header or a damaged frame.

    Non-blocking streams work: when `f.read` has no bytes ready (returns None or raises
    BlockingIOError), BlockingIOError propagates and the bytes of the frame read so far are kept
    with `f`, so calling read_frames(f) again once it is readable carries on exactly where this
    one stopped. The same holds for any other exception the stream raises (timeouts, signals) and
    for TruncatedFrameError, so a file that is still being written can be read again later. A
    resumed read counts offsets from the start of the frame it resumes.
    """
    for offset, content in frame_contents(f, max_frame_bytes):
        yield parse_content(offset, content)


async def read_frames_async(
    reader: asyncio.StreamReader, max_frame_bytes: int = DEFAULT_MAX_FRAME_BYTES
) -> AsyncIterator[Table]:
    """The asyncio twin of read_frames, with the same errors.

    Cancelling a read (asyncio.wait_for timing out, a task being cancelled) loses nothing: the
    bytes of a frame taken from `reader` so far are kept with it, and the next read_frames_async
    on the same reader resumes with them. The cancelled iterator itself is finished.
    """
    offset = 0
    while True:
        content = await _next_content_async(reader, offset, max_frame_bytes)
        if content is None:
            return
        yield parse_content(offset, content)
        offset += HEADER_SIZE + len(content)


def frame_contents(f: Readable, max_frame_bytes: int) -> Iterator[tuple[int, bytes]]:
    """Yields (offset, bytes after the header) for every frame, unparsed.

    The stream stays aligned on frame boundaries between items, so a caller may parse each
    item itself and carry on past one that fails to parse.
    """
    offset = 0
    while True:
        content = _next_content(f, offset, max_frame_bytes)
        if content is None:
            return
        yield offset, content
        offset += HEADER_SIZE + len(content)


def parse_content(offset: int, content: bytes) -> Table:
    try:
        decoded = _arrow.unpack(content, _kvt.get_local_offset(), False)
    except ValueError as e:
        raise FrameError.of_codec(offset, e) from e
    return Table._from_decoded(*decoded)


def _characters_written(e: BlockingIOError) -> int:
    try:
        return e.characters_written
    except AttributeError:  # unset unless the raiser gave it
        return 0


# Bytes taken from a stream that no frame has been handed out for yet, by id of the stream. An
# entry holds the stream weakly and goes with it; a stream that cannot be weakly referenced is
# held until it is read again. Entries exist only between an interrupted read and the next one.
_held: dict[int, tuple[Callable[[], object], bytearray]] = {}


def _resume(stream: object) -> bytearray:
    held = _held.pop(id(stream), None)
    if held is None or held[0]() is not stream:
        return bytearray()
    return held[1]


def _keep(stream: object, buf: bytearray) -> None:
    if not buf:
        return
    key = id(stream)
    ref: Callable[[], object]
    try:
        ref = weakref.ref(stream, lambda _: _held.pop(key, None))
    except TypeError:
        ref = lambda: stream  # noqa: E731
    _held[key] = (ref, buf)


def _next_content(f: Readable, offset: int, max_frame_bytes: int) -> bytes | None:
    """The bytes after the header of the next frame, or None at a clean end of the stream.

    Whatever was read but not returned, all of it when anything raises, stays with the stream.
    The buffer grows only with the bytes that arrive (bytearray growth is geometric), and no
    read asks for more than max(_FIRST_READ, bytes held), so neither many tiny reads nor a header
    that declares a huge length costs more than a small multiple of what the stream delivered.
    """
    buf = _resume(f)
    try:
        if not _fill(f, buf, HEADER_SIZE):
            if not buf:
                return None
            raise TruncatedFrameError(offset, HEADER_SIZE - len(buf), None)
        length = check_header(offset, bytes(buf[:HEADER_SIZE]), max_frame_bytes)
        size = HEADER_SIZE + length
        if len(buf) == HEADER_SIZE and length:
            # The usual case: one read brings the whole content, which is handed on uncopied.
            chunk = _read(f, min(length, _FIRST_READ))
            if type(chunk) is bytes and len(chunk) == length:
                buf.clear()
                return chunk
            buf += chunk
            if not chunk:
                raise TruncatedFrameError(offset, length, size)
        if not _fill(f, buf, size):
            raise TruncatedFrameError(offset, size - len(buf), size)
        return _take(buf, size)
    finally:
        _keep(f, buf)


async def _next_content_async(
    reader: asyncio.StreamReader, offset: int, max_frame_bytes: int
) -> bytes | None:
    """_next_content for asyncio. readexactly takes nothing from the reader until it can take
    all it was asked for, so a cancelled wait leaves the reader as it was; what this function
    took before the wait (the header) stays with the reader."""
    buf = _resume(reader)
    try:
        if len(buf) < HEADER_SIZE:
            try:
                buf += await reader.readexactly(HEADER_SIZE - len(buf))
            except asyncio.IncompleteReadError as e:
                buf += e.partial
                if not buf:
                    return None
                raise TruncatedFrameError(offset, HEADER_SIZE - len(buf), None) from None
        length = check_header(offset, bytes(buf[:HEADER_SIZE]), max_frame_bytes)
        size = HEADER_SIZE + length
        if len(buf) < size:
            try:
                rest = await reader.readexactly(size - len(buf))
            except asyncio.IncompleteReadError as e:
                buf += e.partial
                raise TruncatedFrameError(offset, size - len(buf), size) from None
            if len(buf) == HEADER_SIZE:
                buf.clear()
                return rest
            buf += rest
        return _take(buf, size)
    finally:
        _keep(reader, buf)


def _take(buf: bytearray, size: int) -> bytes:
    """Removes the frame of `size` bytes from the front of buf and returns its content."""
    with memoryview(buf) as view:
        content = bytes(view[HEADER_SIZE:size])
    del buf[:size]
    return content


def _read(f: Readable, n: int) -> bytes:
    chunk = f.read(n)
    if chunk is None:
        raise BlockingIOError(
            errno.EAGAIN, "the stream has no bytes ready; read again when it is readable"
        )
    return chunk


def _fill(f: Readable, buf: bytearray, n: int) -> bool:
    """Reads into buf until it holds n bytes; False when the stream ends first."""
    while len(buf) < n:
        chunk = _read(f, min(n - len(buf), max(_FIRST_READ, len(buf))))
        if not chunk:
            return False
        buf += chunk
    return True
