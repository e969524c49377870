"""Column kinds × data shapes, at every kernel level, against pickle 5.

kvt's column kernels come in several CPU levels (scalar, AVX2, AVX-512); a process picks its level
once, and the environment variable KVT_KERNELS forces a lower one than the CPU has. This workload
runs once per level the machine can run, each in a default process (a child interpreter with no
allocator settings, pinned to the benchmark's core) started with KVT_KERNELS=<level>, and
records the level the child reports (`kvt.kernel_level()`, where the build has it).

In each child:

- single columns of one kind and one shape of data each (integers, timestamps, decimals, floats,
  bools; see `columns`), `rows` values: `_kvt.pack_table_frame` and `_kvt.parse_table_frame`
  (on the bytes after the 8-byte header) against `pickle.dumps(array, protocol=5)` (data in band)
  and `pickle.loads` of the same array, the four measured side by side in one group; the round
  trip is checked once first;
- real tables (bench/frames.py's data sets): `kvt.pack(df)` and `kvt.unpack(frame).to_pandas()`
  against pickle 5 of the DataFrame (the full round trips against Arrow IPC and polars run in
  the frames workload, at the default level).

The figure of record is kvt pack+parse ÷ pickle dumps+loads per column; the summary gives, per
level and kind, the median over the shapes and the worst shape, against a target (`limit`).

`python -m bench.shapes --child OUT --job JSON` is the child; `run` starts one per level.
"""

import json
import os
import pickle
import statistics
import sys
import time

import numpy as np

from . import data, environment
from .timing import Settings, measure_group

NAME = "shapes: column kinds × data shapes at every kernel level"
KERNEL_ENV = "KVT_KERNELS"
UNSUPPORTED = "unsupported data type"
SEED = 20240611
# The flags each level needs, where the build cannot say which levels the CPU runs.
AVX2_FLAGS = ("avx2", "bmi2")
AVX512_FLAGS = ("avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512vbmi", "avx512_vbmi2")
# Families of kinds whose target depends on the level; the others have one target everywhere.
VARINT_FAMILIES = ("integer", "datetime", "decimal")
PEER = "pickle 5"


def limit(family, level):
    """The target: at most this many times pickle 5's dumps+loads for kvt's pack+parse."""
    if family in VARINT_FAMILIES:
        return 4.0 if level == "scalar" else 1.5
    return 1.3


# ---- kernel levels ----


def kernel_levels():
    """(level names this CPU can run, lowest first; how they were found)."""
    import kvt

    levels = getattr(kvt, "kernel_levels", None)
    if callable(levels):
        return tuple(str(x) for x in levels()), "kvt.kernel_levels()"
    flags = environment.cpu_flags()
    found = ["scalar"]
    if all(f in flags for f in AVX2_FLAGS):
        found.append("avx2")
    if all(f in flags for f in AVX512_FLAGS):
        found.append("avx512")
    return tuple(found), "/proc/cpuinfo flags (this kvt build has no kvt.kernel_levels())"


def active_level():
    """(the level this process runs, how it was found)."""
    import kvt

    level = getattr(kvt, "kernel_level", None)
    if callable(level):
        return str(level()), "kvt.kernel_level()"
    return (
        os.environ.get(KERNEL_ENV, "unknown"),
        f"{KERNEL_ENV} of the child (this kvt build has no kvt.kernel_level())",
    )


# ---- the columns ----

DAY_NS = 86_400 * 10**9
EPOCH = int(data.EPOCH_NS)


def _integer_shapes(dtype):
    """[(shape, make(rows, rng))] of one integer type. Stored values are varints of the value
    (signed types: zigzag-mapped first): 1 byte up to 250, 3 up to 65,535, 5 up to 2**32 - 1,
    else 9; the uniform ranges are chosen so that about half of the values take each width."""
    dt = np.dtype(dtype)
    signed = dt.kind == "i"
    wide = dt.itemsize == 8
    info = np.iinfo(dt)
    ids_from = 10**12 if wide else 10**9
    walk_from = 0 if signed else 1 << 24

    def uniform(lo_signed, hi_signed, lo_unsigned, hi_unsigned):
        lo, hi = (lo_signed, hi_signed) if signed else (lo_unsigned, hi_unsigned)
        return lambda n, rng: rng.integers(lo, hi, n, endpoint=True).astype(dt)

    shapes = [
        ("constant", lambda n, rng: np.full(n, 123_456, dt)),
        ("sorted ids", lambda n, rng: (np.arange(n, dtype=np.int64) + ids_from).astype(dt)),
        ("small steps", lambda n, rng: np.cumsum(rng.integers(1, 11, n)).astype(dt)),
        # zigzag(-250..250) = 0..500; 0..500 unsigned: half 1 byte, half 3.
        ("uniform 1/3 B", uniform(-250, 250, 0, 500)),
        # zigzag(300..60,000) = 600..120,000; 300..131,000 unsigned: 3 and 5 bytes.
        ("uniform 3/5 B", uniform(300, 60_000, 300, 131_000)),
    ]
    if wide:
        # zigzag(-2**32..2**32) = 0..2**33; 2**31..3 * 2**31 unsigned: 5 and 9 bytes.
        shapes.append(("uniform 5/9 B", uniform(-(2**32), 2**32, 2**31, 3 * 2**31)))
    shapes += [
        ("lognormal quantities", lambda n, rng: (rng.lognormal(5.0, 1.5, n) + 1).astype(dt)),
        (
            "random walk",
            lambda n, rng: (walk_from + np.cumsum(rng.integers(-1000, 1001, n))).astype(dt),
        ),
    ]
    if signed:
        shapes.append(("both signs", lambda n, rng: np.rint(rng.normal(0, 1000, n)).astype(dt)))
    shapes.append(
        (
            "full range",
            lambda n, rng: rng.integers(info.min, info.max, n, dtype=dt, endpoint=True),
        )
    )
    return shapes


# Timestamps as int64 nanoseconds; each kind converts them to its unit.
DATETIME_SHAPES = (
    ("regular ticks 1 s", lambda n, rng: EPOCH + np.arange(n, dtype=np.int64) * 10**9),
    ("regular ticks 1 ms", lambda n, rng: EPOCH + np.arange(n, dtype=np.int64) * 10**6),
    ("jittered ticks 1 s ± 0.25 s", lambda n, rng: data.timestamps_ns(n, rng).view(np.int64)),
    ("random walk ns", lambda n, rng: EPOCH + np.cumsum(rng.integers(-1000, 1001, n))),
    ("sorted random (1 day)", lambda n, rng: np.sort(rng.integers(EPOCH, EPOCH + DAY_NS, n))),
    ("random (1 year)", lambda n, rng: rng.integers(EPOCH, EPOCH + 365 * DAY_NS, n)),
    ("constant", lambda n, rng: np.full(n, EPOCH, np.int64)),
    (
        "dates, 1,000 rows a day",
        lambda n, rng: EPOCH - EPOCH % DAY_NS + (np.arange(n, dtype=np.int64) // 1000) * DAY_NS,
    ),
)


def _datetime(make, unit):
    return lambda n, rng: make(n, rng).view("M8[ns]").astype(f"M8[{unit}]")


# Decimal mantissas (value × 10**scale, int64) of one scale: make(rows, rng, 10**scale).
DECIMAL_SHAPES = (
    (
        "price random walk",
        lambda n, rng, p: np.rint((100.0 + np.cumsum(rng.normal(0.0, 0.05, n))) * p),
    ),
    (
        "tick steps",
        lambda n, rng, p: (
            np.rint(100.0 * p) + np.cumsum(rng.integers(-1, 2, n) * (rng.random(n) < 0.3))
        ),
    ),
    ("uniform 0..1000", lambda n, rng, p: np.rint(rng.uniform(0.0, 1000.0, n) * p)),
    ("lognormal", lambda n, rng, p: np.rint(rng.lognormal(3.0, 1.0, n) * p)),
    ("both signs", lambda n, rng, p: np.rint(rng.normal(0.0, 100.0, n) * p)),
    ("constant", lambda n, rng, p: np.full(n, np.rint(187.1525 * p))),
)


def decimal_floats(mantissas, scale):
    """float64 values that are the mantissas at the scale: m / 10**scale, nudged by an ulp away
    from zero where m / 10**scale × 10**scale falls short of m (1.15 × 100 = 114.999...), so that
    packing (× 10**scale, cut toward zero) gives m back. Rounding them to the scale gives
    m / 10**scale exactly."""
    m = mantissas.astype(np.int64)
    power = 10.0**scale
    x = m / power
    for _ in range(4):
        bad = np.trunc(x * power) != m
        if not bad.any():
            return x
        x[bad] = np.nextafter(x[bad], np.copysign(np.inf, m[bad]))
    raise AssertionError(f"decimal values at scale {scale} do not pack back to their mantissas")


def _decimal(make, scale):
    return lambda n, rng: decimal_floats(make(n, rng, 10**scale), scale)


FLOAT_SHAPES = (
    ("random normal", lambda n, rng: rng.standard_normal(n)),
    ("smooth series", lambda n, rng: 100.0 + 10.0 * np.sin(np.arange(n) / 1000.0)),
)
BOOL_SHAPES = (
    ("random", lambda n, rng: rng.integers(0, 2, n).astype(np.bool_)),
    ("runs of 1,000", lambda n, rng: (np.arange(n) // 1000) % 2 == 0),
)

INTEGER_KINDS = ("int64", "int32", "uint32", "uint64")
DATETIME_KINDS = ("datetime64[ns]", "datetime64[us]")
DECIMAL_SCALES = (2, 4)


def decimal_kind(scale):
    return f"decimal scale {scale}"


def columns():
    """[(kind, family, shape, decimal scale or None, make(rows, rng))] in run order."""
    out = []
    for kind in INTEGER_KINDS:
        out += [(kind, "integer", shape, None, make) for shape, make in _integer_shapes(kind)]
    for kind in DATETIME_KINDS:
        unit = kind[len("datetime64[") : -1]
        out += [
            (kind, "datetime", shape, None, _datetime(make, unit))
            for shape, make in DATETIME_SHAPES
        ]
    for scale in DECIMAL_SCALES:
        out += [
            (decimal_kind(scale), "decimal", shape, scale, _decimal(make, scale))
            for shape, make in DECIMAL_SHAPES
        ]
    for kind, dtype in (("float64", np.float64), ("float32", np.float32)):
        out += [
            (
                kind,
                "float",
                shape,
                None,
                lambda n, rng, make=make, dtype=dtype: make(n, rng).astype(dtype),
            )
            for shape, make in FLOAT_SHAPES
        ]
    out += [("bool", "bool", shape, None, make) for shape, make in BOOL_SHAPES]
    return out


# ---- what the values cost in the frame ----


def _zigzag(v):
    v = v.astype(np.int64)
    return ((v << 1) ^ (v >> 63)).view(np.uint64)


def _varint_widths(u):
    """{bytes: count} of unsigned 64-bit values as varints."""
    edges = ((1, u <= 250), (3, u <= 0xFFFF), (5, u <= 0xFFFF_FFFF))
    out, counted = {}, 0
    for width, within in edges:
        count = int(within.sum()) - counted
        out[width] = count
        counted += count
    out[9] = len(u) - counted
    return {w: c for w, c in out.items() if c}


def stored_values(values, family, scale):
    """The unsigned values that the column stores as varints, or None (floats, bools): integers
    as they are (signed: zigzag), decimals as zigzag differences of the mantissas, timestamps (in
    microseconds) as zigzag differences divided by their greatest common divisor (the unit)."""
    if family == "integer":
        return _zigzag(values) if values.dtype.kind == "i" else values.astype(np.uint64)
    if family == "decimal":
        mantissas = np.rint(values * 10.0**scale).astype(np.int64)
        return _zigzag(np.diff(mantissas, prepend=np.int64(0)))
    if family == "datetime":
        us = values.astype("M8[us]").view(np.int64)
        steps = np.diff(us, prepend=np.int64(0))
        unit = int(np.gcd.reduce(np.abs(steps))) or 1
        return _zigzag(steps // unit)
    return None


def width_mix(values, family, scale):
    """ "1 B 50%, 3 B 50%": the share of each varint width among the stored values, or ""."""
    u = stored_values(values, family, scale)
    if u is None:
        return ""
    parts = []
    for width, count in sorted(_varint_widths(u).items()):
        share = 100.0 * count / len(u)
        parts.append(f"{width} B {share:.0f}%" if share >= 1 else f"{width} B <1%")
    return ", ".join(parts)


# ---- measuring (in the child) ----


def _expected(values, family, scale):
    """What kvt's parser gives back for `values`."""
    if family == "datetime":
        return values.astype("M8[us]")  # microseconds, nanoseconds cut off
    if family == "decimal":
        return np.round(values, scale)
    return values


def _check(kind, shape, got, want):
    if got.dtype != want.dtype or not np.array_equal(got, want):
        raise AssertionError(f"kvt round trip of {kind}, {shape}: {got.dtype} differs")


def measure_column(kvt_ext, kind, family, shape, scale, values, settings):
    """kvt pack and parse against pickle dumps and loads of one column -> result dict."""
    result = {
        "kind": kind,
        "family": family,
        "shape": shape,
        "scale": scale,
        "rows": len(values),
        "raw_bytes": values.nbytes,
        "widths": width_mix(values, family, scale),
    }
    args = ("x", [("c", values)], {"c": scale} if scale is not None else None)
    try:
        frame = kvt_ext.pack_table_frame(*args)
    except ValueError as e:
        if UNSUPPORTED not in str(e):
            raise
        result["rejected"] = str(e)
        return result
    body = frame[8:]
    _check(kind, shape, kvt_ext.parse_table_frame(body)[2][0][1], _expected(values, family, scale))
    blob = pickle.dumps(values, protocol=5)
    if not np.array_equal(pickle.loads(blob), values):
        raise AssertionError(f"pickle round trip of {kind}, {shape}")
    sizes = {"kvt": len(frame), PEER: len(blob)}
    del frame
    ops = [
        (("kvt", "pack"), lambda: kvt_ext.pack_table_frame(*args)),
        (("kvt", "parse"), lambda: kvt_ext.parse_table_frame(body)),
        ((PEER, "pack"), lambda: pickle.dumps(values, protocol=5)),
        ((PEER, "parse"), lambda: pickle.loads(blob)),
    ]
    for (who, op), st in measure_group(ops, settings).items():
        result.setdefault(who, {"size": sizes[who]})[op] = st.as_dict()
    result["ratio"] = _rt(result["kvt"]) / _rt(result[PEER])
    return result


def _rt(c):
    return c["pack"]["median"] + c["parse"]["median"]


def measure_tables(settings, log):
    """kvt.pack(df) and kvt.unpack(frame).to_pandas() against pickle 5 of each real table."""
    from . import frames

    out = []
    for key, (title, _, _) in frames.DATASETS.items():
        df, filled = frames.load_pandas(key)
        chosen = [frames.KvtPandas(key), frames.Pickle()]
        ops = []
        entry = {
            "dataset": key,
            "title": title,
            "rows": len(df),
            "columns": len(df.columns),
            "text filled with empty str": filled,
        }
        for c in chosen:
            message = c.pack(df)
            received = c.wire(message)
            frames.check_pandas(c.name, c.receive(received), df)
            entry[c.name] = {"size": c.size(message)}
            del message
            ops.append(((c.name, "pack"), lambda c=c, d=df: c.pack(d)))
            ops.append(((c.name, "parse"), lambda c=c, r=received: c.receive(r)))
        # One call per sample, its result freed after the clock stops.
        stats = measure_group(ops, Settings(settings.warmup, settings.reps, batch_target=0.0))
        for (who, op), st in stats.items():
            entry[who][op] = st.as_dict()
        entry["ratio"] = _rt(entry["kvt"]) / _rt(entry[PEER])
        log(
            f"    {title}: kvt pack {entry['kvt']['pack']['median'] * 1e3:.1f} + unpack "
            f"{entry['kvt']['parse']['median'] * 1e3:.1f} ms, pickle 5 "
            f"{entry[PEER]['pack']['median'] * 1e3:.1f} + "
            f"{entry[PEER]['parse']['median'] * 1e3:.1f} ms: ratio {entry['ratio']:.2f}"
        )
        out.append(entry)
        del df, chosen, ops, stats
    return out


def measure_level(rows, settings, tables, log):
    """Everything one child measures -> result dict (this process's level)."""
    import _kvt

    _kvt.set_local_zone(0)  # parsed timestamps are shifted by the local zone: none here
    level, how = active_level()
    log(f"  kernel level {level} ({how})")
    results = []
    by_kind = {}
    for index, (kind, family, shape, scale, make) in enumerate(columns()):
        values = make(rows, np.random.default_rng([SEED, index]))
        r = measure_column(_kvt, kind, family, shape, scale, values, settings)
        results.append(r)
        by_kind.setdefault(kind, []).append(r)
        del values
    for kind, rs in by_kind.items():
        ratios = [(r["ratio"], r["shape"]) for r in rs if "ratio" in r]
        if not ratios:
            log(f"    {kind}: kvt rejects it ({rs[0]['rejected']})")
            continue
        worst = max(ratios)
        log(
            f"    {kind}: {len(ratios)} shapes, kvt ÷ pickle 5 median "
            f"{statistics.median(r for r, _ in ratios):.2f}, worst {worst[0]:.2f} ({worst[1]})"
        )
    out = {
        "level": level,
        "level reported by": how,
        KERNEL_ENV: os.environ.get(KERNEL_ENV),
        "cpu model": environment.cpu_model(),
        "process": environment.process_info(environment.DEFAULT),
        "columns": results,
        "tables": measure_tables(settings, log) if tables else [],
    }
    return out


# ---- the summary ----


def summarize(levels):
    """Per level and kind: the median ratio over the shapes, the worst shape and its ratio, the
    target and whether every shape meets it."""
    out = []
    for lv in levels:
        by_kind = {}
        for r in lv["columns"]:
            by_kind.setdefault((r["kind"], r["family"]), []).append(r)
        for (kind, family), rs in by_kind.items():
            lim = limit(family, lv["requested"])
            measured = [r for r in rs if "ratio" in r]
            entry = {
                "level": lv["requested"],
                "reported level": lv["level"],
                "kind": kind,
                "family": family,
                "shapes": len(rs),
                "measured": len(measured),
                "limit": lim,
            }
            if measured:
                worst = max(measured, key=lambda r: r["ratio"])
                entry.update(
                    median=statistics.median(r["ratio"] for r in measured),
                    worst=worst["ratio"],
                    **{"worst shape": worst["shape"]},
                    met=worst["ratio"] <= lim,
                )
            else:
                entry.update(median=None, worst=None, met=None, rejected=rs[0].get("rejected"))
                entry["worst shape"] = None
            out.append(entry)
    return out


def summary_text(doc):
    """The summary as plain text, for stderr."""
    lines = [
        f"{NAME}: kvt pack+parse ÷ pickle 5 dumps+loads, {doc['rows']:,} rows a column, "
        f"CPU {doc['cpu']}"
    ]
    for lv in doc["levels"]:
        lines.append(
            f"  level {lv['requested']} (reported {lv['level']}, by {lv['level reported by']})"
        )
        lines.append(
            f"    {'kind':<18}{'median':>8}{'worst':>8}  {'worst shape':<28}{'target':>7}  met"
        )
        for s in doc["summary"]:
            if s["level"] != lv["requested"]:
                continue
            if s["median"] is None:
                lines.append(
                    f"    {s['kind']:<18}{'—':>8}{'—':>8}  {'not measured: kvt rejects it':<28}"
                    f"{s['limit']:>6g}x  —"
                )
                continue
            lines.append(
                f"    {s['kind']:<18}{s['median']:>8.2f}{s['worst']:>8.2f}  {s['worst shape']:<28}"
                f"{s['limit']:>6g}x  {'yes' if s['met'] else 'NO'}"
            )
        for t in lv["tables"]:
            lines.append(
                f"    table {t['title']}: kvt.pack + kvt.unpack().to_pandas() ÷ pickle 5 "
                f"{t['ratio']:.2f}"
            )
    lines.append(f"  ({doc['seconds']:.0f} s for the section)")
    return "\n".join(lines)


# ---- the parent ----


def settings_for(quick):
    if quick:
        return 100_000, Settings(warmup=1, reps=5, batch_target=0.005)
    return 1_000_000, Settings(warmup=2, reps=11, batch_target=0.01)


def run(quick, log, tables=True):
    """Measures every kernel level in its own child -> the section's result dict."""
    start = time.perf_counter()
    rows, settings = settings_for(quick)
    levels, how = kernel_levels()
    job = {
        "rows": rows,
        "settings": {
            "warmup": settings.warmup,
            "reps": settings.reps,
            "batch_target": settings.batch_target,
        },
        "tables": tables,
    }
    measured = []
    for level in levels:
        log(f"{NAME}: {environment.DEFAULT} (child, {KERNEL_ENV}={level})")
        t0 = time.perf_counter()
        child = environment.run_default_process(
            "bench.shapes", ["--job", json.dumps(job)], {KERNEL_ENV: level}
        )
        child["requested"] = level
        child["seconds"] = round(time.perf_counter() - t0, 1)
        measured.append(child)
    doc = {
        "name": NAME,
        "rows": rows,
        "settings": job["settings"],
        "cpu": environment.cpu_model(),
        "levels found by": how,
        "levels": measured,
        "summary": summarize(measured),
    }
    doc["seconds"] = round(time.perf_counter() - start, 1)
    log(summary_text(doc))
    return doc


def _log(text):
    print(text, file=sys.stderr, flush=True)


def _child(argv):
    out, job = environment.child_job(argv, "bench.shapes")  # rows, settings and tables
    result = measure_level(job["rows"], Settings(**job["settings"]), job["tables"], _log)
    with open(out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    _child(sys.argv[1:])
