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

import _kvt
import frames as F
import numpy as np
import pytest

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
        for filler_name, filler in [
            ("zeros", bytes(N)),
            ("ones", b"\x01" * N),
            ("keys", distinct_keys(N)),
        ]:
            cases.append(
                (f"{name}, {filler_name}", F.region(body_with(lead, filler)), factor, "error")
            )
    return cases


def dense_valid_cases():
    """Frames that decode, with the most objects per byte the format allows."""
    k = N // 4
    null_fields = F.region(
        F.varint(F.FORMAT_WORD) + F.varint(k) + b"\x00\x00\x00\x00" * k + b"\x00\x00"
    )
    strings = F.region(F.body([F.field("s", "String", [f"{i % 100:02d}" for i in range(N // 3)])]))
    blobs = F.region(F.body([F.field("b", "Bytes", [b"%02d" % (i % 100) for i in range(N // 3)])]))
    ints = F.region(F.body([F.field("i", "Int64", [0] * N)]))
    # Every 4-byte Null field is a decoded Field (184 bytes) and then a tuple and an array: about
    # 160 bytes per input byte at the peak.
    return [
        ("Null fields", null_fields, 200, "ok"),
        ("2-byte strings", strings, 32, "ok"),
        ("2-byte bytes", blobs, 32, "ok"),
        ("Int64 zeros", ints, 16, "ok"),
    ]


def null_amplifier(rows, nulls):
    """A first column of `rows` one-byte Int64 values, then `nulls` four-byte Null fields."""
    first = b"\x01a\x02\x00\x02" + F.varint(rows) + bytes(rows)
    return F.region(
        F.varint(F.FORMAT_WORD)
        + F.varint(1 + nulls)
        + first
        + b"\x00\x00\x00\x00" * nulls
        + b"\x00\x00"
    )


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
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, *paths],
        capture_output=True,
        text=True,
        env=env,
        cwd=HERE,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def clear_refs_works():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


needs_hwm_reset = pytest.mark.skipif(
    not clear_refs_works(), reason="needs /proc/self/clear_refs (Linux 4.0+)"
)


@pytest.mark.memory_figures
@needs_hwm_reset
def test_hostile_and_dense_frames_take_memory_linear_in_their_size(tmp_path):
    cases = (
        hostile_cases()
        + dense_valid_cases()
        + [("Null amplifier", null_amplifier(N // 2, N // 8), 16, "error")]
    )
    results = measure(tmp_path, [c[1] for c in cases])
    slack = 8 * MiB
    over = []
    for (name, _region, factor, expected), (n, growth, outcome) in zip(cases, results):
        assert outcome == expected, name
        if growth > factor * n + slack:
            over.append((name, n, growth, round(growth / n, 1)))
    assert not over


# ---- what a frame may make: 64 x its size + 64 MiB, estimated field by field ----

FIELD_COST = 640  # per field, besides its name and elements


def budget(region):
    return 64 * len(region) + 64 * MiB


def null_amplifier_cost(rows, nulls):
    """The decoder's estimate for null_amplifier(rows, nulls): an Int64 column of 8-byte
    elements, then Null columns of one byte per row."""
    return (FIELD_COST + 1 + 8 * rows) + nulls * (FIELD_COST + rows)


def over_budget_text(cost, region):
    return (
        f"Invalid table frame: Table too large once parsed: at least {cost} bytes for a "
        f"frame of {len(region)} bytes, at most {budget(region)}"
    )


@pytest.mark.parametrize("rows", [0, 1, 1 << 10, 1 << 16])
def test_the_budget_boundary_is_exact(rows):
    def fits(nulls):
        return null_amplifier_cost(rows, nulls) <= budget(null_amplifier(rows, nulls))

    lo, hi = 0, 1
    while fits(hi):
        lo, hi = hi, hi * 2
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if fits(mid) else (lo, mid)
    columns = _kvt.parse_table_frame(null_amplifier(rows, lo))[2]
    assert len(columns) == lo + 1 and len(columns[-1][1]) == rows and not columns[-1][1].any()
    del columns
    region = null_amplifier(rows, hi)
    with pytest.raises(ValueError) as e:
        _kvt.parse_table_frame(region)
    assert type(e.value) is ValueError
    # Fields alone past the budget are refused before any is decoded; otherwise the refusal
    # comes at the first field past it, before the rest are decoded.
    fields_alone = (hi + 1) * FIELD_COST
    cost = fields_alone if fields_alone > budget(region) else null_amplifier_cost(rows, hi)
    assert str(e.value) == over_budget_text(cost, region)


def million_empty_fields():
    n = 1_000_000
    return F.region(
        F.varint(F.FORMAT_WORD) + F.varint(n) + b"\x00\x02\x00\x02\x00" * n + b"\x00\x00"
    )


def test_a_million_empty_fields_are_refused_before_they_are_built():
    region = million_empty_fields()
    assert len(region) < 5 * MiB
    with pytest.raises(ValueError, match="^Invalid table frame: Table too large once parsed"):
        _kvt.parse_table_frame(region)


@pytest.mark.parametrize("rows, nulls", [(1 << 16, 500), (1000, 5000), (0, 100000), (5, 3)])
def test_null_columns_within_the_budget_parse(rows, nulls):
    _, _, columns = _kvt.parse_table_frame(null_amplifier(rows, nulls))
    assert len(columns) == 1 + nulls
    assert all(a.dtype == np.bool_ and len(a) == rows and not a.any() for _, a in columns[1:])


def test_a_null_first_column_asks_for_nothing():
    # Row count 0: Null columns cost only their fields.
    k = 50000
    region = F.region(
        F.varint(F.FORMAT_WORD)
        + F.varint(k + 1)
        + b"\x00" * 4 * k
        + F.field("i", "Int64", range(1000))
        + b"\x00\x00"
    )
    columns = _kvt.parse_table_frame(region)[2]
    assert len(columns) == k + 1 and len(columns[0][1]) == 0 and len(columns[-1][1]) == 1000


# ---- address-space limits: a refused allocation ends the call, never the process ----

UNDER_LIMIT = textwrap.dedent("""
    import resource, sys, threading, numpy, _kvt
    sys.path.insert(0, {here!r})
    import frames as F
    from test_alloc_bound import million_empty_fields
    frames = [million_empty_fields(),
              # within the budget, but far more than the limit leaves: 40 M Int64 elements
              F.region(F.varint(F.FORMAT_WORD) + F.varint(1) + b"\\x01a\\x02\\x00\\x02"
                       + F.varint(40_000_000) + bytes(40_000_000) + b"\\x00\\x00")]
    limit = int(sys.argv[1]) << 20
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    def attempt(region):
        try:
            _kvt.parse_table_frame(region)
            return "parsed"
        except BaseException as e:
            return type(e).__name__
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    outcomes = [attempt(r) for r in frames]
    box = []
    t = threading.Thread(target=lambda: box.extend(attempt(r) for r in frames))
    t.start(); t.join()
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(" ".join(outcomes + box))
""")


@pytest.mark.memory_figures
@pytest.mark.parametrize("limit_mib", [300, 450, 600, 800])
def test_parsing_under_an_address_space_limit_raises_instead_of_exiting(limit_mib):
    code = UNDER_LIMIT.format(here=HERE)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    out = subprocess.run(
        [sys.executable, "-c", code, str(limit_mib)],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr[-2000:]
    outcomes = out.stdout.split()
    assert len(outcomes) == 4, out.stdout
    # Each call ends as a result or an error of the call. Where the limit leaves room for the
    # field vector, the million fields are refused by the budget before anything else is built.
    assert set(outcomes) <= {"parsed", "ValueError", "InternalError", "MemoryError"}
    if limit_mib >= 450:
        assert outcomes[0] == outcomes[2] == "ValueError"


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
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == [
        "InternalError False Failed to pack a table frame: std::bad_alloc",
        "42",
    ]
