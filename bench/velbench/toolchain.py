"""The two builds of velorium side by side: the portable wheel (zig's
compiler and libc++, what `pip install velorium` gets) against the build
from source with the system's g++ and libstdc++, on the same interpreter
and the same acquisition:

- decode: a whole run decoded in one process, `RawReader(path)` (the
  parallel store) and `Acquisition(path).peak_table()`;
- convert: the `velorium` command writing the run as zlib-compressed mzML.

Every measurement runs in a fresh process; the rounds alternate the builds
(and which goes first) so that a busy spell of the machine hits both alike.
Wall time and CPU time (all threads of the process) are both kept: on a
loaded machine the CPU time is the steadier of the two.
"""

from __future__ import annotations

import os
import resource
import sys
import time
from pathlib import Path

from .common import emit, log, ratio, run_step, summary
from .convert import run_velorium, velorium_command

BUILDS = ("system", "zig")


def child_decode(acquisition: str) -> None:
    """(child) one whole-run decode of each kind, timed in this process."""
    import velorium

    out = {"module": velorium.__file__}
    for name, decode in (("RawReader", lambda: velorium.RawReader(acquisition).scan_count),
                         ("peak_table", lambda: len(velorium.Acquisition(acquisition).peak_table()["mz"]))):
        t0, c0 = time.perf_counter(), time.process_time()
        count = decode()
        out[name] = {"seconds": time.perf_counter() - t0, "cpu_seconds": time.process_time() - c0, "count": count}
    out["peak_rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    emit(out)


def run(pythons: dict[str, str], acquisition: str, work: str, reps: int = 5) -> dict:
    """pythons: {"system": interpreter, "zig": interpreter}, each with its build of velorium installed."""
    if sorted(pythons) != sorted(BUILDS):
        raise ValueError(f"expected the builds {BUILDS}, got {sorted(pythons)}")
    work_dir = Path(work)
    work_dir.mkdir(parents=True, exist_ok=True)
    commands = {build: velorium_command(python) for build, python in pythons.items()}
    rounds: dict[str, dict[str, list[dict]]] = {b: {"RawReader": [], "peak_table": [], "convert": []} for b in BUILDS}
    modules = {}
    for i in range(reps):
        for build in (BUILDS if i % 2 == 0 else BUILDS[::-1]):
            log(f"{build} build, round {i + 1} of {reps}")
            decoded = run_step(pythons[build], ["toolchain-decode", acquisition])
            modules[build] = decoded["module"]
            for kind in ("RawReader", "peak_table"):
                rounds[build][kind].append(decoded[kind])
            rounds[build]["convert"].append(run_velorium(commands[build], acquisition,
                                                         str(work_dir / f"{build}.mzML")))
    if len(set(modules.values())) != 2:
        raise RuntimeError(f"both interpreters load the same module: {modules}")
    for kind in ("RawReader", "peak_table"):
        counts = {b: {r["count"] for r in rounds[b][kind]} for b in BUILDS}
        if counts["system"] != counts["zig"] or len(counts["system"]) != 1:
            raise RuntimeError(f"{kind}: the builds decoded different counts {counts}")
    if (work_dir / "system.mzML").read_bytes() != (work_dir / "zig.mzML").read_bytes():
        raise RuntimeError("the two builds wrote different mzML")
    out: dict = {"acquisition": acquisition, "python": sys.version.split()[0], "reps": reps, "modules": modules,
                 "cpus": len(os.sched_getaffinity(0)), "results": {}}
    for kind in ("RawReader", "peak_table", "convert"):
        entry = {}
        for build in BUILDS:
            entry[build] = {"seconds": summary([r["seconds"] for r in rounds[build][kind]]),
                            "cpu_seconds": summary([r["cpu_seconds"] for r in rounds[build][kind]])}
        # zig build / system build: above 1 the portable wheel is slower.
        entry["zig_over_system"] = {
            "seconds": ratio(entry["zig"]["seconds"]["min"], entry["system"]["seconds"]["min"]),
            "cpu_seconds": ratio(entry["zig"]["cpu_seconds"]["min"], entry["system"]["cpu_seconds"]["min"]),
        }
        out["results"][kind] = entry
    return out
