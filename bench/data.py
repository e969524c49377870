"""Workload data: the market table, single columns per kind and the one-row table.

A table is a named, ordered list of columns; every contender packs the same column objects. Text
columns are Python lists of str (the form the kvt packer takes); everything else is a NumPy array.
`decimals` names the columns that kvt packs as fixed-point decimals; the peers, which have no such
type in their NumPy path, carry the same float64 array as it is.
"""

from dataclasses import dataclass, field

import numpy as np

SEED = 20240607
EPOCH_NS = np.int64(1_700_000_000) * 1_000_000_000


@dataclass
class Table:
    name: str
    columns: list  # [(column name, ndarray or list of str)]
    decimals: dict = field(default_factory=dict)  # column name -> scale (kvt only)
    rows: int = 0
    raw_bytes: int = 0  # array bytes plus the UTF-8 bytes of every text item
    kind: str = ""  # column kind of a single-column table, "" for tables
    peers: bool = True  # False: only kvt packs this table (peers have no equivalent input)


def raw_size(columns):
    total = 0
    for _, col in columns:
        if isinstance(col, np.ndarray):
            total += col.nbytes
        else:
            total += sum(len(s.encode()) for s in col)
    return total


def _make(name, columns, decimals=None, kind="", peers=True):
    first = columns[0][1]
    return Table(name, columns, decimals or {}, len(first), raw_size(columns), kind, peers)


def symbols(count=500):
    """Ticker-like names, 3 to 6 upper-case letters, distinct."""
    rng = np.random.default_rng(SEED + 1)
    letters = np.array(list("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
    names = set()
    while len(names) < count:
        names.add("".join(rng.choice(letters, rng.integers(3, 7))))
    return sorted(names)


def timestamps_ns(rows, rng):
    """One second apart, each jittered by up to +-0.25 s (still increasing)."""
    jitter = rng.integers(-250_000_000, 250_000_001, rows)
    return (EPOCH_NS + np.arange(rows, dtype=np.int64) * 1_000_000_000 + jitter).view("M8[ns]")


def market(rows):
    """A trade tape: time, price, volume, flags, side, symbol, and the price again as decimals."""
    rng = np.random.default_rng(SEED)
    price = np.round(100.0 + np.cumsum(rng.normal(0.0, 0.05, rows)), 4)
    # The symbol column repeats 500 str objects, as a column built from a list of names does.
    names = symbols()
    pick = rng.integers(0, len(names), rows)
    columns = [
        ("time", timestamps_ns(rows, rng)),
        ("price", price),
        ("volume", rng.lognormal(5.0, 1.5, rows).astype(np.int64) + 1),
        ("flags", rng.integers(0, 16, rows, dtype=np.int32)),
        ("buy", rng.integers(0, 2, rows).astype(np.bool_)),
        ("symbol", [names[i] for i in pick]),
        ("price_dec", price.copy()),
    ]
    return _make(f"market {rows:,} rows", columns, {"price_dec": 4})


def tiny():
    """One row of the market table's seven columns: the per-call cost."""
    t = market(1)
    t.name = "tiny: 1 row x 7 columns"
    return t


def column_kinds(rows, str_rows):
    """One single-column table per kind (rows elements each; text uses str_rows)."""
    rng = np.random.default_rng(SEED + 2)
    ts_us = timestamps_ns(rows, rng).astype("M8[us]")
    words = symbols()
    # Separate str objects per item (as a reader of text would produce them), so that no format
    # profits from object identity (pickle's memo would write a shared object once).
    text = [words[i].encode().decode() for i in rng.integers(0, len(words), str_rows)]
    ids = [f"ORD-{x:010d}" for x in rng.permutation(str_rows) * 7919]
    kinds = [
        ("int64 small", np.arange(rows, dtype=np.int64) % 100, None, True),
        ("int64 large", rng.integers(-(2**63), 2**63 - 1, rows, dtype=np.int64), None, True),
        ("float64", rng.standard_normal(rows), None, True),
        ("int32", rng.integers(-(2**31), 2**31 - 1, rows, dtype=np.int32), None, True),
        ("bool", rng.integers(0, 2, rows).astype(np.bool_), None, True),
        ("datetime64[ns]", timestamps_ns(rows, rng), None, True),
        ("datetime64[us]", ts_us, None, True),
        ("datetime64[s]", (np.int64(1_700_000_000) + np.arange(rows)).astype("M8[s]"), None, True),
        ("decimal (float64, scale 4)", np.round(rng.uniform(0, 1000, rows), 4), 4, True),
        ("str (500 values)", text, None, True),
        ("str (unique)", ids, None, True),
        (
            "decimal (str list, scale 2)",
            [f"{x:.2f}" for x in rng.uniform(0, 1000, str_rows)],
            2,
            False,
        ),
    ]
    tables = []
    for kind, col, scale, peers in kinds:
        n = len(col)
        t = _make(f"{kind} x {n:,}", [("c", col)], {"c": scale} if scale else None, kind, peers)
        tables.append(t)
    return tables
