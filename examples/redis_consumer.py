"""One consumer of a Redis Streams consumer group: prints each frame, then acknowledges it.

    python examples/redis_consumer.py PORT STREAM GROUP NAME [--idle-ms N]

First takes up its own unacknowledged entries (a restart under the same NAME) and entries that
other consumers left pending for more than N ms (default 60000: a consumer that crashed), then
reads new entries until none arrives for a second. Delivery is at least once: an entry is
acknowledged only after it was handled. A damaged entry is reported and left pending.
"""

from __future__ import annotations

import sys
from collections.abc import Callable

import kvt
import kvt.redis
import redis
from subscriber import describe


def handle(consumer: kvt.redis.Consumer, entries: list[tuple[str, kvt.Table]]) -> int:
    for entry_id, table in entries:
        print(entry_id, describe(table), flush=True)
        consumer.ack(entry_id)
    return len(entries)


def take(
    consumer: kvt.redis.Consumer, read: Callable[[], list[tuple[str, kvt.Table]]]
) -> tuple[int, int]:
    """(entries handled, entries seen, damaged ones included)."""
    try:
        entries = read()
    except kvt.redis.DamagedEntriesError as e:
        for entry_id, reason in e.damaged:
            print(f"damaged entry {entry_id} left pending: {reason}", file=sys.stderr)
        return handle(consumer, e.entries), len(e.entries) + len(e.damaged)
    return handle(consumer, entries), len(entries)


def main(argv: list[str]) -> int:
    port, stream, group, name = int(argv[1]), argv[2], argv[3], argv[4]
    idle_ms = int(argv[argv.index("--idle-ms") + 1]) if "--idle-ms" in argv else 60_000
    kvt.set_local_zone(0)
    consumer = kvt.redis.Consumer(redis.Redis(port=port), stream, group, name)
    frames = take(consumer, consumer.read_pending)[0]
    frames += take(consumer, lambda: consumer.claim_stale(idle_ms))[0]
    while True:
        handled, seen = take(consumer, lambda: consumer.read(count=100, block_ms=1000))
        frames += handled
        if not seen:
            break
    print(f"handled {frames} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
