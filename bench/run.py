"""Runs the workloads: every contender and every floor of a workload in one measured group."""

import sys

from . import data, floors
from .contenders import check_roundtrip
from .timing import measure_group


def run_table(table, group, contenders, settings, log):
    log(f"  {table.name} ({table.raw_bytes / 1e6:.1f} MB of column data)")
    ops = []
    held = {}
    sizes = {}
    for c in contenders:
        if c.name != "kvt" and not table.peers:
            continue
        args = c.inputs(table)
        packed = c.pack(args)
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
        "kind": table.kind,
        "rows": table.rows,
        "columns": len(table.columns),
        "raw_bytes": table.raw_bytes,
        "decimals": table.decimals,
        "contenders": {},
        "floors": {},
    }
    for (who, what), st in stats.items():
        if who == "floor":
            result["floors"][what] = st.as_dict()
        else:
            entry = result["contenders"].setdefault(who, {"size": sizes[who]})
            entry[what] = st.as_dict()
    kvt = result["contenders"]["kvt"]
    log(
        f"    kvt pack {kvt['pack']['median'] * 1e3:.3f} ms, parse "
        f"{kvt['parse']['median'] * 1e3:.3f} ms, frame {kvt['size']:,} bytes"
    )
    return result


def _log(text):
    print(text, file=sys.stderr, flush=True)


def run_all(contenders, settings, sizes, only=None, log=_log):
    def wanted(table):
        return not only or only in table.name

    results = []
    log(f"market table, {sizes['market']:,} rows")
    table = data.market(sizes["market"])
    if wanted(table):
        results.append(run_table(table, "market", contenders, settings, log))
    log("tiny table")
    table = data.tiny()
    if wanted(table):
        results.append(run_table(table, "tiny", contenders, settings, log))
    log(f"single columns, {sizes['column']:,} elements ({sizes['str']:,} for text)")
    tables = data.column_kinds(sizes["column"], sizes["str"])
    while tables:
        table = tables.pop(0)
        if wanted(table):
            results.append(run_table(table, "column", contenders, settings, log))
    return results
