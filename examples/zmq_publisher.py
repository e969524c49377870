"""Publishes quote frames over ZeroMQ PUB/SUB, one topic per symbol.

    python examples/zmq_publisher.py PORT [FRAMES]

PORT 0 picks a free port. The first line printed is "publishing on tcp://127.0.0.1:<port>". The
publisher (an XPUB socket, so it sees subscriptions arrive) waits for a subscriber, sends
FRAMES frames (default 4) with the symbol as topic, then an empty frame under the topic "end".
PUB/SUB is at most once: a subscriber that falls behind its high-water mark loses frames, whole.
"""

from __future__ import annotations

import sys

import kvt
import kvt.zmq
import zmq
from publisher import SYMBOLS, quote_frame


def main(argv: list[str]) -> int:
    port = int(argv[1]) if len(argv) > 1 else 0
    count = int(argv[2]) if len(argv) > 2 else 4
    with zmq.Context() as ctx, ctx.socket(zmq.XPUB) as pub:
        pub.linger = 5_000  # let queued frames go out before the socket closes
        if port:
            pub.bind(f"tcp://127.0.0.1:{port}")
        else:
            port = pub.bind_to_random_port("tcp://127.0.0.1")
        print(f"publishing on tcp://127.0.0.1:{port}", flush=True)
        pub.rcvtimeo = 30_000
        # A subscriber subscribes to "end" last; subscriptions of one connection arrive in order,
        # so once "end" is seen, every topic it asked for is in place.
        while pub.recv() != b"\x01end":
            pass
        for i in range(count):
            kvt.zmq.send(pub, quote_frame(i), topic=SYMBOLS[i % len(SYMBOLS)])
        kvt.zmq.send(pub, kvt.pack("end", []), topic="end")
    print(f"sent {count} frames", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
