"""kvt stream API: frames over files, pipes, sockets and asyncio streams; truncation and limits."""

import asyncio
import contextlib
import errno
import functools
import gc
import io
import os
import socket
import threading
import tracemalloc
import weakref

import _kvt
import kvt
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

FRAME_A = kvt.pack("a", [("x", np.array([1, 2], dtype=np.int64))])
FRAME_B = kvt.pack("bc", [("s", ["hi", "there"]), ("f", np.array([0.5]))])
STREAM = FRAME_A + FRAME_B
A, B = len(FRAME_A), len(FRAME_B)


def tables_equal(got, want):
    assert (got.table, got.obj) == (want.table, want.obj)
    assert [name for name, _ in got.columns] == [name for name, _ in want.columns]
    for (_, x), (_, y) in zip(got.columns, want.columns, strict=True):
        assert x.dtype == y.dtype
        np.testing.assert_array_equal(x, y)


def parse(frame):
    return kvt.Table(*_kvt.parse_table_frame(frame[8:]))


WANT = [parse(FRAME_A), parse(FRAME_B)]


class Trickle(io.RawIOBase):
    """A raw stream that hands out at most `step` bytes per read and records what was asked.

    A greedy one hands out `step` bytes whatever was asked, as some message sources do."""

    def __init__(self, data, step=1, kind=bytes, greedy=False):
        self.data, self.pos, self.step, self.requests = data, 0, step, []
        self.kind, self.greedy = kind, greedy

    def readable(self):
        return True

    def read(self, size=-1):
        self.requests.append(size)
        n = self.step if self.greedy else min(size, self.step)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return self.kind(chunk)


class ShortWriter(io.RawIOBase):
    """A raw stream that takes at most 3 bytes per write."""

    def __init__(self):
        self.out = bytearray()

    def writable(self):
        return True

    def write(self, data):
        taken = bytes(data[:3])
        self.out += taken
        return len(taken)


SOURCES = {
    "bytesio": io.BytesIO,
    "one-byte": Trickle,
    "greedy": functools.partial(Trickle, step=7, greedy=True),
}


def read_into(got, reader, data, **kwargs):
    """Appends each table as it is read, so that `got` keeps what came before an error."""
    if reader == "asyncio":

        async def run():
            stream = asyncio.StreamReader()
            stream.feed_data(data)
            stream.feed_eof()
            async for t in kvt.read_frames_async(stream, **kwargs):
                got.append(t)

        asyncio.run(run())
        return got
    for t in kvt.read_frames(SOURCES[reader](data), **kwargs):
        got.append(t)
    return got


def read_all(reader, data, **kwargs):
    return read_into([], reader, data, **kwargs)


READERS = {name: functools.partial(read_all, name) for name in [*SOURCES, "asyncio"]}


@pytest.mark.parametrize("reader", READERS)
def test_stream_round_trip(reader):
    got = READERS[reader](STREAM * 3)
    assert len(got) == 6
    for g, w in zip(got, WANT * 3, strict=True):
        tables_equal(g, w)
    assert READERS[reader](b"") == []


def test_real_file_round_trip(tmp_path):
    path = tmp_path / "frames.kvt"
    with path.open("wb") as f:
        for frame in (FRAME_A, FRAME_B, FRAME_A):
            kvt.write_frame(f, frame)
    assert path.read_bytes() == FRAME_A + FRAME_B + FRAME_A
    with path.open("rb") as f:
        got = list(kvt.read_frames(f))
    for g, w in zip(got, [WANT[0], WANT[1], WANT[0]], strict=True):
        tables_equal(g, w)


def test_pipe_with_large_frame_and_short_reads():
    # 2 MB of floats cannot pass a pipe in one piece: the unbuffered reader sees short reads.
    big = np.arange(250_000, dtype=np.float64)
    frames = [FRAME_A, kvt.pack("big", [("v", big)]), FRAME_B]
    r, w = os.pipe()

    def publish():
        with os.fdopen(w, "wb") as out:
            for frame in frames:
                kvt.write_frame(out, frame)

    thread = threading.Thread(target=publish)
    thread.start()
    with os.fdopen(r, "rb", buffering=0) as stream:
        got = list(kvt.read_frames(stream))
    thread.join()
    assert [t.obj for t in got] == ["a", "big", "bc"]
    np.testing.assert_array_equal(got[1].column("v"), big)


def test_loopback_socket():
    with socket.create_server(("127.0.0.1", 0)) as server:
        port = server.getsockname()[1]

        def publish():
            conn, _ = server.accept()
            with conn, conn.makefile("wb") as out:
                for frame in (FRAME_A, FRAME_B):
                    kvt.write_frame(out, frame)

        thread = threading.Thread(target=publish)
        thread.start()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            with sock.makefile("rb") as stream:
                got = list(kvt.read_frames(stream))
        thread.join()
    for g, w in zip(got, WANT, strict=True):
        tables_equal(g, w)


def test_loopback_asyncio():
    async def run():
        async def publish(reader, writer):
            for frame in (FRAME_A, FRAME_B, FRAME_A):
                await kvt.write_frame_async(writer, frame)
            writer.close()
            await writer.wait_closed()

        server = await asyncio.start_server(publish, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        async with server:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            got = [t async for t in kvt.read_frames_async(reader)]
            writer.close()
            await writer.wait_closed()
        return got

    got = asyncio.run(run())
    for g, w in zip(got, [WANT[0], WANT[1], WANT[0]], strict=True):
        tables_equal(g, w)


def expected_cut(p):
    """What reading STREAM[:p] gives: (whole frames read, (offset, missing, frame_size) or None)."""
    if p in (0, A, A + B):
        return [0, A, A + B].index(p), None
    start, size = (0, A) if p < A else (A, B)
    done = 0 if p < A else 1
    have = p - start
    if have < 8:
        return done, (start, 8 - have, None)
    return done, (start, size - have, size)


@pytest.mark.parametrize("reader", READERS)
def test_truncation_at_every_offset(reader):
    for p in range(A + B + 1):
        done, error = expected_cut(p)
        data = STREAM[:p]
        if error is None:
            assert len(READERS[reader](data)) == done, p
            continue
        got = []
        with pytest.raises(kvt.TruncatedFrameError) as e:
            read_into(got, reader, data)
        assert len(got) == done, p
        assert (e.value.offset, e.value.missing, e.value.frame_size) == error, p
        assert isinstance(e.value, EOFError)


@pytest.mark.parametrize(
    "cut, message",
    [
        (3, "stream ends 5 bytes short of the 8-byte header of the frame at offset 0"),
        (A + 8, f"stream ends {B - 8} bytes short of the {B}-byte frame at offset {A}"),
        (A + B - 1, f"stream ends 1 bytes short of the {B}-byte frame at offset {A}"),
    ],
)
def test_truncation_messages(cut, message):
    with pytest.raises(kvt.TruncatedFrameError) as e:
        list(kvt.read_frames(io.BytesIO(STREAM[:cut])))
    assert str(e.value) == message


def header(length, magic=b"\x7c\x4d\x01\x00"):
    return magic + length.to_bytes(4, "little")


@pytest.mark.parametrize("reader", READERS)
def test_oversized_header_raises_before_reading_on(reader):
    data = FRAME_A + header(0xFFFFFFFF) + b"\0" * 64
    with pytest.raises(kvt.FrameTooLargeError) as e:
        READERS[reader](data)
    assert type(e.value) is kvt.FrameTooLargeError and isinstance(e.value, ValueError)
    assert (
        str(e.value)
        == f"frame at offset {A}: 4294967303 bytes exceed the limit of 1073741824 bytes"
    )
    assert (e.value.offset, e.value.size, e.value.limit) == (A, 4294967303, 1 << 30)


def test_oversized_header_reads_nothing_past_it():
    source = Trickle(header(1 << 30) + b"\0" * 64, step=8)
    with pytest.raises(kvt.FrameTooLargeError):
        list(kvt.read_frames(source))
    assert source.requests == [8]


@pytest.mark.parametrize("reader", READERS)
def test_frame_size_limit_is_inclusive(reader):
    assert len(READERS[reader](FRAME_A, max_frame_bytes=A)) == 1
    with pytest.raises(kvt.FrameTooLargeError) as e:
        READERS[reader](FRAME_A, max_frame_bytes=A - 1)
    assert str(e.value) == f"frame at offset 0: {A} bytes exceed the limit of {A - 1} bytes"


def test_huge_declared_length_is_read_in_bounded_pieces():
    # A header that declares 512 MiB on a stream that then ends: no read asks for all of it.
    source = Trickle(header(1 << 29) + b"\0" * 10, step=1 << 30)
    with pytest.raises(kvt.TruncatedFrameError) as e:
        list(kvt.read_frames(source))
    assert (e.value.offset, e.value.missing, e.value.frame_size) == (
        0,
        (1 << 29) - 10,
        8 + (1 << 29),
    )
    assert max(source.requests) == 1 << 20


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    "data, offset, reason",
    [
        (
            FRAME_A + header(4, magic=b"\x7c\x4d\x02\x00"),
            A,
            "not a table frame header (7c 4d 02 00 04 00 00 00)",
        ),
        (FRAME_A[:-1] + bytes([FRAME_A[-1] ^ 1]) + FRAME_B, 0, "Table frame CRC32 check failed"),
        (FRAME_B + header(3) + b"abc", B, "Invalid table frame: Content and footer too short"),
        (
            header(4) + b"\0\0\0\0",
            0,
            "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }",
        ),
    ],
)
def test_foreign_or_damaged_frames(reader, data, offset, reason):
    with pytest.raises(kvt.FrameError) as e:
        READERS[reader](data)
    assert type(e.value) is kvt.FrameError and isinstance(e.value, ValueError)
    assert (e.value.offset, e.value.reason) == (offset, reason)
    assert str(e.value) == f"frame at offset {offset}: {reason}"
    assert type(e.value.__cause__) is ValueError


def test_write_frame_loops_over_short_writes():
    out = ShortWriter()
    kvt.write_frame(out, FRAME_B)
    assert bytes(out.out) == FRAME_B


@pytest.mark.parametrize(
    "frame, error, message",
    [
        (
            FRAME_A[:-1],
            ValueError,
            f"not one whole table frame: its header declares {A} bytes, {A - 1} were given",
        ),
        (
            FRAME_A + b"\0",
            ValueError,
            f"not one whole table frame: its header declares {A} bytes, {A + 1} were given",
        ),
        (FRAME_A[8:], ValueError, "not a table frame: buffer is not a table frame"),
        (b"\x7c\x4d", ValueError, "not a table frame: buffer is too short"),
        (bytearray(FRAME_A), TypeError, "a frame is bytes, not 'bytearray'"),
    ],
)
def test_write_frame_refuses_anything_but_one_frame(frame, error, message):
    out = io.BytesIO()
    with pytest.raises(error) as e:
        kvt.write_frame(out, frame)
    assert type(e.value) is error and str(e.value) == message
    with pytest.raises(error):
        asyncio.run(kvt.write_frame_async(None, frame))
    assert out.getvalue() == b""


# Interrupted reads: whatever a reader took from a stream stays with it for the next read.


def cuts(data):
    """Random splits of `data` into pieces."""

    def split(points):
        ends = [0, *sorted(points), len(data)]
        return [data[a:b] for a, b in zip(ends, ends[1:])]

    return st.lists(st.integers(1, len(data) - 1), unique=True).map(split)


async def next_table(stream, **kwargs):
    async with contextlib.aclosing(kvt.read_frames_async(stream, **kwargs)) as frames:
        return await anext(frames)


async def read_with_cancellations(pieces):
    """Feeds the pieces one by one; after each, a fresh reader takes the frames it can, and the
    read left waiting for the rest is cancelled, as asyncio.wait_for does when it times out."""
    stream = asyncio.StreamReader()
    got = []
    for piece in pieces:
        stream.feed_data(piece)
        while True:
            task = asyncio.ensure_future(next_table(stream))
            await asyncio.sleep(0)  # the task runs until it has a table or waits for bytes
            if task.done():
                got.append(task.result())
                continue
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            break
    stream.feed_eof()
    return got + [t async for t in kvt.read_frames_async(stream)]


@settings(max_examples=60, deadline=None)
@given(cuts(STREAM * 2))
def test_cancelled_async_reads_lose_nothing(pieces):
    got = asyncio.run(read_with_cancellations(pieces))
    for g, w in zip(got, WANT * 2, strict=True):
        tables_equal(g, w)


def test_cancelled_async_read_at_every_byte():
    got = asyncio.run(read_with_cancellations([bytes([b]) for b in STREAM * 2]))
    for g, w in zip(got, WANT * 2, strict=True):
        tables_equal(g, w)


class SlottedPipe:
    """A non-blocking duck-typed reader that cannot be weakly referenced or hashed."""

    __slots__ = ("data", "ended")
    __eq__ = None

    def __init__(self):
        self.data, self.ended = bytearray(), False

    def send(self, piece):
        self.data += piece

    def close(self):
        self.ended = True

    def read(self, size):
        if not self.data:
            return b"" if self.ended else None
        chunk = bytes(self.data[:size])
        del self.data[:size]
        return chunk


@contextlib.contextmanager
def nonblocking_stream(kind):
    """(reader, send, close_sending_side) over a real non-blocking socket or pipe."""
    if kind == "slotted":
        pipe = SlottedPipe()
        yield pipe, pipe.send, pipe.close
        return
    if kind == "pipe":
        r, w = os.pipe()
        os.set_blocking(r, False)
        with os.fdopen(r, "rb", buffering=0) as f:
            try:
                yield f, functools.partial(os.write, w), functools.partial(os.close, w)
            finally:
                with contextlib.suppress(OSError):
                    os.close(w)
        return
    a, b = socket.socketpair()
    with a, b:
        b.setblocking(False)
        with b.makefile("rb", buffering=0 if kind == "raw socket" else -1) as f:
            yield f, a.sendall, functools.partial(a.shutdown, socket.SHUT_WR)


@pytest.mark.parametrize("kind", ["socket", "raw socket", "pipe", "slotted"])
@given(pieces=cuts(STREAM * 2))
@settings(max_examples=25, deadline=None)
def test_nonblocking_reads_resume_where_they_stopped(kind, pieces):
    with nonblocking_stream(kind) as (f, send, close):
        got = []
        for piece in pieces:
            send(piece)
            with pytest.raises(BlockingIOError) as e:
                got.extend(kvt.read_frames(f))
            assert (e.value.errno, e.value.strerror) == (
                errno.EAGAIN,
                "the stream has no bytes ready; read again when it is readable",
            )
        close()
        got.extend(kvt.read_frames(f))
    for g, w in zip(got, WANT * 2, strict=True):
        tables_equal(g, w)


@pytest.mark.parametrize("cut", [1, 7, 8, 9, A - 1, A + 3, A + B - 1])
def test_truncated_file_reads_on_once_it_grows(tmp_path, cut):
    path = tmp_path / "growing.kvt"
    path.write_bytes(STREAM[:cut])
    got = []
    with path.open("rb") as f:
        with pytest.raises(kvt.TruncatedFrameError) as e:
            got.extend(kvt.read_frames(f))
        assert e.value.offset == (0 if cut < A else A)
        # The bytes of the cut frame are kept, not skipped: the same frame is short again.
        with pytest.raises(kvt.TruncatedFrameError) as again:
            got.extend(kvt.read_frames(f))
        assert (again.value.offset, again.value.missing) == (0, e.value.missing)
        with path.open("ab") as out:
            out.write(STREAM[cut:])
        got.extend(kvt.read_frames(f))
    for g, w in zip(got, WANT, strict=True):
        tables_equal(g, w)


def test_kept_bytes_do_not_keep_their_stream_alive():
    source = io.BytesIO(STREAM[: A + 3])
    with pytest.raises(kvt.TruncatedFrameError):
        list(kvt.read_frames(source))
    held = weakref.ref(source)
    del source
    gc.collect()
    assert held() is None


@pytest.mark.parametrize("reader", READERS)
def test_too_large_frame_can_be_read_again_with_a_higher_limit(reader):
    async def run_async():
        stream = asyncio.StreamReader()
        stream.feed_data(STREAM)
        stream.feed_eof()
        with pytest.raises(kvt.FrameTooLargeError):
            await next_table(stream, max_frame_bytes=A - 1)
        return [t async for t in kvt.read_frames_async(stream)]

    if reader == "asyncio":
        got = asyncio.run(run_async())
    else:
        source = SOURCES[reader](STREAM)
        with pytest.raises(kvt.FrameTooLargeError):
            next(kvt.read_frames(source, max_frame_bytes=A - 1))
        got = list(kvt.read_frames(source))
    for g, w in zip(got, WANT, strict=True):
        tables_equal(g, w)


@pytest.mark.parametrize(
    "step, kind", [(1, bytearray), (2, bytes), (3, bytearray), (1 << 30, bytes)]
)
def test_reader_memory_is_bounded_by_the_frame(step, kind):
    # 64 KiB of floats, arriving in pieces of `step` bytes: the reader's peak stays a small
    # multiple of the frame, whatever the number of pieces.
    frame = kvt.pack("big", [("v", np.arange(8192, dtype=np.float64))])
    data, pos = frame * 2, 0

    class Pieces(io.RawIOBase):  # a Trickle that records nothing, so that it costs nothing
        def read(self, size):
            nonlocal pos
            chunk = kind(data[pos : pos + min(size, step)])
            pos += len(chunk)
            return chunk

    source = Pieces()
    tracemalloc.start()
    try:
        got = list(kvt.read_frames(source))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(got) == 2
    np.testing.assert_array_equal(got[1].column("v"), np.arange(8192, dtype=np.float64))
    assert peak < 4 * len(frame), peak / len(frame)


# Writers: io's rules for what write() returns.


class Sink:
    """A duck-typed writer whose write() takes up to results[i] bytes on call i (the last result
    repeats) and returns the count; None takes everything, "full" takes 2 bytes and raises
    BlockingIOError as BufferedWriter does, and `lie` replaces the count returned."""

    def __init__(self, *results, lie=None):
        self.results, self.calls, self.out, self.lie = list(results), 0, bytearray(), lie

    def write(self, data):
        result = self.results[min(self.calls, len(self.results) - 1)]
        self.calls += 1
        if result == "full":
            self.out += data[:2]
            raise BlockingIOError(errno.EAGAIN, "full", 2)
        if result is None:
            return self.took_all(data)
        taken = min(result, len(data))
        self.out += data[:taken]
        return taken if self.lie is None else self.lie

    def took_all(self, data):
        self.out += data


class RawSink(Sink, io.RawIOBase):
    """A raw non-blocking writer: None means it would block and took nothing."""

    def writable(self):
        return True

    def took_all(self, data):
        return None


@pytest.mark.parametrize(
    "sink, calls",
    [
        (Sink(None), 1),  # a buffered or duck-typed writer that returns None took everything
        (Sink(3, None), 2),
        (Sink(0, 5, 0, 5, 0, 1000), 6),  # single empty writes are retried
        (RawSink(3, 0, 3, 1000), 4),
    ],
)
def test_write_frame_follows_write_results(sink, calls):
    kvt.write_frame(sink, FRAME_B)
    assert bytes(sink.out) == FRAME_B and sink.calls == calls


STALLED = "the stream took no bytes twice in a row, after {} of the frame's " + f"{B} bytes"
BLOCKED = "the stream would block after {} of the frame's " + f"{B} bytes"


@pytest.mark.parametrize(
    "sink, taken, error, message",
    [
        (RawSink(None), 0, BlockingIOError, BLOCKED.format(0)),
        (RawSink(5, 0, None), 5, BlockingIOError, BLOCKED.format(5)),
        (Sink("full"), 2, BlockingIOError, "full"),
        (Sink(5, 0, "full"), 7, BlockingIOError, "full"),
        (Sink(0), 0, OSError, STALLED.format(0)),
        (RawSink(4, 0, 0), 4, OSError, STALLED.format(4)),
        (Sink(1, lie=-1), 1, OSError, f"write() of {B} bytes returned -1"),
        (Sink(1000, lie=B + 1), B, OSError, f"write() of {B} bytes returned {B + 1}"),
    ],
)
def test_write_frame_stops_on_a_stream_that_takes_nothing(sink, taken, error, message):
    with pytest.raises(OSError) as e:
        kvt.write_frame(sink, FRAME_B)
    assert type(e.value) is error
    if error is BlockingIOError:
        assert (e.value.errno, e.value.strerror) == (errno.EAGAIN, message)
        assert e.value.characters_written == taken
    else:
        assert str(e.value) == message
    assert bytes(sink.out) == FRAME_B[:taken]


def test_write_frame_to_a_full_nonblocking_socket_counts_what_went_out():
    frame = kvt.pack("big", [("v", np.arange(500_000, dtype=np.float64))])
    a, b = socket.socketpair()
    with a, b, a.makefile("wb", buffering=0) as out:
        a.setblocking(False)
        b.setblocking(False)
        with pytest.raises(BlockingIOError) as e:
            kvt.write_frame(out, frame)
        taken = e.value.characters_written
        assert 0 < taken < len(frame)
        received = bytearray()
        with contextlib.suppress(BlockingIOError):
            while chunk := b.recv(1 << 20):
                received += chunk
        assert bytes(received) == frame[:taken]


def _with_body(frame, body):
    """The frame with its body replaced and the checksum made good again (zlib's CRC-32 is the
    frame's)."""
    import zlib

    whole = body + zlib.crc32(body).to_bytes(4, "little")
    return frame[:4] + len(whole).to_bytes(4, "little") + whole


_GOOD = kvt.pack("o", {"x": np.arange(3, dtype=np.int64)})


@pytest.mark.parametrize(
    "data, kind",
    [
        (_GOOD[:-1] + bytes([_GOOD[-1] ^ 1]), "checksum_mismatch"),
        (_with_body(_GOOD, _GOOD[8:-4][:-2]), "invalid_frame"),  # checksum good, body cut short
        (_GOOD + b"x", "trailing_bytes"),
        (b"XXXXXXXX" + _GOOD[8:], "header"),
    ],
    ids=["checksum", "body", "trailing", "header"],
)
@pytest.mark.parametrize("how", ["unpack", "read_frames"])
def test_frame_errors_say_what_failed(data, kind, how):
    if how == "read_frames" and kind == "trailing_bytes":
        data += b"XXXXXXX"  # in a stream, the bytes after a frame are the next header
        kind = "header"
    with pytest.raises(kvt.FrameError) as caught:
        if how == "unpack":
            kvt.unpack(data)
        else:
            list(kvt.read_frames(io.BytesIO(data)))
    assert caught.value.kind == kind


def test_frame_too_large_says_so():
    with pytest.raises(kvt.FrameTooLargeError) as caught:
        list(kvt.read_frames(io.BytesIO(_GOOD), max_frame_bytes=16))
    assert caught.value.kind == "too_large"
