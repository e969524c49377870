"""Memory taken by parsing hostile frames: counts and lengths that the bytes cannot back, fields
and values packed as densely as the format allows, and Null columns that multiply the row count.

The measurements run in a fresh interpreter that returns freed heap memory to the system and
resets its resident-size high-water mark (/proc/self/clear_refs) right before each call, so each
figure is that call's own peak."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _kvt
import frames as F

HERE = os.path.dirname(__file__)
HUGE = 1 << 62
MiB = 1 << 20


def field_head(tag):
    """One field named c of the given series tag, up to where its payload starts."""
    return F.varint(1) + b"\x01c" + bytes([tag, 0, tag])


def body_with(lead, filler):
    return F.varint(F.FORMAT_WORD) + lead + filler


# name -> (lead ending where the hostile number is read, bytes per input byte allowed)
HOSTILE = {
    "field count": (F.varint(HUGE), 64),
    "field name length": (F.varint(1) + F.varint(HUGE), 16),
    "field meta count": (F.varint(1) + b"\x01c\x00\x01" + F.varint(HUGE), 64),
    "meta key length": (F.varint(1) + b"\x01c\x00\x01\x01" + F.varint(HUGE), 16),
    "meta String length": (F.varint(1) + b"\x01c\x00\x01\x01\x01k\x05" + F.varint(HUGE), 16),
    "meta Bytes length": (F.varint(1) + b"\x01c\x00\x01\x01\x01k\x0b" + F.varint(HUGE), 16),
    "table meta count": (b"\x00\x01" + F.varint(HUGE), 64),
    "DateTime count": (field_head(1) + F.varint(HUGE) + b"\x02", 16),
    "Int64 count": (field_head(2) + F.varint(HUGE), 16),
    "Float64 count": (field_head(3) + F.varint(HUGE), 16),
    "Decimal count": (field_head(4) + F.varint(HUGE) + b"\x04", 16),
    "String count": (field_head(5) + F.varint(HUGE), 16),
    "String length": (field_head(5) + F.varint(3) + b"\x01a" + F.varint(HUGE), 16),
    "Bool count": (field_head(6) + F.varint(HUGE), 16),
    "Int32 count": (field_head(7) + F.varint(HUGE), 16),
    "UInt32 count": (field_head(8) + F.varint(HUGE), 16),
    "UInt64 count": (field_head(9) + F.varint(HUGE), 16),
    "Float32 count": (field_head(10) + F.varint(HUGE), 16),
    "Bytes count": (field_head(11) + F.varint(HUGE), 16),
    "Bytes length": (field_head(11) + F.varint(3) + b"\x01\xff" + F.varint(HUGE), 16),
}

N = 256 * 1024  # filler bytes behind each hostile number


def distinct_keys(n):
    out = bytearray()
    k = 0
    while len(out) < n:
        out += F.string(str(k)) + b"\x00"
        k += 1
    return bytes(out[:n])


def hostile_cases():
    cases = []
    for name, (lead, factor) in HOSTILE.items():
        for filler_name, filler in [("zeros", bytes(N)), ("ones", b"\x01" * N),
                                    ("keys", distinct_keys(N))]:
            cases.append((f"{name}, {filler_name}", F.region(body_with(lead, filler)), factor,
                          "error"))
    return cases


def dense_valid_cases():
    """Frames that decode, with the most objects per byte the format allows."""
    k = N // 4
    null_fields = F.region(F.varint(F.FORMAT_WORD) + F.varint(k) + b"\x00\x00\x00\x00" * k
                           + b"\x00\x00")
    strings = F.region(F.body([F.field("s", "String", ["%02d" % (i % 100) for i in range(N // 3)])]))
    blobs = F.region(F.body([F.field("b", "Bytes", [b"%02d" % (i % 100) for i in range(N // 3)])]))
    ints = F.region(F.body([F.field("i", "Int64", [0] * N)]))
    # Every 4-byte Null field is a decoded Field (184 bytes) and then a tuple and an array: about
    # 160 bytes per input byte at the peak.
    return [("Null fields", null_fields, 200, "ok"), ("2-byte strings", strings, 32, "ok"),
            ("2-byte bytes", blobs, 32, "ok"), ("Int64 zeros", ints, 16, "ok")]


def null_amplifier(rows, nulls):
    """A first column of `rows` one-byte Int64 values, then `nulls` four-byte Null fields."""
    first = b"\x01a\x02\x00\x02" + F.varint(rows) + bytes(rows)
    return F.region(F.varint(F.FORMAT_WORD) + F.varint(1 + nulls) + first
                    + b"\x00\x00\x00\x00" * nulls + b"\x00\x00")


MEASURE = textwrap.dedent("""
    import ctypes, gc, json, sys, _kvt
    libc = ctypes.CDLL(None)
    def hwm():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    _kvt.parse_table_frame(bytes.fromhex("fc01007c4d000000f658cd3e"))  # loads NumPy
    results = []
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            region = f.read()
        gc.collect()
        libc.malloc_trim(0)  # what earlier cases freed must not hide this one's peak
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        base = hwm()
        try:
            r = _kvt.parse_table_frame(region)
            outcome = "ok"
        except ValueError as e:
            outcome = "error"
        peak = hwm()
        r = None
        gc.collect()
        results.append([len(region), peak - base, outcome])
    print(json.dumps(results))
""")


def measure(tmp_path, regions):
    paths = []
    for i, region in enumerate(regions):
        p = tmp_path / f"frame{i}"
        p.write_bytes(region)
        paths.append(str(p))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", MEASURE, *paths], capture_output=True, text=True,
                         env=env, cwd=HERE, timeout=300)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def clear_refs_works():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


needs_hwm_reset = pytest.mark.skipif(not clear_refs_works(),
                                     reason="needs /proc/self/clear_refs (Linux 4.0+)")


@pytest.mark.memory_figures
@needs_hwm_reset
def test_hostile_and_dense_frames_take_memory_linear_in_their_size(tmp_path):
    cases = hostile_cases() + dense_valid_cases() + [
        ("Null amplifier", null_amplifier(N // 2, N // 8), 16, "error")]
    results = measure(tmp_path, [c[1] for c in cases])
    slack = 8 * MiB
    over = []
    for (name, region, factor, expected), (n, growth, outcome) in zip(cases, results):
        assert outcome == expected, name
        if growth > factor * n + slack:
            over.append((name, n, growth, round(growth / n, 1)))
    assert not over


# ---- Null columns: their arrays are held to a budget linear in the frame size ----


def test_null_columns_beyond_the_budget_are_refused_before_any_array_exists():
    rows, nulls = 1 << 20, 200  # 200 MiB of arrays asked by a frame of about 1 MiB
    region = null_amplifier(rows, nulls)
    with pytest.raises(ValueError) as e:
        _kvt.parse_table_frame(region)
    assert type(e.value) is ValueError
    assert str(e.value) == (f"Invalid table frame: {nulls} Null columns of {rows} rows exceed "
                            f"what a frame of {len(region)} bytes may ask for")


def test_null_column_budget_boundary():
    # Budget: rows * nulls <= 64 * frame bytes + 64 MiB.
    rows = 1 << 16

    def fits(nulls):
        return rows * nulls <= 64 * len(null_amplifier(rows, nulls)) + 64 * MiB

    nulls = (64 * MiB) // rows
    while fits(nulls + 1):
        nulls += 1
    columns = _kvt.parse_table_frame(null_amplifier(rows, nulls))[2]
    assert len(columns) == nulls + 1 and len(columns[-1][1]) == rows
    del columns
    with pytest.raises(ValueError, match="Null columns"):
        _kvt.parse_table_frame(null_amplifier(rows, nulls + 1))


@pytest.mark.parametrize("rows, nulls", [(1 << 16, 500), (1000, 5000), (0, 100000), (5, 3)])
def test_null_columns_within_the_budget_parse(rows, nulls):
    _, _, columns = _kvt.parse_table_frame(null_amplifier(rows, nulls))
    assert len(columns) == 1 + nulls
    assert all(a.dtype == np.bool_ and len(a) == rows and not a.any() for _, a in columns[1:])


def test_a_null_first_column_asks_for_nothing():
    # Row count 0: any number of Null columns is cheap.
    k = 50000
    region = F.region(F.varint(F.FORMAT_WORD) + F.varint(k + 1) + b"\x00" * 4 * k
                      + F.field("i", "Int64", range(1000)) + b"\x00\x00")
    columns = _kvt.parse_table_frame(region)[2]
    assert len(columns) == k + 1 and len(columns[0][1]) == 0 and len(columns[-1][1]) == 1000


# ---- a refused allocation while packing ends the call, not the process ----


@pytest.mark.memory_figures
def test_refused_allocation_while_packing_raises_the_internal_error():
    code = textwrap.dedent("""
        import gc, resource, numpy, _kvt
        n = 20_000_000
        ms = numpy.arange(n, dtype=numpy.int64).view("M8[ms]")
        small = numpy.arange(5, dtype=numpy.int64).view("M8[ms]")
        _kvt.pack_table_frame("o", [("t", small)])
        gc.collect()
        vm = int(open("/proc/self/statm").read().split()[0]) * 4096
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + 8 * n // 2, hard))
        try:
            _kvt.pack_table_frame("o", [("t", ms)])
            print("no error")
        except BaseException as e:
            t = type(e)
            print(t.__name__, issubclass(t, Exception), str(e))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(len(_kvt.pack_table_frame("o", [("t", small)])))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == [
        "InternalError False Failed to pack a table frame: std::bad_alloc", "42"]
