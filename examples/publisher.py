"""Publishes a few table frames to one subscriber over a loopback TCP socket.

    python examples/publisher.py PORT [FRAMES]

PORT 0 picks a free port. The first line printed is "listening on 127.0.0.1:<port>"; the publisher
then waits for one subscriber, sends FRAMES frames (default 3) and closes the connection, which is
how the subscriber learns that the stream is over.
"""

from __future__ import annotations

import socket
import sys

import kvt
import numpy as np

SYMBOLS = ["AAPL", "MSFT", "NVDA"]
START = np.datetime64("2024-03-01T09:30:00", "us")


def quote_frame(i: int) -> bytes:
    """Frame i: three one-second quotes for one symbol, made from i alone."""
    symbol = SYMBOLS[i % len(SYMBOLS)]
    seconds = np.arange(3) + 60 * i
    return kvt.pack(
        symbol,
        [
            ("ts", START + seconds.astype("m8[s]")),
            ("price", 100.0 + 10 * i + np.array([0.25, 0.5, 0.75])),
            ("volume", (np.arange(1, 4) * 100 * (i + 1)).astype(np.int64)),
            ("venue", ["XNAS", "XNYS", "XNAS"]),
        ],
        {"price": 2},
    )


def main(argv: list[str]) -> int:
    port = int(argv[1]) if len(argv) > 1 else 0
    count = int(argv[2]) if len(argv) > 2 else 3
    with socket.create_server(("127.0.0.1", port)) as server:
        print(f"listening on 127.0.0.1:{server.getsockname()[1]}", flush=True)
        server.settimeout(30)
        connection, _ = server.accept()
        with connection, connection.makefile("wb") as stream:
            for i in range(count):
                kvt.write_frame(stream, quote_frame(i))
            stream.flush()
    print(f"sent {count} frames", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
