"""Smoke test of an installed kvt: pack a small table, parse it back, compare every value.

Run as `python -I tools/wheel_smoke.py` from a directory outside the source tree (make
wheel-check, make sdist-check): -I keeps the script's directory, the working directory and
PYTHONPATH off sys.path, and the script also checks that kvt and _kvt come from the environment's
site-packages. Exits non-zero on any difference.
"""

import io
import pathlib
import sysconfig
import zlib

import _kvt
import kvt
import numpy as np


def main() -> None:
    site = {pathlib.Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
    for module in (_kvt, kvt):
        path = pathlib.Path(str(module.__file__)).resolve()
        assert any(path.is_relative_to(s) for s in site), f"{module.__name__} from {path}"

    _kvt.set_local_zone(0)
    columns = {
        "ts": np.array(["2024-03-01T09:30:00", "2024-03-01T09:30:01.5"], dtype="datetime64[us]"),
        "price": np.array([187.15, -np.inf]),
        "qty": np.array([1, -(2**62)], dtype=np.int64),
        "buy": np.array([True, False]),
        "venue": ["XNAS", "Zürich"],
    }
    frame = kvt.pack("AAPL", columns)
    # The checksum is zlib's CRC-32 of the body, whichever backend the build used.
    assert int.from_bytes(frame[-4:], "little") == zlib.crc32(frame[8:-4])

    tables = list(kvt.read_frames(io.BytesIO(frame + frame)))
    assert len(tables) == 2
    _, obj, parsed = _kvt.parse_table_frame(frame[8:])
    for table in tables:
        assert table.obj == obj == "AAPL"
        assert [name for name, _ in table.columns] == [name for name, _ in parsed] == list(columns)
        for (name, got), (_, direct) in zip(table.columns, parsed):
            want = columns[name]
            assert list(got) == list(direct) == list(want), (name, got, direct, want)
    print(
        f"kvt {kvt.__version__}: {len(frame)}-byte frame packed and parsed back by {_kvt.__file__}"
    )


if __name__ == "__main__":
    main()
