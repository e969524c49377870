"""python -m bench [--quick] [--out DIR] [--only TEXT] [--no-reexec] [--render JSON]

Measures kvt against pyarrow IPC, pickle 5, msgpack-numpy and NumPy .npy, and against the
hardware floor, on one pinned core, then DataFrame round trips (pandas, polars) of a real table
in a default process and in the warm heap; writes benchmarks.md, benchmarks.json and
benchmarks.png. `--only frames` runs the DataFrame round trips alone.
The full run writes to docs/; --quick (small sizes, fewer rounds, under a minute) writes to
build/bench-quick/ unless --out is given. --render rewrites the Markdown and the chart from a
recorded benchmarks.json without measuring.
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

        from . import report

        with open(args.render) as f:
            report.write(json.load(f), args.out or os.path.dirname(args.render) or ".")
        return
    if not args.no_reexec:
        environment.reexec_with_env()

    from . import contenders, floors, frames, report, run, targets
    from .timing import Settings

    if args.quick:
        settings = Settings(warmup=2, reps=5, batch_target=0.005)
        sizes = {"market": 100_000, "column": 1_000_000, "str": 100_000}
        ballast = 64
    else:
        settings = Settings(warmup=3, reps=15, batch_target=0.02)
        sizes = {"market": 1_000_000, "column": 10_000_000, "str": 1_000_000}
        ballast = 512
    out_dir = args.out or ("build/bench-quick" if args.quick else "docs")

    start = time.perf_counter()
    cpu = environment.pin_cpu()
    environment.warm_small_objects(ballast)
    machine = environment.machine_info(cpu, floors.CRC_IMPL)
    for k, v in machine.items():
        print(f"{k:>15}: {v}", file=sys.stderr)

    chosen = contenders.all_contenders()
    results = run.run_all(chosen, settings, sizes, only=args.only)
    frame_results = []
    if not args.only or args.only in frames.NAME:
        frame_settings = Settings(warmup=1, reps=5) if args.quick else settings
        frame_results = frames.run_both(frame_settings, run._log)
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
        "results": results,
        "frames": frame_results,
        "targets": targets.evaluate(results, frame_results),
        "rates": targets.value_rates(results),
    }
    report.write(doc, out_dir)
    print(report.targets_table(doc["targets"]))
    print()
    print(report.rates_table(doc["rates"]))
    print(
        f"\nwrote {out_dir}/benchmarks.{{md,json,png}} in {time.perf_counter() - start:.0f} s",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
