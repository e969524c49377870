"""python -m bench [--quick] [--out DIR] [--only TEXT] [--default-rows N,N] [--no-reexec]
                  [--render JSON]

Measures kvt against pyarrow IPC, pickle 5, msgpack-numpy and NumPy .npy, and against the
hardware floor, on one pinned core, in two conditions: first a default process (a child
interpreter with no allocator settings and no small-object ballast: what users run), then the
warm heap (this process, restarted with the allocator settings of environment.ENV). The market
and tiny tables and the single columns of 1M and 10M rows run in both (`--default-rows 1000000`
leaves the 10M columns to the warm heap, about 2 of the 7 minutes). Then DataFrame round trips
(pandas, polars) of real tables, default process first; frames over ZeroMQ and Redis Streams
against pickle 5 (`--only brokers`); then every column kind in many shapes of data, and the real
tables, against pickle 5 at every kernel level the CPU has, each level in a default process of its
own (`--only shapes`, bench/shapes.py). Writes benchmarks.md, benchmarks.json and benchmarks.png.

`--only TEXT` runs the workloads whose name contains TEXT (in both conditions), e.g. `market`,
`tiny`, `float64`, `str (distinct)`, `x 1,000,000`, `frames`, `brokers`, `shapes`.
The full run writes to docs/; --quick (a tenth of the sizes, fewer rounds, about a minute)
writes to build/bench-quick/ unless --out is given. --render rewrites the Markdown and the chart
from a recorded benchmarks.json without measuring.
"""

import argparse
import sys
import time

from . import environment


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="python -m bench",
        description="Benchmarks kvt against peer formats and the hardware floor.",
    )
    p.add_argument("--quick", action="store_true", help="small sizes and few rounds")
    p.add_argument("--out", help="output directory (default docs, or build/bench-quick)")
    p.add_argument("--only", help="run only workloads whose name contains this text")
    p.add_argument(
        "--no-reexec",
        action="store_true",
        help="keep the current allocator settings (no warm-heap restart)",
    )
    p.add_argument(
        "--default-rows",
        metavar="N,N",
        help="single-column lengths of the default process (default: the same two as the warm "
        "heap; the larger one is most of its time)",
    )
    p.add_argument(
        "--render",
        metavar="JSON",
        help="only rewrite benchmarks.md/png beside JSON from its recorded results",
    )
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.render:
        import json
        import os

        from . import report, targets

        with open(args.render) as f:
            doc = json.load(f)
        # The targets are evaluated again, so that a change of target shows on recorded figures.
        doc["targets"] = targets.evaluate(doc["results"], doc.get("frames") or []) + (
            targets.shape_targets(doc.get("shapes")) if doc.get("shapes") else []
        )
        report.write(doc, args.out or os.path.dirname(args.render) or ".")
        return
    if not args.no_reexec:
        environment.reexec_with_env()

    from . import brokers, contenders, floors, frames, report, run, shapes, targets
    from .timing import Settings

    if args.quick:
        settings = Settings(warmup=2, reps=5, batch_target=0.005)
        sizes = {
            "market": 100_000,
            "columns": {"default": [100_000, 1_000_000], "warm": [100_000, 1_000_000]},
            "column peers": 100_000,
        }
        ballast = 64
    else:
        settings = Settings(warmup=3, reps=15, batch_target=0.02)
        sizes = {
            "market": 1_000_000,
            "columns": {"default": [1_000_000, 10_000_000], "warm": [1_000_000, 10_000_000]},
            "column peers": 1_000_000,
        }
        ballast = 512
    if args.default_rows:
        sizes["columns"]["default"] = [int(n) for n in args.default_rows.split(",") if n]
    out_dir = args.out or ("build/bench-quick" if args.quick else "docs")

    start = time.perf_counter()
    cpu = environment.pin_cpu()
    machine = environment.machine_info(cpu, floors.CRC_IMPL)
    for k, v in machine.items():
        print(f"{k:>25}: {v}", file=sys.stderr)

    # The default process first, in a child that has none of this process's allocator settings.
    results, default_process = run.run_default_process(settings, sizes, only=args.only)
    processes = [default_process] if default_process else []
    # Then the warm heap: this process, with the ballast.
    environment.warm_small_objects(ballast)
    condition = environment.this_condition()
    chosen = contenders.all_contenders()
    warm = run.run_condition(condition, "warm", chosen, settings, sizes, only=args.only)
    if warm:
        processes.append(environment.process_info(condition))
    results += warm
    frame_results = []
    if not args.only or args.only in frames.NAME:
        frame_settings = Settings(warmup=1, reps=5) if args.quick else settings
        frame_results = frames.run_both(frame_settings, run._log)
    broker_result = None
    if not args.only or args.only in brokers.NAME:
        run._log(f"{brokers.NAME}: default process (child, with a sender process)")
        broker_result = brokers.run_default_process(args.quick, 1 if args.quick else 3)
    shape_result = None
    if not args.only or args.only in shapes.NAME:
        shape_result = shapes.run(args.quick, run._log)
    doc = {
        "machine": machine,
        "settings": {
            "quick": args.quick,
            "warmup": settings.warmup,
            "reps": settings.reps,
            "batch_target": settings.batch_target,
            "sizes": sizes,
            "ballast_mib": ballast,
        },
        "processes": processes,
        "results": results,
        "frames": frame_results,
        "brokers": broker_result,
        "shapes": shape_result,
        "targets": targets.evaluate(results, frame_results) + targets.shape_targets(shape_result),
        "rates": targets.value_rates(results),
    }
    report.write(doc, out_dir)
    print(report.targets_table(doc["targets"]))
    print(
        f"\nwrote {out_dir}/benchmarks.{{md,json,png}} in {time.perf_counter() - start:.0f} s",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
