"""Median pack and parse times of one 1M-row table, for the kvt installed in this interpreter.

    KVT_KERNELS=avx2 taskset -c 1 python tools/time_builds.py LABEL

A quick side-by-side of two builds of the wheel (say the zig one in .venv and `make wheel-gcc`'s
in another venv) at each kernel level; not a benchmark of record (`make bench` is).
"""

import statistics
import sys
import time

import _kvt
import kvt
import numpy as np


def median_ms(f, runs=21):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e3


def main() -> None:
    _kvt.set_local_zone(0)
    n = 1_000_000
    i = np.arange(n, dtype=np.uint64)
    with np.errstate(over="ignore"):
        w = (i * np.uint64(0x9E3779B97F4A7C15)) ^ (i >> np.uint64(3))
    steps = np.cumsum((w % np.uint64(5000)).astype(np.int64))
    columns = [
        ("ts", (np.int64(1_700_000_000_000_000) + steps).astype("datetime64[us]")),
        ("px", np.round((w % np.uint64(100000)).astype(np.float64) / 100, 2)),
        ("qty", (w % np.uint64(1000)).astype(np.int64)),
        ("id", i.astype(np.int64) + 10**9),
        ("f", (w >> np.uint64(11)).astype(np.float64)),
    ]
    frame = _kvt.pack_table_frame("x", columns)
    body = frame[8:]
    pack = median_ms(lambda: _kvt.pack_table_frame("x", columns))
    parse = median_ms(lambda: _kvt.parse_table_frame(body))
    label = sys.argv[1] if len(sys.argv) > 1 else ""
    print(
        f"{label:>5} {kvt.kernel_level():>7}: pack {pack:7.2f} ms  parse {parse:7.2f} ms"
        f"  ({len(frame) / 1e6:.1f} MB)"
    )


if __name__ == "__main__":
    main()
