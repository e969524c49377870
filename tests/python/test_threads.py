"""Several Python threads packing, parsing and switching the local zone at once.

Every call holds the interpreter lock from entry to return, so each one sees one zone from start
to end and produces exactly what it produces alone; the switch interval is cut to a microsecond so
that threads change hands between (and, if the lock were ever released, inside) calls."""

import sys
import threading

import _kvt
import frames as F
import numpy as np
import pytest

HOUR_US = 3_600_000_000
ZONES = [-25, -5, 0, 3, 8, 25]
ROUNDS = 300


@pytest.fixture
def fast_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def columns_for(seed):
    rng = np.random.default_rng(seed)
    n = 500 + seed
    return [
        ("i", rng.integers(-(2**63), 2**63 - 1, n, dtype=np.int64)),
        ("f", rng.standard_normal(n)),
        ("i32", rng.integers(-(2**31), 2**31 - 1, n, dtype=np.int32)),
        ("b", rng.integers(0, 2, n).astype(bool)),
        ("t", rng.integers(-(10**15), 10**15, n, dtype=np.int64).view("M8[us]")),
        ("t2", rng.integers(-(10**15), 10**15, n, dtype=np.int64).view("M8[us]")),
        ("s", [str(x) for x in rng.integers(0, 10**6, n // 10)]),
        ("d", rng.standard_normal(n)),
    ]


def run_threads(workers):
    errors = []
    barrier = threading.Barrier(len(workers))

    def wrap(work):
        try:
            barrier.wait()
            work()
        except BaseException as e:  # noqa: B036 - reported below with its thread
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_packing_parsing_and_zone_switching_at_once(zone, fast_switching):
    _kvt.set_local_zone(0)
    inputs = [columns_for(seed) for seed in range(4)]
    frames = [_kvt.pack_table_frame(f"obj{i}", cols, {"d": 4}) for i, cols in enumerate(inputs)]
    # What each frame parses to at zone 0: timestamps are then the stored values.
    reference = [_kvt.parse_table_frame(fr[8:]) for fr in frames]
    stored = [dict(r[2]) for r in reference]

    def packer(i):
        def work():
            for _ in range(ROUNDS):
                assert _kvt.pack_table_frame(f"obj{i}", inputs[i], {"d": 4}) == frames[i]

        return work

    def parser(i):
        def work():
            for _ in range(ROUNDS):
                table, obj, columns = _kvt.parse_table_frame(frames[i][8:])
                assert (table, obj) == ("", f"obj{i}")
                got = dict(columns)
                # One zone for the whole call: both timestamp columns carry the same shift, and
                # it is one of the zones in use.
                shift = got["t"].view(np.int64) - stored[i]["t"].view(np.int64)
                shift2 = got["t2"].view(np.int64) - stored[i]["t2"].view(np.int64)
                assert np.all(shift == shift[0]) and np.all(shift2 == shift[0])
                assert shift[0] // HOUR_US in ZONES and shift[0] % HOUR_US == 0
                for name in ("i", "f", "i32", "b", "s", "d"):
                    assert np.array_equal(got[name], stored[i][name])

        return work

    def switcher(k):
        def work():
            for j in range(ROUNDS * 3):
                tz = ZONES[(j + k) % len(ZONES)]
                _kvt.set_local_zone(tz)
                offset = _kvt.get_local_offset()
                assert offset // HOUR_US in ZONES and offset % HOUR_US == 0

        return work

    run_threads(
        [packer(i) for i in range(4)]
        + [parser(i) for i in range(4)]
        + [switcher(k) for k in range(2)]
    )


def test_threads_sharing_one_array_and_one_frame(zone, fast_switching):
    # Many threads read the same array (packing) and the same bytes (parsing); every result is
    # independent of the others.
    _kvt.set_local_zone(8)
    shared = np.arange(10_000, dtype=np.int64)
    frame = _kvt.pack_table_frame("o", [("a", shared), ("b", shared)])
    results = [[] for _ in range(6)]

    def worker(k):
        def work():
            for _ in range(100):
                assert _kvt.pack_table_frame("o", [("a", shared), ("b", shared)]) == frame
                cols = _kvt.parse_table_frame(frame[8:])[2]
                cols[0][1][:] = k  # writing into one result must not reach another
                results[k].append(cols)

        return work

    run_threads([worker(k) for k in range(6)])
    for k, rs in enumerate(results):
        for cols in rs:
            assert np.all(cols[0][1] == k) and np.array_equal(cols[1][1], shared)
    assert sys.getrefcount(shared) == 2  # no thread kept a reference


def test_error_paths_under_threads(zone, fast_switching):
    bad = [b"\x00", F.region(F.body([b"\x01a\x00\x00\x0c"])), b"\x00\x00\x00\x00"]
    messages = [
        "Invalid table frame: Content and footer too short",
        'Invalid table frame: Failed to decode table: UnexpectedVariant { type_name: "Series", '
        "allowed: Range { min: 0, max: 11 }, found: 12 }",
        "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }",
    ]

    def worker(k):
        def work():
            for j in range(ROUNDS):
                i = (j + k) % len(bad)
                with pytest.raises(ValueError) as e:
                    _kvt.parse_table_frame(bad[i])
                assert str(e.value) == messages[i]
                with pytest.raises(ValueError) as e:
                    _kvt.set_local_zone(26 + k)
                assert str(e.value) == "invalid timezone"
                with pytest.raises(TypeError):
                    _kvt.pack_table_frame("o", [("a", np.arange(10)[::2])])

        return work

    run_threads([worker(k) for k in range(6)])
