"""Timing: warm-up, repeated samples, median and spread.

All operations of one workload are measured together: each is warmed up first, then the samples
are taken round-robin (one sample of every operation per round), so a change in background load
during the run touches every contender alike and the ratios within a run stay comparable.

A sample times one call, or, for calls shorter than a tenth of the batch target, a batch of calls
whose mean is the sample. The result of a single timed call is released after the clock stops, so
a parser is not charged for freeing what it returned. The cyclic garbage collector is off while
timing and runs between workloads.
"""

import gc
import math
import statistics
import time
from dataclasses import asdict, dataclass


@dataclass
class Stats:
    median: float  # seconds per call
    min: float
    max: float
    q1: float
    q3: float
    samples: int
    batch: int  # calls per sample

    def as_dict(self):
        return asdict(self)


@dataclass
class Settings:
    warmup: int = 3
    reps: int = 9
    batch_target: float = 0.02  # seconds; shorter calls are batched up to about this


def _once(fn):
    t0 = time.perf_counter_ns()
    out = fn()
    t1 = time.perf_counter_ns()
    del out
    return (t1 - t0) * 1e-9


def _batch(fn, count):
    t0 = time.perf_counter_ns()
    for _ in range(count):
        fn()
    return (time.perf_counter_ns() - t0) * 1e-9 / count


def _sample(fn, count):
    return _once(fn) if count == 1 else _batch(fn, count)


def measure_group(ops, settings):
    """ops: [(key, zero-argument callable)] -> {key: Stats}."""
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        batches = {}
        for key, fn in ops:
            first = min(_once(fn) for _ in range(max(1, settings.warmup)))
            count = 1
            if first < settings.batch_target / 10:
                count = max(1, math.ceil(settings.batch_target / max(first, 1e-8)))
                for _ in range(settings.warmup):
                    _batch(fn, count)
            batches[key] = count
        samples = {key: [] for key, _ in ops}
        for _ in range(settings.reps):
            for key, fn in ops:
                samples[key].append(_sample(fn, batches[key]))
    finally:
        if was_enabled:
            gc.enable()
    gc.collect()
    out = {}
    for key, values in samples.items():
        q = statistics.quantiles(values, n=4) if len(values) > 1 else [values[0]] * 3
        out[key] = Stats(
            statistics.median(values),
            min(values),
            max(values),
            q[0],
            q[2],
            len(values),
            batches[key],
        )
    return out
