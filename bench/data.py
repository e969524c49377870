"""Workload data: the market table, the one-row table and single columns per kind.

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


def market_name(rows):
    return f"market {rows:,} rows"


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
    return _make(market_name(rows), columns, {"price_dec": 4})


TINY_NAME = "tiny: 1 row x 7 columns"


def tiny():
    """One row of the market table's seven columns: the per-call cost."""
    t = market(1)
    t.name = TINY_NAME
    return t


def _small(dtype):
    return lambda n, rng: (np.arange(n, dtype=np.int64) % 100).astype(dtype)


def _wide(dtype):
    info = np.iinfo(dtype)
    return lambda n, rng: rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)


def _text_repeats(n, rng):
    words = symbols()
    # Separate str objects per item (as a reader of text would produce them), so that no format
    # profits from object identity (pickle's memo would write a shared object once).
    return [words[i].encode().decode() for i in rng.integers(0, len(words), n)]


def _text_distinct(n, rng):
    return [f"ORD-{x:010d}" for x in rng.permutation(n) * 7919]


def _ts(unit):
    return lambda n, rng: timestamps_ns(n, rng).astype(f"M8[{unit}]")


# (kind, make(rows, rng), kvt decimal scale or None, peers take it too)
COLUMN_KINDS = (
    ("int64 small", _small(np.int64), None, True),
    ("int64 wide", _wide(np.int64), None, True),
    ("int32 small", _small(np.int32), None, True),
    ("int32 wide", _wide(np.int32), None, True),
    ("uint32 small", _small(np.uint32), None, True),
    ("uint32 wide", _wide(np.uint32), None, True),
    ("uint64 small", _small(np.uint64), None, True),
    ("uint64 wide", _wide(np.uint64), None, True),
    ("float64", lambda n, rng: rng.standard_normal(n), None, True),
    ("float32", lambda n, rng: rng.standard_normal(n, dtype=np.float32), None, True),
    ("bool", lambda n, rng: rng.integers(0, 2, n).astype(np.bool_), None, True),
    ("datetime64[s]", _ts("s"), None, True),
    ("datetime64[ms]", _ts("ms"), None, True),
    ("datetime64[us]", _ts("us"), None, True),
    ("datetime64[ns]", _ts("ns"), None, True),
    (
        "decimal (float64, scale 4)",
        lambda n, rng: np.round(rng.uniform(0, 1000, n), 4),
        4,
        True,
    ),
    ("str (500 values, repeated)", _text_repeats, None, True),
    ("str (distinct)", _text_distinct, None, True),
    (
        "decimal (str list, scale 2)",
        lambda n, rng: [f"{x:.2f}" for x in rng.uniform(0, 1000, n)],
        2,
        False,
    ),
)


def column_name(kind, rows):
    return f"{kind} x {rows:,}"


def column_tables(rows):
    """[(name, kind, build)] of one single-column table per kind, `rows` elements each; build()
    makes the table. Each kind draws from its own seeded generator, so a table is the same
    whichever others are built."""
    out = []
    for index, (kind, make, scale, peers) in enumerate(COLUMN_KINDS):

        def build(kind=kind, make=make, scale=scale, peers=peers, index=index):
            col = make(rows, np.random.default_rng([SEED + 2, index]))
            decimals = {"c": scale} if scale else None
            return _make(column_name(kind, rows), [("c", col)], decimals, kind, peers)

        out.append((column_name(kind, rows), kind, build))
    return out
