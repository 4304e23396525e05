"""The two builds of velorium side by side: the portable wheel (zig's
compiler and libc++, what `pip install velorium` gets) against the build
from source with the system's g++ and libstdc++, on the same interpreter
and the same acquisition:

- decode: a whole run decoded in one process, `RawReader(path)` (the
  parallel store) and `Acquisition(path).peak_table()`;
- convert: the `velorium` command writing the run as zlib-compressed mzML;
- the portable wheel's size.

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


def run(pythons: dict[str, str], acquisition: str, work: str, reps: int = 5, wheel: str | None = None) -> dict:
    """pythons: {"system": interpreter, "zig": interpreter}, each with its build of velorium installed;
    wheel: the portable wheel installed in the second."""
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
    if wheel:
        out["wheel"] = {"name": Path(wheel).name, "bytes": Path(wheel).stat().st_size}
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


# --- Report ------------------------------------------------------------------

ORDER = 120

SPEED_GOAL = 1.05          # the portable build within 5 % of the system compiler's
WHEEL_GOAL_MIB = 1.5       # as scripts/wheel-check.sh enforces

KINDS = {"RawReader": "whole decode, `RawReader(path)`", "peak_table": "whole decode, `Acquisition(path).peak_table()`",
         "convert": "`velorium convert` to mzML (zlib)"}


def report(results):
    from .summary import NOT_TIMED, MiB, Part, Row, mib, quote, ratio_row, secs, table, verdict

    t = results.one("toolchain")
    if not t:
        return None
    n = t["cpus"]
    name = Path(t["acquisition"]).name.removesuffix(".d")
    part = Part("The portable wheel against the system compiler's build", "")
    rows = []
    for kind, what in KINDS.items():
        r = t["results"][kind]
        for build in BUILDS:
            rows.append([what, "portable wheel (zig, libc++)" if build == "zig" else "system g++ and libstdc++",
                         secs(r[build]["seconds"]["min"]), secs(r[build]["seconds"]["median"]),
                         secs(r[build]["cpu_seconds"]["min"])])
        ratios = r["zig_over_system"]
        part.add(ratio_row(f"Portable wheel's build ÷ the system g++ build: {what}, `{name}`", ratios["seconds"],
                           ratios["cpu_seconds"], f"{n} each", SPEED_GOAL, False, "CPU"),
                 f"Portable build, {what}",
                 f"The build of the portable wheel took {secs(r['zig']['cpu_seconds']['min'])} of CPU time against "
                 f"{secs(r['system']['cpu_seconds']['min'])} for the g++ build ({secs(r['zig']['seconds']['min'])} "
                 f"and {secs(r['system']['seconds']['min'])} of wall-clock time), least of {t['reps']} alternating "
                 "rounds.")
    part.text = (f"The same interpreter (Python {t['python']}) with velorium built two ways, on `{name}`: the "
                 "portable wheel (zig's C/C++ compiler, its static libc++, `pip install velorium`) and the build from "
                 f"source with the system's g++ and libstdc++. Every measurement in a fresh process, {t['reps']} "
                 f"rounds that alternate the builds and which goes first; both decode and write on {n} threads. The "
                 "two builds decoded the same counts and wrote the same mzML bytes.\n\n")
    part.text += table(["", "Build", "Best (wall)", "Median (wall)", "CPU time (least)"], rows, "llrrr")
    w = t.get("wheel")
    if w:
        part.add(Row(f"Portable wheel's size, `{w['name']}`", mib(w["bytes"]), NOT_TIMED, "—",
                     f"≤ {WHEEL_GOAL_MIB:g} MiB", verdict(w["bytes"] / MiB, WHEEL_GOAL_MIB, False)),
                 "Portable wheel's size", f"`{w['name']}` is {w['bytes'] / 1024:,.0f} KiB; "
                 "`scripts/wheel-check.sh` fails the test command on it too.")
        part.text += "\n\n" + quote("wheel-size", f"The x86_64 wheel for CPython {t['python'].rsplit('.', 1)[0]} "
                                      f"built in the latest benchmark run, `{w['name']}`, is "
                                      f"{w['bytes'] / 1024:,.0f} KiB.")
    return part

