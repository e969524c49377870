"""Reads table frames from a publisher over a loopback TCP socket and prints one line per frame.

    python examples/subscriber.py PORT [--asyncio]

Timestamps are shown in UTC. The stream ends when the publisher closes the connection; a
connection that drops inside a frame ends with kvt.TruncatedFrameError.
"""

from __future__ import annotations

import asyncio
import socket
import sys

import kvt


def describe(table: kvt.Table) -> str:
    ts = table.column("ts")
    price = table.column("price")
    volume = table.column("volume")
    return (
        f"{table.obj:<5} {len(ts)} rows  {ts[0]} .. {ts[-1]}"
        f"  last {price[-1]:.2f}  volume {int(volume.sum())}"
    )


def subscribe(port: int) -> int:
    frames = 0
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        with sock.makefile("rb") as stream:
            for table in kvt.read_frames(stream):
                print(describe(table), flush=True)
                frames += 1
    return frames


async def subscribe_async(port: int) -> int:
    frames = 0
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        async for table in kvt.read_frames_async(reader):
            print(describe(table), flush=True)
            frames += 1
    finally:
        writer.close()
        await writer.wait_closed()
    return frames


def main(argv: list[str]) -> int:
    port = int(argv[1])
    kvt.set_local_zone(0)
    if "--asyncio" in argv[2:]:
        frames = asyncio.run(subscribe_async(port))
    else:
        frames = subscribe(port)
    print(f"received {frames} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
