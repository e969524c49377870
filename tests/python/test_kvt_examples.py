"""The examples, run as real processes over loopback: sockets, ZeroMQ, Redis Streams."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

SUBSCRIBER_OUTPUT = """\
AAPL  3 rows  2024-03-01T09:30:00.000000 .. 2024-03-01T09:30:02.000000  last 100.75  volume 600
MSFT  3 rows  2024-03-01T09:31:00.000000 .. 2024-03-01T09:31:02.000000  last 110.75  volume 1200
NVDA  3 rows  2024-03-01T09:32:00.000000 .. 2024-03-01T09:32:02.000000  last 120.75  volume 1800
AAPL  3 rows  2024-03-01T09:33:00.000000 .. 2024-03-01T09:33:02.000000  last 130.75  volume 2400
received 4 frames
"""


def run_example(name, *args):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


def subscriber_lines(*indexes):
    lines = SUBSCRIBER_OUTPUT.splitlines()
    return [lines[i] for i in indexes]


@pytest.mark.parametrize("mode", [[], ["--asyncio"]])
@pytest.mark.parametrize(
    ("publisher", "first_line", "subscriber", "symbols", "want"),
    [
        ("publisher.py", "listening on 127.0.0.1:", "subscriber.py", [], SUBSCRIBER_OUTPUT),
        (
            "zmq_publisher.py",
            "publishing on tcp://127.0.0.1:",
            "zmq_subscriber.py",
            ["AAPL", "NVDA"],
            "\n".join([*subscriber_lines(0, 2, 3), "received 3 frames\n"]),
        ),
    ],
)
def test_publisher_to_subscriber(mode, publisher, first_line, subscriber, symbols, want):
    process = subprocess.Popen(
        [sys.executable, str(EXAMPLES / publisher), "0", "4"], stdout=subprocess.PIPE, text=True
    )
    try:
        first = process.stdout.readline()
        assert first.startswith(first_line)
        port = first.rstrip().rsplit(":", 1)[1]
        assert run_example(subscriber, port, *symbols, *mode) == want
        rest, _ = process.communicate(timeout=60)
        assert (process.returncode, rest) == (0, "sent 4 frames\n")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_redis_producer_and_consumer_group(tmp_path):
    from brokers import RedisServer

    server = RedisServer(tmp_path)
    try:
        port = str(server.port)
        ids = run_example("redis_producer.py", port, "quotes", "4").split()
        assert len(ids) == 4
        out = run_example("redis_consumer.py", port, "quotes", "desk", "one")
        assert out.splitlines() == [
            *(f"{i} {line}" for i, line in zip(ids, subscriber_lines(0, 1, 2, 3))),
            "handled 4 frames",
        ]
        # Acknowledged: the group has nothing more for any consumer.
        again = run_example("redis_consumer.py", port, "quotes", "desk", "two", "--idle-ms", "0")
        assert again == "handled 0 frames\n"
    finally:
        server.stop()
