"""Table frames in Redis Streams (redis-py: `pip install kvt[redis]`).

Each frame is one stream entry with a single field, `frame`, holding the frame's bytes. Entries
are read straight from redis-py's reply (kvt.unpack, no copy). The client must return bytes
(`decode_responses=False`, redis-py's default): frames are binary.

What Redis gives, and so what these helpers give:

- `append` returns once the server has taken the entry. With append-only persistence and
  `appendfsync always` an entry whose id was returned survives a server crash; with the
  defaults (`everysec`, or snapshots only) the last second or more can be lost. A producer that
  retries after a connection error may write an entry twice: delivery is at least once.
- `read` (XREAD) is a plain reader: it remembers nothing, the caller passes the last id seen.
- `Consumer` (XREADGROUP) is at least once: an entry stays pending until `ack`; entries a
  crashed consumer never acknowledged are taken over with `claim_stale` and delivered again.
  Handle entries idempotently or deduplicate by id.
- A damaged entry (not one whole frame, or no `frame` field) is never skipped silently: the
  read raises DamagedEntriesError, which carries the good entries of the same reply and the
  ids and errors of the damaged ones. A consumer group leaves the damaged entries pending; ack
  them (or move them elsewhere) deliberately.

    kvt.redis.append(client, "ticks", kvt.pack("AAPL", {"px": prices}), maxlen=100_000)
    consumer = kvt.redis.Consumer(client, "ticks", "risk", "worker-1")
    for entry_id, table in consumer.read(count=100, block_ms=1000):
        ...
        consumer.ack(entry_id)
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Generator, Iterable, Sequence
from typing import Any, cast

try:
    import redis
except ImportError as e:  # an optional dependency
    raise ImportError("kvt.redis needs redis: pip install 'kvt[redis]'") from e

from ._frame import FrameError, TruncatedFrameError, check_whole
from ._table import Table, unpack

__all__ = [
    "FIELD",
    "AsyncConsumer",
    "Consumer",
    "DamagedEntriesError",
    "append",
    "append_async",
    "append_many",
    "append_many_async",
    "read",
    "read_async",
]

FIELD = b"frame"

Entry = tuple[str, Table]


class DamagedEntriesError(ValueError):
    """Entries of one reply that are not table frames.

    `entries` holds the good entries of the reply, in order, as the read would have returned
    them; `damaged` the (id, reason) of each damaged entry.
    """

    def __init__(self, stream: str, entries: list[Entry], damaged: list[tuple[str, str]]) -> None:
        ids = ", ".join(entry_id for entry_id, _ in damaged)
        first = damaged[0][1]
        super().__init__(
            f"stream {stream!r}: {len(damaged)} damaged {'entry' if len(damaged) == 1 else 'entries'}"
            f" ({ids}); first: {first}"
        )
        self.stream = stream
        self.entries = entries
        self.damaged = damaged


def _text(value: bytes | str) -> str:
    return value.decode() if isinstance(value, bytes) else value


def _check_client(client: Any) -> None:
    pool = getattr(client, "connection_pool", None)
    kwargs = getattr(pool, "connection_kwargs", {})
    if kwargs.get("decode_responses"):
        raise ValueError("kvt.redis needs a client with decode_responses=False: frames are bytes")


def _fields(frame: bytes, *, maxlen: int | None) -> dict[str, Any]:
    check_whole(frame)
    if maxlen is not None and maxlen < 1:
        raise ValueError(f"maxlen must be at least 1, not {maxlen}")
    return {"fields": {FIELD: frame}, "maxlen": maxlen, "approximate": True}


# Each operation is a generator of steps: it yields a call to make on the client and is sent the
# reply (or thrown the error). `_run` makes the calls of a redis.Redis client, `_run_async` awaits
# those of a redis.asyncio client, so both kinds share one implementation of every operation.
type Step = Callable[[], Any]
type Operation[T] = Generator[Step, Any, T]


def _advance[T](
    operation: Operation[T], reply: Any, error: BaseException | None
) -> Step | _Done[T]:
    """The operation's next call, given the last one's reply or error, or its result."""
    try:
        return operation.throw(error) if error is not None else operation.send(reply)
    except StopIteration as done:
        return _Done(cast(T, done.value))


class _Done[T]:
    __slots__ = ("value",)

    def __init__(self, value: T) -> None:
        self.value = value


def _run[T](operation: Operation[T]) -> T:
    reply: Any = None
    error: BaseException | None = None
    while not isinstance(step := _advance(operation, reply, error), _Done):
        reply, error = None, None
        try:
            reply = step()
        except redis.RedisError as e:
            error = e
    return step.value


async def _run_async[T](operation: Operation[T]) -> T:
    reply: Any = None
    error: BaseException | None = None
    while not isinstance(step := _advance(operation, reply, error), _Done):
        reply, error = None, None
        try:
            reply = await step()
        except redis.RedisError as e:
            error = e
    return step.value


def _append(client: Any, stream: str, frame: bytes, maxlen: int | None) -> Operation[str]:
    _check_client(client)
    fields = _fields(frame, maxlen=maxlen)
    return _text((yield lambda: client.xadd(stream, **fields)))


def _append_many(
    client: Any, stream: str, frames: Iterable[bytes], maxlen: int | None
) -> Operation[list[str]]:
    _check_client(client)
    pipe = client.pipeline(transaction=False)
    for frame in frames:
        pipe.xadd(stream, **_fields(frame, maxlen=maxlen))
    return [_text(entry_id) for entry_id in (yield pipe.execute)]


def _read(
    client: Any, stream: str, after: str, count: int | None, block_ms: int | None
) -> Operation[list[Entry]]:
    _check_client(client)
    reply = yield lambda: client.xread({stream: after}, count=count, block=block_ms)
    return _stream_reply(stream, reply)


def append(client: Any, stream: str, frame: bytes, *, maxlen: int | None = None) -> str:
    """Adds one whole frame to the stream (XADD) and returns the entry's id. With `maxlen`,
    the stream is trimmed to about that many entries (approximate trimming, `MAXLEN ~`)."""
    return _run(_append(client, stream, frame, maxlen))


def append_many(
    client: Any, stream: str, frames: Iterable[bytes], *, maxlen: int | None = None
) -> list[str]:
    """append() for many frames in one round trip (a transaction-less pipeline); the ids in
    order. A connection error part way leaves an unknown prefix written: retrying the whole batch
    can write entries twice, as with append."""
    return _run(_append_many(client, stream, frames, maxlen))


def read(
    client: Any,
    stream: str,
    *,
    after: str = "0-0",
    count: int | None = None,
    block_ms: int | None = None,
) -> list[Entry]:
    """Entries with ids after `after` (XREAD), oldest first: (id, table). With `block_ms`, waits
    up to that long when there are none (0 waits forever); [] when the time runs out."""
    return _run(_read(client, stream, after, count, block_ms))


async def append_async(client: Any, stream: str, frame: bytes, *, maxlen: int | None = None) -> str:
    """append() for a redis.asyncio client."""
    return await _run_async(_append(client, stream, frame, maxlen))


async def append_many_async(
    client: Any, stream: str, frames: Iterable[bytes], *, maxlen: int | None = None
) -> list[str]:
    """append_many() for a redis.asyncio client."""
    return await _run_async(_append_many(client, stream, frames, maxlen))


async def read_async(
    client: Any,
    stream: str,
    *,
    after: str = "0-0",
    count: int | None = None,
    block_ms: int | None = None,
) -> list[Entry]:
    """read() for a redis.asyncio client."""
    return await _run_async(_read(client, stream, after, count, block_ms))


def _entries(stream: str, raw: Sequence[Any]) -> list[Entry]:
    """The tables of one stream's entries; DamagedEntriesError after all were looked at."""
    entries: list[Entry] = []
    damaged: list[tuple[str, str]] = []
    for raw_id, fields in raw:
        entry_id = _text(raw_id)
        if fields is None:  # deleted while pending (older servers list it so in XAUTOCLAIM)
            continue
        frame = fields.get(FIELD)
        if frame is None:
            damaged.append((entry_id, "the entry has no 'frame' field"))
            continue
        try:
            entries.append((entry_id, unpack(frame)))
        except (FrameError, TruncatedFrameError) as e:
            damaged.append((entry_id, str(e)))
    if damaged:
        raise DamagedEntriesError(stream, entries, damaged)
    return entries


def _stream_reply(stream: str, reply: Any) -> list[Entry]:
    """The entries of XREAD/XREADGROUP replies in either protocol (RESP2 lists, RESP3 maps)."""
    if not reply:
        return []
    if isinstance(reply, dict):
        raw = next(iter(reply.values()))
        # RESP3 wraps one stream's entries in one more list.
        if raw and isinstance(raw[0], list):
            raw = raw[0]
    else:
        raw = reply[0][1]
    return _entries(stream, raw)


class _Group:
    """The operations of one consumer of a consumer group, for either kind of client."""

    def __init__(self, client: Any, stream: str, group: str, name: str, start: str) -> None:
        _check_client(client)
        self.client = client
        self.stream = stream
        self.group = group
        self.name = name
        self.start = start

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(stream={self.stream!r}, group={self.group!r},"
            f" name={self.name!r})"
        )

    def _create_group(self) -> Operation[None]:
        try:
            yield lambda: self.client.xgroup_create(
                self.stream, self.group, id=self.start, mkstream=True
            )
        except redis.ResponseError as e:
            if not str(e).startswith("BUSYGROUP"):
                raise

    def _read(
        self, entry_id: str, count: int | None, block_ms: int | None
    ) -> Operation[list[Entry]]:
        def once() -> Any:
            return self.client.xreadgroup(
                self.group, self.name, {self.stream: entry_id}, count=count, block=block_ms
            )

        try:
            reply = yield once
        except redis.ResponseError as e:
            # The stream or the group went away (deleted, or a server restarted without
            # persistence): make them again and read once more.
            if not str(e).startswith("NOGROUP"):
                raise
            yield from self._create_group()
            reply = yield once
        return _stream_reply(self.stream, reply)

    def _ack(self, ids: tuple[str, ...]) -> Operation[int]:
        if not ids:
            return 0
        return int((yield lambda: self.client.xack(self.stream, self.group, *ids)))

    def _claim_stale(self, min_idle_ms: int, count: int | None) -> Operation[list[Entry]]:
        claimed: list[Entry] = []
        damaged: list[tuple[str, str]] = []
        cursor = "0-0"
        while count is None or len(claimed) + len(damaged) < count:
            page = 100 if count is None else count - len(claimed) - len(damaged)
            reply = yield functools.partial(
                self.client.xautoclaim,
                self.stream,
                self.group,
                self.name,
                min_idle_ms,
                cursor,
                count=page,
            )
            cursor = _text(reply[0])
            try:
                claimed += _entries(self.stream, reply[1])
            except DamagedEntriesError as e:
                claimed += e.entries
                damaged += e.damaged
            if cursor == "0-0":
                break
        if damaged:
            raise DamagedEntriesError(self.stream, claimed, damaged)
        return claimed


class Consumer(_Group):
    """One consumer of a consumer group on one stream (XREADGROUP), on a redis.Redis client.

    The group is created when missing (MKSTREAM; a new group starts at `start`, by default the
    stream's first entry, so nothing appended before the group existed is missed), here and
    again whenever a read finds it gone."""

    def __init__(self, client: Any, stream: str, group: str, name: str, *, start: str = "0"):
        super().__init__(client, stream, group, name, start)
        _run(self._create_group())

    def read(self, count: int | None = None, block_ms: int | None = None) -> list[Entry]:
        """New entries for this consumer (id `>`), which stay pending until acknowledged."""
        return _run(self._read(">", count, block_ms))

    def read_pending(self, count: int | None = None) -> list[Entry]:
        """Entries delivered to this consumer name before and not yet acknowledged (a consumer
        restarting under the same name takes up its own work first)."""
        return _run(self._read("0", count, None))

    def ack(self, *ids: str) -> int:
        """Acknowledges entries (XACK); the count the server acknowledged."""
        return _run(self._ack(ids))

    def claim_stale(self, min_idle_ms: int, count: int | None = None) -> list[Entry]:
        """Takes over entries pending in the group for at least `min_idle_ms` under any consumer
        (XAUTOCLAIM, from the start of the pending list), up to `count` (all when None), and
        returns them; they are now pending for this consumer."""
        return _run(self._claim_stale(min_idle_ms, count))


class AsyncConsumer(_Group):
    """Consumer for a redis.asyncio client: the same calls, awaited. The group is created when
    missing on the first read (or `await consumer.create_group()`)."""

    def __init__(self, client: Any, stream: str, group: str, name: str, *, start: str = "0"):
        super().__init__(client, stream, group, name, start)

    async def create_group(self) -> None:
        """Creates the group (and the stream) unless it exists."""
        await _run_async(self._create_group())

    async def read(self, count: int | None = None, block_ms: int | None = None) -> list[Entry]:
        """Consumer.read()."""
        return await _run_async(self._read(">", count, block_ms))

    async def read_pending(self, count: int | None = None) -> list[Entry]:
        """Consumer.read_pending()."""
        return await _run_async(self._read("0", count, None))

    async def ack(self, *ids: str) -> int:
        """Consumer.ack()."""
        return await _run_async(self._ack(ids))

    async def claim_stale(self, min_idle_ms: int, count: int | None = None) -> list[Entry]:
        """Consumer.claim_stale()."""
        return await _run_async(self._claim_stale(min_idle_ms, count))
