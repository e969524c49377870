"""Benchmarks of the kvt table frame against peer formats and the hardware floor.

Run as ``python -m bench`` (``--quick`` for a sub-minute smoke run); ``make bench`` sets up the
peer environment and runs the full set, which rewrites docs/benchmarks.{md,json,png}.
"""
