"""Hardware floors: the least work any packer or parser of the same data has to do, measured in
the same process under the same allocator set-up as the contenders.

Tables (market, tiny):

- copy: the columns' bytes (text joined by newlines) copied into a new bytes object (what every
  packer that returns `bytes` pays at least once);
- CRC-32: the checksum over the same bytes, by ISA-L (python-isal) when it is importable, else by
  zlib;
- str: creating the table's Python str objects from their UTF-8 bytes, three ways.

Single columns:

- copy of the raw column bytes: the array's bytes (`nbytes` of them) into a new bytes object; for
  a text column, its UTF-8 bytes (the items' encodings back to back);
- CRC-32 over the same bytes;
- small integers: widen (1-byte int -> the column's type, `astype`), the floor for decoding values
  stored in one byte, and narrow (the column's type -> 1-byte int), the floor for packing them;
- text: str creation, decoding the text once and splitting it into the same str objects.
"""

import numpy as np

try:
    from isal import isal_zlib as _crc_module

    CRC_IMPL = "ISA-L (python-isal isal_zlib.crc32)"
except ImportError:  # pragma: no cover - depends on the environment
    import zlib as _crc_module

    CRC_IMPL = "zlib.crc32 (ISA-L not importable)"

RAW_COPY = "copy of the raw column bytes"
TABLE_COPY = "copy into new bytes"
CRC = "CRC-32"
STR_CREATE = "str create (decode+split)"
WIDEN = "widen"  # prefix of "widen int8 -> int64" and the like
NARROW = "narrow"


def column_bytes(col):
    """The column's payload as one bytes object: array bytes, or text joined by newlines."""
    if isinstance(col, np.ndarray):
        return col.tobytes()
    return "\n".join(col).encode()


def table_bytes(table):
    return b"".join(column_bytes(c) for _, c in table.columns)


def _str_floors(col, all_three):
    blob = "\n".join(col).encode()
    # One C-level pass: decode the text once and split it into the same str objects.
    ops = [(STR_CREATE, lambda: blob.decode().split("\n"))]
    if all_three:
        items = [s.encode() for s in col]
        ops.append(("str create ([b.decode()])", lambda: [b.decode() for b in items]))
        ops.append(
            (
                "str create (np.array of them)",
                lambda: np.array(blob.decode().split("\n"), dtype=object),
            )
        )
    return ops


def _table_floors(table):
    view = memoryview(table_bytes(table))
    ops = [
        (TABLE_COPY, lambda: bytes(view)),
        (CRC, lambda: _crc_module.crc32(view)),
    ]
    texts = [
        c for n, c in table.columns if not isinstance(c, np.ndarray) and n not in table.decimals
    ]
    if texts:
        ops += _str_floors(texts[0], all_three=True)
    return ops


def _column_floors(table):
    name, col = table.columns[0]
    if isinstance(col, np.ndarray):
        # A byte view: datetime64 arrays do not export a buffer of their own.
        raw = memoryview(col.view(np.uint8))
    else:
        raw = memoryview(b"".join(s.encode() for s in col))
    ops = [
        (RAW_COPY, lambda: bytes(raw)),
        (CRC, lambda: _crc_module.crc32(raw)),
    ]
    if table.kind.endswith(" small") and isinstance(col, np.ndarray):
        one = np.uint8 if col.dtype.kind == "u" else np.int8
        small = col.astype(one)
        ops.append((f"{WIDEN} {small.dtype} -> {col.dtype}", lambda: small.astype(col.dtype)))
        ops.append((f"{NARROW} {col.dtype} -> {small.dtype}", lambda: col.astype(one)))
    if not isinstance(col, np.ndarray) and name not in table.decimals:
        ops += _str_floors(col, all_three=False)
    return ops


def floors_for(table):
    """[(floor name, callable)] that apply to a table; each callable returns its result."""
    return _column_floors(table) if table.kind else _table_floors(table)


def find(floors, prefix):
    """The name of the first floor (of a result's floors) that starts with `prefix`, or None."""
    return next((name for name in floors if name.startswith(prefix)), None)
