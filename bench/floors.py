"""Hardware floors: the least work any packer or parser of the same data has to do, measured in
the same process under the same allocator set-up as the contenders.

- copy: the same bytes copied into a new bytes object (what every packer that returns `bytes`
  pays at least once);
- CRC-32: the checksum over the same bytes, by ISA-L (python-isal) when it is importable, else by
  zlib;
- widen: int8 -> int64 (`astype`), the floor for decoding small integers stored in one byte;
- narrow: int64 -> int8 (`astype`), the floor for packing them;
- str: creating the same Python str objects from their UTF-8 bytes.
"""

import numpy as np

try:
    from isal import isal_zlib as _crc_module

    CRC_IMPL = "ISA-L (python-isal isal_zlib.crc32)"
except ImportError:  # pragma: no cover - depends on the environment
    import zlib as _crc_module

    CRC_IMPL = "zlib.crc32 (ISA-L not importable)"


def column_bytes(col):
    """The column's payload as one bytes object: array bytes, or text joined by newlines."""
    if isinstance(col, np.ndarray):
        return col.tobytes()
    return "\n".join(col).encode()


def table_bytes(table):
    return b"".join(column_bytes(c) for _, c in table.columns)


def floors_for(table):
    """[(floor name, callable)] that apply to a table; each callable returns its result."""
    data = table_bytes(table)
    view = memoryview(data)
    ops = [
        ("copy into new bytes", lambda: bytes(view)),
        ("CRC-32", lambda: _crc_module.crc32(view)),
    ]
    if table.kind == "int64 small":
        small = table.columns[0][1].astype(np.int8)
        wide = table.columns[0][1]
        ops.append(("widen int8 -> int64", lambda: small.astype(np.int64)))
        ops.append(("narrow int64 -> int8", lambda: wide.astype(np.int8)))
    texts = [
        c for n, c in table.columns if not isinstance(c, np.ndarray) and n not in table.decimals
    ]
    if texts:
        blob = "\n".join(texts[0]).encode()
        items = [s.encode() for s in texts[0]]
        # One C-level pass: decode the text once and split it into the same str objects.
        ops.append(("str create (decode+split)", lambda: blob.decode().split("\n")))
        ops.append(("str create ([b.decode()])", lambda: [b.decode() for b in items]))
        ops.append(
            (
                "str create (np.array of them)",
                lambda: np.array(blob.decode().split("\n"), dtype=object),
            )
        )
    return ops
