"""Subscribes to some symbols of zmq_publisher.py and prints one line per frame.

    python examples/zmq_subscriber.py PORT SYMBOL... [--asyncio]

Stops at the publisher's "end" frame. Timestamps are shown in UTC.
"""

from __future__ import annotations

import asyncio
import sys

import kvt
import kvt.zmq
import zmq
import zmq.asyncio
from subscriber import describe


def subscribe(port: int, symbols: list[str]) -> int:
    frames = 0
    with zmq.Context() as ctx, ctx.socket(zmq.SUB) as sub:
        sub.rcvtimeo = 30_000
        sub.connect(f"tcp://127.0.0.1:{port}")
        for symbol in [*symbols, "end"]:  # "end" last: the publisher waits for it
            sub.subscribe(symbol)
        while True:
            topic, table = kvt.zmq.recv_with_topic(sub)
            if topic == b"end":
                return frames
            print(describe(table), flush=True)
            frames += 1


async def subscribe_async(port: int, symbols: list[str]) -> int:
    frames = 0
    ctx = zmq.asyncio.Context()
    sub = ctx.socket(zmq.SUB)
    try:
        sub.connect(f"tcp://127.0.0.1:{port}")
        for symbol in [*symbols, "end"]:  # "end" last: the publisher waits for it
            sub.subscribe(symbol)
        while True:
            topic, table = await asyncio.wait_for(kvt.zmq.recv_with_topic_async(sub), 30)
            if topic == b"end":
                return frames
            print(describe(table), flush=True)
            frames += 1
    finally:
        sub.close(linger=0)
        ctx.term()


def main(argv: list[str]) -> int:
    port = int(argv[1])
    symbols = [a for a in argv[2:] if not a.startswith("--")]
    kvt.set_local_zone(0)
    if "--asyncio" in argv[2:]:
        frames = asyncio.run(subscribe_async(port, symbols))
    else:
        frames = subscribe(port, symbols)
    print(f"received {frames} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
