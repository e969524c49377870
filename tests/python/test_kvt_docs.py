"""docs/format.md: the worked frame's hex dump and byte table match what the module writes."""

import pathlib
import re
import zlib

import _kvt
import kvt
import numpy as np

DOC = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "format.md").read_text()

FRAME = kvt.pack(
    "AAPL",
    [
        ("ts", np.array(["2024-03-01T09:30:00", "2024-03-01T09:30:01"], dtype="datetime64[s]")),
        ("qty", np.array([100, -3], dtype=np.int64)),
        ("px", np.array([187.25])),
        ("venue", ["XNAS"]),
    ],
)


def test_hex_dump_is_the_real_frame():
    dump = DOC.split("gives these 89 bytes:\n\n```\n", 1)[1].split("```", 1)[0]
    data = b""
    for line in dump.splitlines():
        offset, hexbytes = line.split("  ", 1)
        assert int(offset, 16) == len(data)
        data += bytes.fromhex(hexbytes)
    assert data == FRAME


def test_byte_table_covers_the_frame_in_order():
    rows = re.findall(r"^\| (\d+) \| `([0-9a-f ]+)` \| (.+) \|$", DOC, re.MULTILINE)
    data = b""
    for offset, hexbytes, _ in rows:
        assert int(offset) == len(data), offset
        data += bytes.fromhex(hexbytes)
    assert data == FRAME
    assert zlib.crc32(FRAME[8:-4]) == 0xB4EA3ECF == int.from_bytes(FRAME[-4:], "little")
    assert _kvt.check_table_frame(FRAME) == 81
    table, obj, columns = _kvt.parse_table_frame(FRAME[8:])
    assert (table, obj, [name for name, _ in columns]) == ("", "AAPL", ["ts", "qty", "px", "venue"])
