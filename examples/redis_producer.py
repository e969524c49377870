"""Appends quote frames to a Redis stream.

    python examples/redis_producer.py PORT STREAM [FRAMES]

Connects to redis-server on 127.0.0.1:PORT and appends FRAMES frames (default 4), retrying an
append whose connection failed (so a frame may be stored twice: consumers deduplicate or are
idempotent). Prints the id of each entry.
"""

from __future__ import annotations

import sys
import time

import kvt.redis
import redis
from publisher import quote_frame


def append_with_retry(client: redis.Redis, stream: str, frame: bytes) -> str:
    for attempt in range(50):
        try:
            return kvt.redis.append(client, stream, frame, maxlen=1_000_000)
        except (redis.ConnectionError, redis.TimeoutError):
            time.sleep(0.1 * min(attempt + 1, 10))
    raise RuntimeError("redis-server did not take the frame")


def main(argv: list[str]) -> int:
    port, stream = int(argv[1]), argv[2]
    count = int(argv[3]) if len(argv) > 3 else 4
    client = redis.Redis(port=port)
    for i in range(count):
        print(append_with_retry(client, stream, quote_frame(i)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
