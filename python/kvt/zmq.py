"""Table frames over ZeroMQ sockets (pyzmq: `pip install kvt[zmq]`).

A frame travels as the last part of a ZeroMQ message: `[frame]`, or `[topic, frame]` when a
topic is given. SUB sockets filter on the topic part (a prefix match, as ZeroMQ does); a ROUTER
socket puts the peer's routing id before everything else, and `send(router, frame,
topic=routing_id)` addresses a reply. Receiving never copies the frame: libzmq's buffer is
unpacked in place (kvt.unpack) and released when the call returns.

What ZeroMQ guarantees, and so what these helpers give: whole messages or none (a frame never
arrives cut or mixed with another), in order per connection, at most once. A PUB socket drops
messages for a subscriber whose queue has reached its high-water mark, and every socket type
loses what is queued when a process dies. For delivery that survives a crash use kvt.redis.

    push.bind("tcp://127.0.0.1:5555"); kvt.zmq.send(push, kvt.pack("AAPL", {"px": prices}))
    table = kvt.zmq.recv(pull)
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

try:
    import zmq
except ImportError as e:  # an optional dependency
    raise ImportError("kvt.zmq needs pyzmq: pip install 'kvt[zmq]'") from e

from ._frame import check_whole
from ._table import Table, unpack

__all__ = [
    "EnvelopeError",
    "recv",
    "recv_async",
    "recv_envelope",
    "recv_envelope_async",
    "recv_with_topic",
    "recv_with_topic_async",
    "send",
    "send_async",
]


class EnvelopeError(ValueError):
    """A message does not have the parts a receiving helper expects (no topic before the frame)."""


def _parts(frame: bytes, topic: bytes | str | None) -> list[bytes]:
    check_whole(frame)
    if topic is None:
        return [frame]
    if isinstance(topic, str):
        topic = topic.encode()
    elif not isinstance(topic, bytes):
        raise TypeError(f"a topic is bytes or str, not {type(topic).__qualname__!r}")
    return [topic, frame]


def _split(message: Sequence[zmq.Frame]) -> tuple[list[bytes], Table]:
    """The parts before the frame (topic, routing ids) and the table of the last part."""
    *envelope, last = message
    return [part.bytes for part in envelope], unpack(last.buffer)


def _topic(message: Sequence[zmq.Frame]) -> tuple[bytes, Table]:
    if len(message) < 2:
        raise EnvelopeError("a message of one part has no topic before its frame")
    envelope, table = _split(message)
    return envelope[-1], table


def send(socket: zmq.Socket[Any], frame: bytes, topic: bytes | str | None = None) -> None:
    """Sends one whole frame as `[frame]` or `[topic, frame]` (a str topic goes as UTF-8).

    Large frames are handed to libzmq without a copy (pyzmq's copy threshold decides)."""
    socket.send_multipart(_parts(frame, topic), copy=False)


def recv(socket: zmq.Socket[Any]) -> Table:
    """The table of the next message's last part; parts before it (topic, routing id) are
    dropped. Raises kvt.FrameError (or TruncatedFrameError) for a part that is not one whole
    frame; the message is consumed either way."""
    return _split(socket.recv_multipart(copy=False))[1]


def recv_with_topic(socket: zmq.Socket[Any]) -> tuple[bytes, Table]:
    """(topic, table) of the next message: the part just before the frame is the topic (for a
    ROUTER socket receiving `[frame]`, the peer's routing id). EnvelopeError for one part."""
    return _topic(socket.recv_multipart(copy=False))


def recv_envelope(socket: zmq.Socket[Any]) -> tuple[list[bytes], Table]:
    """(every part before the frame, table): a ROUTER's routing id, then the topic if any."""
    return _split(socket.recv_multipart(copy=False))


async def send_async(socket: Any, frame: bytes, topic: bytes | str | None = None) -> None:
    """send() for a zmq.asyncio socket."""
    await socket.send_multipart(_parts(frame, topic), copy=False)


async def _recv_message(socket: Any) -> Sequence[zmq.Frame]:
    message: Sequence[zmq.Frame] = await socket.recv_multipart(copy=False)
    return message


async def recv_async(socket: Any) -> Table:
    """recv() for a zmq.asyncio socket."""
    return _split(await _recv_message(socket))[1]


async def recv_with_topic_async(socket: Any) -> tuple[bytes, Table]:
    """recv_with_topic() for a zmq.asyncio socket."""
    return _topic(await _recv_message(socket))


async def recv_envelope_async(socket: Any) -> tuple[list[bytes], Table]:
    """recv_envelope() for a zmq.asyncio socket."""
    return _split(await _recv_message(socket))
