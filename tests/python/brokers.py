"""Shared pieces of the broker tests: numbered frames and a real redis-server on loopback."""

from __future__ import annotations

import os
import pathlib
import shutil
import socket
import subprocess
import time

import kvt
import numpy as np
import pytest

SYMBOLS = ["AAPL", "MSFT", "NVDA", "AMZN"]


def numbered_frame(i: int, rows: int = 2) -> bytes:
    """Frame i: a few rows that all tell i, so a received frame can be checked on its own."""
    return kvt.pack(
        SYMBOLS[i % len(SYMBOLS)],
        [
            ("seq", np.full(rows, i, dtype=np.int64)),
            ("px", np.arange(rows) + i / 8),
            ("venue", [f"V{i % 5}"] * rows),
        ],
    )


def number_of(table: kvt.Table) -> int:
    """The i of a table unpacked from numbered_frame(i, rows), after checking all of it."""
    seq = table.column("seq").tolist()
    i, rows = seq[0], len(seq)
    assert table.obj == SYMBOLS[i % len(SYMBOLS)]
    assert seq == [i] * rows
    assert table.column("px").tolist() == [r + i / 8 for r in range(rows)]
    assert table.column("venue").tolist() == [f"V{i % 5}"] * rows
    return i


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """A redis-server of Debian's package, on a free loopback port, data in its own folder."""

    def __init__(self, folder: pathlib.Path, *args: str) -> None:
        exe = shutil.which("redis-server")
        if exe is None:
            pytest.fail("redis-server is not installed (make test installs Debian's package)")
        self.exe = exe
        self.folder = folder
        self.port = free_port()
        self.args = args
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(
            [
                self.exe,
                "--port",
                str(self.port),
                "--bind",
                "127.0.0.1",
                "--dir",
                str(self.folder),
                "--save",
                "",
                *self.args,
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            # The server is not ours to sanitize (make sanitize preloads its runtime).
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(64).startswith(b"+PONG"):
                        return
            except OSError:
                pass
            assert self.process.poll() is None, "redis-server exited at start"
            time.sleep(0.02)
        pytest.fail("redis-server did not answer PING")

    def kill(self) -> None:
        assert self.process is not None
        self.process.kill()
        self.process.wait()

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.kill()
