"""Runs the workloads: every contender and every floor of a workload in one measured group, in two
conditions.

- Default process (first): a child interpreter, `python -m bench.run --child OUT --job JSON`,
  started by `environment.run_default_process` without any allocator setting and without the
  small-object ballast, pinned to the parent's core. It measures the market table, the tiny table
  and the single columns of the default-process lengths, and writes its results to OUT.
- Warm heap: the benchmark process itself, after the restart with the allocator settings and the
  ballast, measures the same workloads and the single columns of the warm-heap lengths.

A workload is named before its data is made (`plan`), so `--only` builds only what it runs.
"""

import json
import sys
import time

from . import contenders as contenders_mod
from . import data, environment, floors
from .contenders import check_roundtrip
from .timing import Settings, measure_group

UNSUPPORTED = "unsupported data type"


def _kvt_pack_or_reason(c, args):
    """(packed, None), or (None, reason) when kvt's build rejects the column's type."""
    try:
        return c.pack(args), None
    except ValueError as e:
        if c.name == "kvt" and UNSUPPORTED in str(e):
            return None, str(e)
        raise


def run_table(table, group, condition, contenders, settings, log, peers=True):
    log(f"  {table.name} ({table.raw_bytes / 1e6:.1f} MB of column data)")
    ops = []
    held = {}
    sizes = {}
    rejected = None
    for c in contenders:
        if c.name != "kvt" and not (table.peers and peers):
            continue
        args = c.inputs(table)
        packed, reason = _kvt_pack_or_reason(c, args)
        if packed is None:
            rejected = reason
            log(f"    kvt: {reason} (not measured)")
            continue
        received = c.received(packed)
        check_roundtrip(c, table, c.parse(received))
        sizes[c.name] = c.size(packed)
        del packed
        held[c.name] = (args, received)
        ops.append(((c.name, "pack"), lambda c=c, a=args: c.pack(a)))
        ops.append(((c.name, "parse"), lambda c=c, r=received: c.parse(r)))
    for name, fn in floors.floors_for(table):
        ops.append((("floor", name), fn))
    stats = measure_group(ops, settings)
    result = {
        "name": table.name,
        "group": group,
        "condition": condition,
        "kind": table.kind,
        "rows": table.rows,
        "columns": len(table.columns),
        "raw_bytes": table.raw_bytes,
        "decimals": table.decimals,
        "contenders": {},
        "floors": {},
    }
    if rejected:
        result["kvt rejected"] = rejected
    for (who, what), st in stats.items():
        if who == "floor":
            result["floors"][what] = st.as_dict()
        else:
            entry = result["contenders"].setdefault(who, {"size": sizes[who]})
            entry[what] = st.as_dict()
    kvt = result["contenders"].get("kvt")
    if kvt:
        base = result["floors"].get(floors.RAW_COPY) or result["floors"][floors.TABLE_COPY]
        log(
            f"    kvt pack {kvt['pack']['median'] * 1e3:.3f} ms, parse "
            f"{kvt['parse']['median'] * 1e3:.3f} ms (÷ copy {kvt['pack']['median'] / base['median']:.2f}"
            f", {kvt['parse']['median'] / base['median']:.2f}), frame {kvt['size']:,} bytes"
        )
    return result


def _log(text):
    print(text, file=sys.stderr, flush=True)


def plan(sizes, role):
    """[(name, group, build, peers)] of one condition ("default" or "warm"), in run order.

    sizes: {"market": rows, "columns": {"default": [rows, ...], "warm": [rows, ...]},
    "column peers": rows (the peers pack single columns of this length, warm heap only)}.
    """
    rows = sizes["market"]
    items = [
        (data.market_name(rows), "market", lambda: data.market(rows), True),
        (data.TINY_NAME, "tiny", data.tiny, True),
    ]
    for n in sizes["columns"][role]:
        peers = role == "warm" and n == sizes.get("column peers")
        for name, _kind, build in data.column_tables(n):
            items.append((name, "column", build, peers))
    return items


def wanted(name, only):
    return not only or only in name


def run_condition(condition, role, contenders, settings, sizes, only=None, log=_log):
    results = []
    last_group = None
    for name, group, build, peers in plan(sizes, role):
        if not wanted(name, only):
            continue
        if group != last_group:
            log(f"{condition}: {group}")
            last_group = group
        start = time.perf_counter()
        table = build()
        result = run_table(table, group, condition, contenders, settings, log, peers)
        result["seconds"] = round(time.perf_counter() - start, 1)
        log(f"    ({result['seconds']:.1f} s with the data)")
        results.append(result)
        del table
    return results


def run_default_process(settings, sizes, only=None, log=_log):
    """Measures the workloads of the default process in a child interpreter -> (results, process
    info); ([], None) when `only` leaves none of them."""
    if not any(wanted(name, only) for name, *_ in plan(sizes, "default")):
        return [], None
    log(f"{environment.DEFAULT}: child interpreter, no allocator settings, no ballast")
    job = {
        "settings": {
            "warmup": settings.warmup,
            "reps": settings.reps,
            "batch_target": settings.batch_target,
        },
        "sizes": sizes,
        "only": only,
    }
    out = environment.run_default_process("bench.run", ["--job", json.dumps(job)])
    return out["results"], out["process"]


def _child(argv):
    out, job = environment.child_job(argv, "bench.run")  # settings, sizes and --only text
    chosen = contenders_mod.all_contenders()
    results = run_condition(
        environment.DEFAULT,
        "default",
        chosen,
        Settings(**job["settings"]),
        job["sizes"],
        job["only"],
        _log,
    )
    with open(out, "w") as f:
        json.dump({"results": results, "process": environment.process_info(environment.DEFAULT)}, f)


if __name__ == "__main__":
    _child(sys.argv[1:])
