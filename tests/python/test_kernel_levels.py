"""Every kernel level gives the same frames and the same parsed columns.

Each level runs in a child interpreter started with KVT_KERNELS set; the children pack the same
columns (many data shapes, every varint width mix, lengths around the kernels' block sizes) and
parse damaged and whole frames, and their outputs are compared byte for byte."""

import os
import pathlib
import pickle
import platform
import subprocess
import sys

import kvt
import pytest

CHILD = r"""
import pickle, sys, zlib
import numpy as np
import _kvt, kvt

_kvt.set_local_zone(0)
rng = np.random.default_rng(int(sys.argv[1]))


def shapes(n):
    walk = np.cumsum(rng.integers(-100_000, 100_001, n))
    yield "constant", np.full(n, 7, np.int64)
    yield "ids", np.arange(n, dtype=np.int64) + 10**9
    yield "1/3", rng.integers(-130, 131, n)
    yield "3/5", rng.integers(-60_000, 60_000, n) * rng.choice([1, 3], n)
    yield "5/9", rng.integers(2**31, 2**33, n) * rng.choice([-1, 1], n)
    yield "all widths", rng.integers(0, 2**63 - 1, n) >> rng.integers(0, 63, n)
    yield "edges", rng.choice(np.array([0, 125, 126, -125, -126, 32767, -32768, 32768,
                                        2**31 - 1, -2**31, 2**31, -2**63, 2**63 - 1]), n)
    yield "lognormal", rng.lognormal(5, 2, n).astype(np.int64)
    yield "walk", walk
    yield "i32", rng.integers(-2**31, 2**31, n).astype(np.int32) >> rng.integers(0, 31, n)
    yield "ticks", (walk * 1000).view("M8[ns]")
    yield "us", (np.int64(1_700_000_000_000_000) + walk).view("M8[us]")
    yield "s", rng.integers(-10**9, 10**9, n).view("M8[s]")
    yield "prices", np.round(np.cumsum(rng.normal(0, 0.5, n)), 2)


out = []
for n in (0, 1, 15, 16, 17, 19, 20, 21, 63, 64, 65, 257, 7283, 7300):
    for name, col in shapes(n):
        dec = {"c": 2} if name == "prices" else None
        frame = _kvt.pack_table_frame("x", [("c", col)], dec) if dec else \
            _kvt.pack_table_frame("x", [("c", col)])
        body = frame[8:]
        parsed = _kvt.parse_table_frame(body)[2][0][1]
        # The frame with a byte of its varints made FE (and the checksum made good again): the
        # error, or the values, must not depend on the level either.
        hurt = None
        if len(frame) > 40:
            damaged = bytearray(frame)
            damaged[rng.integers(30, len(frame) - 4)] = 0xFE
            damaged[-4:] = zlib.crc32(damaged[8:-4]).to_bytes(4, "little")
            try:
                got = _kvt.parse_table_frame(bytes(damaged[8:]))[2][0][1]
                hurt = ("ok", got.tobytes())
            except ValueError as e:
                hurt = ("error", str(e))
        out.append((n, name, frame, parsed.dtype.str, parsed.tobytes(), hurt))
sys.stdout.buffer.write(pickle.dumps((kvt.kernel_level(), out)))
"""


def run_at(level, seed):
    env = dict(os.environ, KVT_KERNELS=level)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(seed)], capture_output=True, env=env, timeout=300
    )
    assert done.returncode == 0, done.stderr.decode()
    return pickle.loads(done.stdout)


def test_levels_are_named_and_chosen():
    levels = kvt.kernel_levels()
    assert levels[0] == "scalar" and set(levels) <= {"scalar", "avx2", "avx512"}
    assert kvt.kernel_level() in levels
    asked = os.environ.get("KVT_KERNELS")
    if asked is None:
        assert kvt.kernel_level() == levels[-1]


def test_the_top_level_is_the_one_the_cpu_has():
    # The module's own CPU check against the kernel's view of the CPU: a build whose check
    # always failed would run every kernel at the scalar level and pass every other test.
    try:
        lines = pathlib.Path("/proc/cpuinfo").read_text().splitlines()
    except OSError:
        pytest.skip("no /proc/cpuinfo")
    flags = set()
    for line in lines:
        if line.startswith("flags"):
            flags = set(line.partition(":")[2].split())
            break
    avx2 = {"avx2", "bmi1", "bmi2", "fma", "popcnt", "abm"} <= flags
    avx512 = {"avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512vbmi", "avx512_vbmi2"} <= flags
    want = "avx512" if avx2 and avx512 else "avx2" if avx2 else "scalar"
    if platform.machine() != "x86_64":
        want = "scalar"  # the vector kernels are x86-64's
    assert kvt.kernel_levels()[-1] == want, sorted(flags)


@pytest.mark.parametrize("asked", ["scalar", "avx2", "avx512", "fast", ""])
def test_the_variable_only_lowers_the_level(asked):
    env = dict(os.environ, KVT_KERNELS=asked)
    code = "import kvt; print(kvt.kernel_level())"
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )
    top = kvt.kernel_levels()[-1]
    order = ["scalar", "avx2", "avx512"]
    want = order[min(order.index(asked), order.index(top))] if asked in order else top
    assert done.stdout.strip() == want


@pytest.mark.parametrize("seed", [1, 2])
def test_every_level_gives_the_same_frames(seed):
    runs = {level: run_at(level, seed) for level in kvt.kernel_levels()}
    reference_level, reference = runs.pop("scalar")
    assert reference_level == "scalar"
    for level, (reported, got) in runs.items():
        assert reported == level
        assert len(got) == len(reference)
        for want, have in zip(reference, got, strict=True):
            assert have == want, f"{level}: {want[0]} values of shape {want[1]!r} differ"
