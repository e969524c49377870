"""The publisher and subscriber examples, run as real processes over a loopback socket."""

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


@pytest.mark.parametrize("mode", [[], ["--asyncio"]])
def test_publisher_to_subscriber(mode):
    publisher = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "publisher.py"), "0", "4"],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        first = publisher.stdout.readline()
        assert first.startswith("listening on 127.0.0.1:")
        port = first.rstrip().rsplit(":", 1)[1]
        subscriber = subprocess.run(
            [sys.executable, str(EXAMPLES / "subscriber.py"), port, *mode],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert (subscriber.returncode, subscriber.stderr) == (0, "")
        assert subscriber.stdout == SUBSCRIBER_OUTPUT
        rest, _ = publisher.communicate(timeout=60)
        assert (publisher.returncode, rest) == (0, "sent 4 frames\n")
    finally:
        if publisher.poll() is None:
            publisher.kill()
            publisher.wait()
