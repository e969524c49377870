"""kvt stream API: frames over files, pipes, sockets and asyncio streams; truncation and limits."""

import asyncio
import functools
import io
import os
import socket
import threading

import numpy as np
import pytest

import _kvt
import kvt

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
    """A raw stream that hands out at most `step` bytes per read and records what was asked."""

    def __init__(self, data, step=1):
        self.data, self.pos, self.step, self.requests = data, 0, step, []

    def readable(self):
        return True

    def read(self, size=-1):
        self.requests.append(size)
        n = min(size, self.step)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk


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
    source = io.BytesIO(data) if reader == "bytesio" else Trickle(data)
    for t in kvt.read_frames(source, **kwargs):
        got.append(t)
    return got


def read_all(reader, data, **kwargs):
    return read_into([], reader, data, **kwargs)


READERS = {name: functools.partial(read_all, name) for name in ("bytesio", "one-byte", "asyncio")}


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
