"""The formats under test. Each contender packs a `Table` into bytes and parses them back into
(name, column) pairs.

Every contender gets its natural input prepared outside the clock (`inputs`) and its received form
prepared outside the clock (`received`): what a receiver holds after reading the message, i.e. a
`bytes` object. For kvt that is the 8 header bytes (`check_table_frame`) and the bytes after them
(`parse_table_frame`), read separately as a receiver reads them.
"""

import io
import pickle

import numpy as np


class Kvt:
    name = "kvt"

    def __init__(self):
        import _kvt

        self.m = _kvt
        # Output timestamps are shifted by the local zone; zero keeps the round-trip check simple.
        _kvt.set_local_zone(0)

    def inputs(self, table):
        return ("bench", list(table.columns), table.decimals or None)

    def pack(self, args):
        return self.m.pack_table_frame(*args)

    def received(self, packed):
        return packed[:8], packed[8:]

    def parse(self, received):
        header, body = received
        self.m.check_table_frame(header)
        return self.m.parse_table_frame(body)[2]

    def size(self, packed):
        return len(packed)


class ArrowIpc:
    """Apache Arrow IPC stream: one record batch written to an in-memory sink.

    Packing ends with the sink's buffer (no copy into `bytes`); parsing reads the stream from a
    `bytes` object and converts every column with ``to_numpy(zero_copy_only=False)``.
    """

    name = "pyarrow IPC"

    def __init__(self):
        import pyarrow as pa

        self.pa = pa
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)

    def inputs(self, table):
        return [n for n, _ in table.columns], [c for _, c in table.columns]

    def pack(self, args):
        pa = self.pa
        names, cols = args
        batch = pa.RecordBatch.from_arrays([pa.array(c) for c in cols], names=names)
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, batch.schema) as writer:
            writer.write_batch(batch)
        return sink.getvalue()

    def received(self, packed):
        return packed.to_pybytes()

    def parse(self, received):
        batch = self.pa.ipc.open_stream(received).read_next_batch()
        return [
            (name, col.to_numpy(zero_copy_only=False))
            for name, col in zip(batch.schema.names, batch.columns)
        ]

    def size(self, packed):
        return packed.size


class Pickle5:
    """pickle protocol 5 with the array data in band (a single bytes object)."""

    name = "pickle 5"

    def inputs(self, table):
        return list(table.columns)

    def pack(self, args):
        return pickle.dumps(args, protocol=5)

    def received(self, packed):
        return packed

    def parse(self, received):
        return pickle.loads(received)

    def size(self, packed):
        return len(packed)


class Msgpack:
    """msgpack with msgpack-numpy's array hooks; text columns are msgpack arrays of str.

    msgpack-numpy cannot take datetime64 arrays (their buffer export fails), so those are handed
    to its encoder as an int64 view and labelled with their own dtype, which its decoder honours.
    """

    name = "msgpack-numpy"

    def __init__(self):
        import msgpack
        import msgpack_numpy

        self.msgpack = msgpack
        self.decode = msgpack_numpy.decode

        def encode(obj, plain=msgpack_numpy.encode):
            if isinstance(obj, np.ndarray) and obj.dtype.kind in "mM":
                out = plain(obj.view(np.int64))
                out[b"type"] = obj.dtype.str
                return out
            return plain(obj)

        self.encode = encode

    def inputs(self, table):
        return list(table.columns)

    def pack(self, args):
        return self.msgpack.packb(args, default=self.encode)

    def received(self, packed):
        return packed

    def parse(self, received):
        return self.msgpack.unpackb(received, object_hook=self.decode)

    def size(self, packed):
        return len(packed)


class Npy:
    """NumPy .npy: np.save / np.load on one BytesIO per column (names travel beside the parts).

    A text column is saved as a fixed-width unicode array (np.array of the list, counted in
    packing), since .npy stores no variable-length text without pickling; it loads back as that
    array, without creating str objects.
    """

    name = "NumPy .npy"

    def inputs(self, table):
        return list(table.columns)

    def pack(self, args):
        parts = []
        for name, col in args:
            buf = io.BytesIO()
            np.save(buf, col if isinstance(col, np.ndarray) else np.array(col), allow_pickle=False)
            parts.append((name, buf.getvalue()))
        return parts

    def received(self, packed):
        return packed

    def parse(self, received):
        return [(name, np.load(io.BytesIO(part), allow_pickle=False)) for name, part in received]

    def size(self, packed):
        return sum(len(part) for _, part in packed)


PEERS = (ArrowIpc, Pickle5, Msgpack, Npy)


def all_contenders():
    return [Kvt()] + [cls() for cls in PEERS]


def check_roundtrip(contender, table, parsed):
    """Raises AssertionError when a contender's parsed columns differ from the table's."""
    got = [(n, c) for n, c in parsed]
    assert [n for n, _ in got] == [n for n, _ in table.columns], contender.name
    for (name, want), (_, back) in zip(table.columns, got):
        what = f"{contender.name}: column {name!r} of {table.name}"
        if not isinstance(want, np.ndarray):
            back = back.tolist() if isinstance(back, np.ndarray) else list(back)
            if contender.name == "kvt" and name in table.decimals:
                scale = table.decimals[name]
                ref = [float(s) for s in want]
                assert np.allclose(back, ref, atol=10.0**-scale), what
            else:
                assert back == want, what
            continue
        back = np.asarray(back)
        assert len(back) == len(want), what
        if want.dtype.kind == "M":
            # kvt carries microseconds: compare at that unit, truncating toward zero.
            ns = want.astype("M8[ns]").view(np.int64)
            us = np.where(ns < 0, -((-ns) // 1000), ns // 1000)
            got_us = back.astype("M8[us]").view(np.int64) if contender.name == "kvt" else None
            if got_us is not None:
                assert np.array_equal(got_us, us), what
            else:
                assert np.array_equal(back, want), what
        elif name in table.decimals and contender.name == "kvt":
            assert np.allclose(back, want, rtol=0, atol=10.0 ** -table.decimals[name]), what
        else:
            assert back.dtype == want.dtype and np.array_equal(back, want), what
