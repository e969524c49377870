"""The module's main job on a sample: pack a small market table, write frames to a file, read them back.

Run with `make demo`.
"""

import pathlib
import sys
from typing import Any

import _kvt
import numpy as np
import numpy.typing as npt

OUT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo_frames.kvt")


def sample_table(rows: int, seed: int) -> list[tuple[str, npt.NDArray[Any] | list[str]]]:
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-03-01T09:30:00", "ns")
    ts = (
        start
        + np.arange(rows) * np.timedelta64(1, "s")
        + rng.integers(0, 1_000_000, rows).astype("m8[ns]")
    )
    price = np.round(187.0 + rng.normal(0, 0.25, rows).cumsum(), 4)
    symbols = ["AAPL", "MSFT", "NVDA", "AMZN"]
    return [
        ("ts", ts),
        ("price", price),
        ("price_dec", price.copy()),
        ("volume", rng.integers(1, 5_000, rows).astype(np.int64)),
        ("flags", rng.integers(0, 4, rows).astype(np.int32)),
        ("buy", rng.random(rows) < 0.5),
        ("symbol", [symbols[i] for i in rng.integers(0, len(symbols), rows)]),
    ]


def main() -> None:
    print("module:", _kvt.__file__)
    print("functions:", ", ".join(_kvt.__all__))

    frames = [
        _kvt.pack_table_frame(f"session-{i}", sample_table(5 + i, seed=i), {"price_dec": 4})
        for i in range(3)
    ]
    with OUT.open("wb") as f:
        for frame in frames:
            f.write(frame)
    print(f"wrote {len(frames)} frames, {OUT.stat().st_size} bytes, to {OUT}")

    _kvt.set_local_zone(0)
    print("local zone offset:", _kvt.get_local_offset(), "us (UTC)")
    data = OUT.read_bytes()
    pos = 0
    while pos < len(data):
        n = _kvt.check_table_frame(data[pos : pos + 8])
        table_name, obj, columns = _kvt.parse_table_frame(data[pos + 8 : pos + 8 + n])
        print(f"\nframe at offset {pos}: {8 + n} bytes, object {obj!r}, table {table_name!r}")
        width = max(len(name) for name, _ in columns)
        for name, arr in columns:
            first = ", ".join(str(v) for v in arr[:3])
            print(f"  {name:<{width}}  {str(arr.dtype):<14} {len(arr):>3} rows  {first}, ...")
        pos += 8 + n


if __name__ == "__main__":
    main()
