"""Packs a fixed corpus of tables and prints the SHA-256 of each frame, one line per table.

    python tools/frame_digests.py

Run with the installed kvt of each build (`make wheel-aarch64-test` runs it with the x86_64 wheel
here and with the aarch64 wheel under emulation, and compares the lists): frames are the same
bytes on every machine, at every kernel level. The data is made by integer arithmetic alone, so
it is the same with any NumPy; the corpus covers every column kind, at lengths from empty to past
the large-buffer threshold, so the vector and portable kernels each write their share. Every
frame is parsed back and compared, too.
"""

import hashlib
import io
import sys

import _kvt
import kvt
import numpy as np


def words(n: int, salt: int) -> np.ndarray:
    """n pseudo-random uint64 words (a multiplicative hash of the index)."""
    i = np.arange(n, dtype=np.uint64) + np.uint64(salt)
    with np.errstate(over="ignore"):
        x = i * np.uint64(0x9E3779B97F4A7C15)
        x ^= x >> np.uint64(29)
        x *= np.uint64(0xBF58476D1CE4E5B9)
        x ^= x >> np.uint64(32)
    return x


def table(n: int) -> dict[str, object]:
    w = words(n, n)
    small = (w % np.uint64(1000)).astype(np.int64) - 500
    return {
        "i64": w.view(np.int64) >> (w % np.uint64(60)).astype(np.int64),
        "small": small,
        "i32": (w >> np.uint64(40)).astype(np.int32),
        "u32": (w >> np.uint64(33)).astype(np.uint32),
        "f64": small.astype(np.float64) / 8 + np.where(w % np.uint64(97) == 0, np.nan, 0.0),
        "f32": (small.astype(np.float32) / 4).astype(np.float32),
        "bool": (w & np.uint64(1)).astype(bool),
        "ts": (
            np.int64(1_700_000_000_000_000) + np.cumsum(w % np.uint64(5_000_000)).astype(np.int64)
        ).astype("datetime64[us]"),
        "sym": [("XNAS", "Zürich", "", "a" * (k % 40))[k % 4] for k in (w % np.uint64(200))],
        "price": [f"{int(k) - 50_000}.{int(k) % 100:02d}" for k in (w % np.uint64(100_000))],
    }


def main() -> None:
    _kvt.set_local_zone(0)
    for n in (0, 1, 7, 64, 1000, 70_000, 200_000):
        columns = table(n)
        frame = kvt.pack(f"t{n}", columns, decimal_fields={"price": 2})
        (parsed,) = kvt.read_frames(io.BytesIO(frame))
        assert [name for name, _ in parsed.columns] == list(columns), n
        for (name, got), want in zip(parsed.columns, columns.values()):
            if name == "price":
                continue  # decimals come back as numbers; the digest covers them
            if isinstance(want, list):
                assert list(got) == want, (n, name)
            else:
                assert np.array_equal(got, want, equal_nan=want.dtype.kind == "f"), (n, name)
        print(f"t{n} {len(frame)} {hashlib.sha256(frame).hexdigest()}")
    print(f"# kvt {kvt.__version__}, kernel level {kvt.kernel_level()}", file=sys.stderr)


if __name__ == "__main__":
    main()
