"""A small, deliberately plain table frame encoder for tests.

It writes every value kind the frame format knows, including those the packer never produces
(Null, UInt32, UInt64, Bytes columns, field metadata, the "table" entry, any metadata value
kind), so that tests can hand the parser exactly the bytes they mean.

Values are given as (kind, payload) pairs; kinds are the value-kind names below.
"""

import struct
import zlib

KINDS = [
    "Null",
    "DateTime",
    "Int64",
    "Float64",
    "Decimal",
    "String",
    "Bool",
    "Int32",
    "UInt32",
    "UInt64",
    "Float32",
    "Bytes",
]
KIND = {name: i for i, name in enumerate(KINDS)}
FORMAT_WORD = 0x4D7C0001
MASK64 = (1 << 64) - 1


def wrap64(v):
    """v as a signed 64-bit integer (two's-complement wrap-around)."""
    v &= MASK64
    return v - (1 << 64) if v >> 63 else v


def varint(u):
    assert 0 <= u <= MASK64
    if u <= 250:
        return bytes([u])
    if u <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", u)
    if u <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", u)
    return b"\xfd" + struct.pack("<Q", u)


def zigzag64(v):
    v = wrap64(v)
    return varint(((v << 1) ^ (v >> 63)) & MASK64)


def zigzag32(v):
    assert -(1 << 31) <= v < (1 << 31)
    return varint(((v << 1) ^ (v >> 31)) & 0xFFFFFFFF)


def raw_bytes(b):
    return varint(len(b)) + bytes(b)


def string(s):
    return raw_bytes(s.encode("utf-8"))


def d64(magnitude, scale=0, negative=False, nan=False, infinite=False):
    """The 8-byte image of a decimal: magnitude big-endian in 7 bytes, then scale and flags."""
    assert 0 <= magnitude < (1 << 56) and 0 <= scale <= 15
    flags = (1 if negative else 0) | (2 if nan else 0) | (4 if infinite else 0)
    return magnitude.to_bytes(7, "big") + bytes([scale << 4 | flags])


def variant(kind, value=None):
    """One metadata value. Decimal takes the 8-byte image from d64()."""
    tag = KIND[kind]
    out = varint(tag)
    if kind == "Null":
        return out
    if kind in ("DateTime", "Int64"):
        return out + zigzag64(value)
    if kind == "Float64":
        return out + struct.pack("<d", value)
    if kind == "Decimal":
        assert len(value) == 8
        return out + value
    if kind == "String":
        return out + string(value)
    if kind == "Bool":
        return out + bytes([1 if value else 0])
    if kind == "Int32":
        return out + zigzag32(value)
    if kind in ("UInt32", "UInt64"):
        return out + varint(value)
    if kind == "Float32":
        return out + struct.pack("<f", value)
    if kind == "Bytes":
        return out + raw_bytes(value)
    raise ValueError(kind)


def meta(entries):
    """An optional metadata map: None (absent) or a list of (key, (kind, value)), kept in order
    and with repeats, so that tests control the exact bytes."""
    if entries is None:
        return b"\x00"
    out = b"\x01" + varint(len(entries))
    for key, (kind, value) in entries:
        out += string(key) + variant(kind, value)
    return out


def datetime_column(values, unit=1):
    """The compact timestamp encoding with an explicit unit that divides the first value and
    every (wrapped) difference."""
    if not values:
        return b"\x00"
    out = varint(len(values) + 1) + zigzag64(unit)
    prev = 0
    for i, v in enumerate(values):
        step = v if i == 0 else wrap64(v - prev)
        assert step % unit == 0, "the unit must divide every step"
        out += zigzag64(step // unit)
        prev = v
    return out


def decimal_column(mantissas, scale):
    """The compact decimal encoding: column scale, then differences of signed mantissas."""
    if not mantissas:
        return b"\x00"
    out = varint(len(mantissas) + 1) + zigzag64(scale)
    prev = 0
    for m in mantissas:
        out += zigzag64(wrap64(m - prev))
        prev = m
    return out


def series(kind, values=(), unit=1, scale=0):
    """The series tag and payload. DateTime takes microseconds (and a unit), Decimal signed
    mantissas (and the column scale); Null takes nothing."""
    values = list(values)
    out = varint(KIND[kind])
    if kind == "Null":
        return out
    if kind == "DateTime":
        return out + datetime_column(values, unit)
    if kind == "Decimal":
        return out + decimal_column(values, scale)
    out += varint(len(values))
    if kind == "Int64":
        return out + b"".join(zigzag64(v) for v in values)
    if kind == "Int32":
        return out + b"".join(zigzag32(v) for v in values)
    if kind in ("UInt32", "UInt64"):
        return out + b"".join(varint(v) for v in values)
    if kind == "Float64":
        return out + b"".join(struct.pack("<d", v) for v in values)
    if kind == "Float32":
        return out + b"".join(struct.pack("<f", v) for v in values)
    if kind == "Bool":
        return out + bytes(1 if v else 0 for v in values)
    if kind == "String":
        return out + b"".join(string(v) for v in values)
    if kind == "Bytes":
        return out + b"".join(raw_bytes(v) for v in values)
    raise ValueError(kind)


def field(name, kind, values=(), meta_entries=None, data_type=None, **opts):
    """One field; data_type defaults to the series kind."""
    dt = KIND[kind] if data_type is None else data_type
    return string(name) + varint(dt) + meta(meta_entries) + series(kind, values, **opts)


def body(fields=(), meta_entries=None, format_word=FORMAT_WORD, flag=False):
    """A table body from already encoded fields."""
    fields = list(fields)
    return (
        varint(format_word)
        + varint(len(fields))
        + b"".join(fields)
        + meta(meta_entries)
        + bytes([1 if flag else 0])
    )


def region(body_bytes):
    """What parse_table_frame takes: the body, then its CRC-32 (little-endian)."""
    return body_bytes + struct.pack("<I", zlib.crc32(body_bytes))


def frame(body_bytes):
    """A whole frame: header, body, checksum."""
    return struct.pack("<HHI", 0x4D7C, 1, len(body_bytes) + 4) + region(body_bytes)


def obj_meta(name):
    """The table metadata the packer writes."""
    return [("obj", ("String", name))]
