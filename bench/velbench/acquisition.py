"""Acquisition against what a user would use instead, side by side:

- opening: `Acquisition(path)` plus its scan table, against `RawReader(path)`,
  the only other way to the run's metadata and scan list;
- random access: `acq[i]` over random indices, against Reader::spectrum on
  the same indices in C++ (velorium_spectrum_time, one thread each);
- a pass over the run: `acq.spectra()` against `iter_spectra(path)`;
- memory: peak RSS of `acq.spectra()` over the 100 MB and the 1 GB runs,
  each in a fresh process.
"""

from __future__ import annotations

import os
import random
import resource
import subprocess

from .common import cpu_seconds, emit, interleaved, peak_rss_bytes, ratio, run_step, summary, timed

RANDOM_SPECTRA = 200


def open_and_table(velorium, path: str):
    acq = velorium.Acquisition(path)
    # The scan table where the module has it; the scan index otherwise.
    table = acq.scan_table() if hasattr(acq, "scan_table") else acq.scan_index()
    return acq, table


def cpp_random(tool: str, path: str, indices: list[int], rounds: int) -> dict:
    proc = subprocess.run([tool, path, str(rounds)], input="\n".join(map(str, indices)) + "\n",
                          capture_output=True, text=True, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"{tool} failed ({proc.returncode}): {proc.stderr.strip()}")
    import json

    return json.loads(proc.stdout.strip().splitlines()[-1])


def cpu_and_faults(fn) -> dict:
    before = resource.getrusage(resource.RUSAGE_SELF)
    fn()
    after = resource.getrusage(resource.RUSAGE_SELF)
    return {"cpu_seconds": (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime),
            "minor_faults": after.ru_minflt - before.ru_minflt}


def run(python: str, small: str, large: str, tool: str, reps: int) -> dict:
    import velorium

    out: dict = {"path": large, "python_has_scan_table": hasattr(velorium.Acquisition, "scan_table")}

    # Memory of a pass, each run in a fresh process. First, while this process
    # is small: Linux keeps the peak RSS across fork and exec.
    out["memory"] = {"small": run_step(python, ["acquisition-rss", small]),
                     "large": run_step(python, ["acquisition-rss", large])}
    out["memory_difference"] = out["memory"]["large"]["peak_rss"] - out["memory"]["small"]["peak_rss"]

    # Opening. RawReader decodes the whole run, so it gets fewer rounds.
    timed(lambda: velorium.RawReader(large))  # page cache and allocator warm
    open_cpu: dict[str, list[float]] = {}
    open_times, _ = interleaved({"acquisition": lambda: open_and_table(velorium, large)}, reps, open_cpu)
    raw_times, _ = interleaved({"rawreader": lambda: velorium.RawReader(large)}, max(1, min(reps, 3)), open_cpu)
    more, _ = interleaved({"acquisition": lambda: open_and_table(velorium, large)}, reps, open_cpu)
    open_times["acquisition"] += more["acquisition"]
    out["open"] = {"acquisition": summary(open_times["acquisition"]), "rawreader": summary(raw_times["rawreader"])}
    out["open_cpu"] = {name: min(v) for name, v in open_cpu.items()}
    out["open_ratio"] = ratio(out["open"]["acquisition"]["min"], out["open"]["rawreader"]["min"])
    out["open_cpu_ratio"] = ratio(out["open_cpu"]["acquisition"], out["open_cpu"]["rawreader"])

    # Random access, one spectrum at a time on one thread in both.
    acq = velorium.Acquisition(large)
    out["scans"] = len(acq)
    indices = random.Random(7).choices(range(len(acq)), k=RANDOM_SPECTRA)

    def python_random() -> int:
        return sum(len(acq[i]) for i in indices)

    # Interleaved rounds: one C++ process (it opens the run and times two
    # rounds, the better one counts: its heap is warm then, as this
    # process's is), then one Python round, and again.
    cpp_times: list[float] = []
    cpp_cpu: list[float] = []
    py_times: list[float] = []
    py_cpu: dict[str, list[float]] = {}
    python_random()  # warm
    for _ in range(2 * reps):
        cpp = cpp_random(tool, large, indices, 2)
        round_times, round_results = interleaved({"python": python_random}, 1, py_cpu)
        points = round_results["python"]
        if points != cpp["points"]:
            raise RuntimeError(f"acq[i] gave {points} points, C++ {cpp['points']}")
        cpp_times.append(cpp["min"])
        cpp_cpu.append(cpp.get("cpu_min", float("nan")))
        py_times += round_times["python"]
    out["random"] = {"spectra": len(indices), "points": points, "python": summary(py_times),
                     "cpp": summary(cpp_times), "cpu": {"python": min(py_cpu["python"]), "cpp": min(cpp_cpu)}}
    out["random_ratio"] = ratio(out["random"]["python"]["min"], out["random"]["cpp"]["min"])
    out["random_cpu_ratio"] = ratio(out["random"]["cpu"]["python"], out["random"]["cpu"]["cpp"])

    # A pass over the whole run.
    def spectra() -> int:
        return sum(len(s) for s in velorium.Acquisition(large).spectra())

    def stream() -> int:
        return sum(len(s) for s in velorium.iter_spectra(large))

    pass_cpu: dict[str, list[float]] = {}
    pass_times, pass_results = interleaved({"spectra": spectra, "iter_spectra": stream}, reps, pass_cpu)
    if pass_results["spectra"] != pass_results["iter_spectra"]:
        raise RuntimeError("spectra() and iter_spectra disagree on the points")
    out["pass"] = {name: summary(t) for name, t in pass_times.items()}
    out["pass"]["points"] = pass_results["spectra"]
    out["pass_speedup"] = ratio(out["pass"]["iter_spectra"]["min"], out["pass"]["spectra"]["min"])
    out["pass_cpu_speedup"] = ratio(min(pass_cpu["iter_spectra"]), min(pass_cpu["spectra"]))
    out["threads"] = len(os.sched_getaffinity(0))
    # The processor time of one more pass of each (all threads: user + system)
    # and the page faults it took, which a loaded machine does not blur.
    out["pass_cpu"] = {name: cpu_and_faults(fn) for name, fn in (("spectra", spectra), ("iter_spectra", stream))}

    return out


def rss_child(path: str) -> None:
    import velorium

    baseline = peak_rss_bytes()
    points = scans = 0
    for s in velorium.Acquisition(path).spectra():
        points += len(s)
        scans += 1
    emit({"path": path, "baseline_rss": baseline, "peak_rss": peak_rss_bytes(), "scans": scans, "points": points,
          "decoded_bytes": 12 * points})


# --- Report ------------------------------------------------------------------

ORDER = 60


def report(results):
    from .summary import NOT_TIMED, MiB, Part, Row, mib, ratio_row, secs, table, times, verdict

    a = results.one("acquisition")
    if not a:
        return None
    o, r, p, n = a["open"], a["random"], a["pass"], a.get("threads", "all")
    table_call = "`scan_table()`" if a["python_has_scan_table"] else "`scan_index()` (no `scan_table()` in this build)"
    rows = [
        [f"`Acquisition(path)` + {table_call}", secs(o["acquisition"]["min"]), secs(o["acquisition"]["median"]),
         f"{a['open_ratio'] * 100:.2f} % of `RawReader`"],
        ["`RawReader(path)`", secs(o["rawreader"]["min"]), secs(o["rawreader"]["median"]), "1.00×"],
        [f"`acq[i]`, {r['spectra']} random scans", secs(r["python"]["min"]), secs(r["python"]["median"]),
         times(a["random_ratio"]) + " of C++"],
        ["`Reader::spectrum(i)` in C++, same scans", secs(r["cpp"]["min"]), secs(r["cpp"]["median"]), "1.00×"],
        ["`acq.spectra()`, whole run", secs(p["spectra"]["min"]), secs(p["spectra"]["median"]),
         times(a["pass_speedup"]) + " the speed of `iter_spectra`"],
        ["`iter_spectra(path)`, whole run", secs(p["iter_spectra"]["min"]), secs(p["iter_spectra"]["median"]), "1.00×"],
    ]
    m = a["memory"]
    text = table(["Reading `profile-1g`", "Best", "Median", "Ratio"], rows, "lrrr")
    text += (f"\n\nWall-clock times. The run has {a['scans']:,} scans. `acq.spectra()` decodes ahead on the "
             f"library's default thread count; its peak RSS was {mib(m['small']['peak_rss'])} over `profile-100m` "
             f"and {mib(m['large']['peak_rss'])} over `profile-1g` (fresh processes; difference "
             f"{mib(a['memory_difference'])}).")
    if "pass_cpu" in a:
        c = a["pass_cpu"]
        text += (f" Processor time of one more pass (all threads, user + system): `acq.spectra()` "
                 f"{secs(c['spectra']['cpu_seconds'])} with {c['spectra']['minor_faults']:,} page faults, "
                 f"`iter_spectra` {secs(c['iter_spectra']['cpu_seconds'])} with "
                 f"{c['iter_spectra']['minor_faults']:,}.")
    summary_rows = [
        Row("`Acquisition(path)` + scan table ÷ `RawReader(path)`, `profile-1g`", f"{a['open_ratio'] * 100:.2f} %",
            f"{a['open_cpu_ratio'] * 100:.2f} %", f"velorium 1, RawReader {n}", "≤ 1 % (wall)",
            verdict(a["open_ratio"] * 100, 1.0, False)),
        ratio_row("`acq[i]`, random scans ÷ `Reader::spectrum(i)` in C++", a["random_ratio"],
                  a["random_cpu_ratio"], "1 each", 1.2, False, "CPU"),
        ratio_row("`acq.spectra()` speed ÷ `iter_spectra` speed, `profile-1g`", a["pass_speedup"],
                  a["pass_cpu_speedup"], f"`spectra()` {n}, `iter_spectra` 1 decoding thread", 1.0, True, "wall"),
        Row("Memory: `acq.spectra()` peak RSS, `profile-1g` − `profile-100m`", mib(a["memory_difference"]), NOT_TIMED,
            f"{n}", "< 32 MiB", verdict(a["memory_difference"] / MiB, 32.0, False)),
    ]
    return Part("Acquisition: open, random access, a pass", text, summary_rows)
