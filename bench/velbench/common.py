"""Timing, child processes, liblzf through ctypes, and result files."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

BENCH_DIR = Path(__file__).resolve().parents[1]
ROOT = BENCH_DIR.parent


# --- Timing ------------------------------------------------------------------


def timed_with_cpu(fn: Callable[[], Any]) -> tuple[float, float, Any]:
    """Wall-clock and CPU seconds (all threads of the process) of one call, with
    the garbage collector off during it, and its result."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        c0 = cpu_seconds()
        t0 = time.perf_counter()
        result = fn()
        wall = time.perf_counter() - t0
        return wall, cpu_seconds() - c0, result
    finally:
        if enabled:
            gc.enable()


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    """Wall-clock seconds of one call (garbage collector off during it) and its result."""
    wall, _, result = timed_with_cpu(fn)
    return wall, result


def cpu_seconds() -> float:
    """User and system CPU time of this process so far, summed over all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def interleaved(cases: dict[str, Callable[[], Any]], reps: int,
                cpu: dict[str, list[float]] | None = None) -> tuple[dict[str, list[float]], dict[str, Any]]:
    """Runs every case once per round, `reps` rounds, so that a slow spell of the
    machine hits all cases alike. Returns the wall-clock times per case and each
    case's last result; when `cpu` is given, the CPU time of each call (all
    threads of the process) is appended to cpu[name]."""
    times: dict[str, list[float]] = {name: [] for name in cases}
    results: dict[str, Any] = {}
    for _ in range(reps):
        for name, fn in cases.items():
            results.pop(name, None)  # the previous round's result goes before the next call
            dt, spent, results[name] = timed_with_cpu(fn)
            if cpu is not None:
                cpu.setdefault(name, []).append(spent)
            times[name].append(dt)
    return times, results


def summary(times: list[float]) -> dict[str, float]:
    """min (the least disturbed run, used for the ratios) and median of repeated timings."""
    return {"min": min(times), "median": statistics.median(times), "runs": len(times)}


def ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator > 0 else float("nan")


# --- Memory ------------------------------------------------------------------


def peak_rss_bytes() -> int:
    """Peak resident set size of this process so far (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# --- Child processes ---------------------------------------------------------


def run_step(python: str, args: list[str], env: dict[str, str] | None = None, timeout: float = 1800) -> Any:
    """Runs `python -m velbench ARGS` and returns the JSON it prints on its last stdout line."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(BENCH_DIR), full_env.get("PYTHONPATH")]))
    if env:
        full_env.update(env)
    proc = subprocess.run([python, "-m", "velbench", *args], env=full_env, capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"{python} -m velbench {' '.join(args)} failed ({proc.returncode}):\n{proc.stderr[-3000:]}")
    lines = proc.stdout.strip().splitlines()
    if not lines:
        raise RuntimeError(f"{python} -m velbench {' '.join(args)} printed nothing")
    return json.loads(lines[-1])


def emit(obj: Any) -> None:
    """The result of a step run in a child: one JSON line on stdout."""
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def write_json(path: str | Path, obj: Any) -> None:
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_text(json.dumps(obj, indent=2) + "\n")
    tmp.replace(path)


def read_json(path: str | Path) -> Any:
    return json.loads(Path(path).read_text())


def log(message: str) -> None:
    print(f"   {message}", file=sys.stderr, flush=True)


# --- liblzf ------------------------------------------------------------------


class LibLzf:
    """liblzf's lzf_decompress, loaded from the system library with ctypes."""

    def __init__(self) -> None:
        lib = None
        for name in ("liblzf.so.1", "liblzf.so", ctypes.util.find_library("lzf")):
            if not name:
                continue
            try:
                lib = ctypes.CDLL(name)
                self.name = name
                break
            except OSError:
                continue
        if lib is None:
            raise RuntimeError("liblzf is not installed (Debian package liblzf1)")
        fn = lib.lzf_decompress
        fn.restype = ctypes.c_uint
        fn.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]
        self._decompress = fn

    def decompress_into(self, block: bytes, out: Any, capacity: int) -> int:
        """Bytes written into `out` (a ctypes buffer), 0 on a malformed block or a short buffer."""
        return self._decompress(block, len(block), out, capacity)
