"""Many runs on Dask (velorium.dask), side by side with one process doing the same.

- XIC of 1,000 targets over 20 runs, twice: small runs (6 million points
  each), where what the cluster itself costs shows, and larger runs (30
  million points each), where the decoding dominates: a LocalCluster of two
  worker processes (one thread each) against one process calling
  Acquisition(path).xic in a loop. Twice: as installed, where every xic call already decodes and sweeps
  on all the CPUs of its process, and with each process held to one CPU of
  its own (sched_setaffinity), where the two workers are what runs in
  parallel. Beside the loop of xic calls, the same loop that also builds the
  long table velorium.dask.xic returns.
- peaks() over the 1 GB run with the default partition size, on a cluster of
  one worker with one thread: the worker's peak resident memory above what it
  held before, against the largest partition's bytes (pandas'
  memory_usage(deep=True)); with Dask's default scheduling and with
  worker-saturation 1.0.
- scan_table() over 100 small runs, computed into one pandas DataFrame on the
  two-worker cluster, against a loop of Acquisition(path).scan_table() in one
  process (and, for reference, that loop building a DataFrame, and the same
  scan_table() on Dask's local threaded scheduler).

The timed cases alternate round by round, so that a busy spell of the shared
machine hits both sides alike; the ratios use the least disturbed round (min)
and the medians are kept beside them.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

from .common import ROOT, cpu_seconds, interleaved, log, ratio, summary
from .xic import targets as xic_targets

WRITER = ROOT / "tools" / "write_acquisition.py"
XIC_RUNS = 20
# name: the writer's arguments (300 scans of 20,000 or 100,000 points).
XIC_SETS = {size: ("--scans", "300", "--points", points, "--ms2-share", "0.25", "--spectra", "profile",
                   "--encoding", "lzf")
            for size, points in (("xic", "20000"), ("xic-large", "100000"))}
TABLE_RUNS = 100
TABLE_RUN_ARGS = ("--scans", "200", "--points", "200", "--ms2-share", "0.3", "--spectra", "mixed")
TOLERANCE_PPM = 20.0


def ensure_runs(folder: Path, name: str, count: int, args: tuple[str, ...]) -> list[str]:
    """`count` runs written with the acquisition writer (seeds 1..count), reused
    while the writer's arguments are unchanged."""
    folder.mkdir(parents=True, exist_ok=True)
    stamp = folder / f"{name}.stamp"
    wanted = f"{count} {' '.join(args)}"
    paths = [folder / f"{name}-{i:03d}.d" for i in range(count)]
    if not (stamp.is_file() and stamp.read_text() == wanted and all((p / "AcqData").is_dir() for p in paths)):
        log(f"writing {count} runs {name}-NNN.d ({' '.join(args)})")
        for i, path in enumerate(paths):
            subprocess.run([sys.executable, str(WRITER), str(path), *args, "--seed", str(i + 1), "--force"],
                           check=True, capture_output=True)
        stamp.write_text(wanted)
    return [str(p) for p in paths]


def with_cpu(fn, spent: list[float], client=None):
    """fn, recording in `spent` the CPU seconds each call costs this process
    (which runs a LocalCluster's scheduler too) and, given the client, its
    workers: a measure of the work that a loaded machine does not distort."""
    def total() -> float:
        return cpu_seconds() + (sum(client.run(cpu_seconds).values()) if client is not None else 0.0)

    def wrapped():
        start = total()
        try:
            return fn()
        finally:
            spent.append(total() - start)
    return wrapped


def cluster(workers: int):
    from dask.distributed import Client, LocalCluster

    local = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return local, Client(local)


def pin_workers(client, cpus: list[int] | None) -> None:
    """Worker k runs on CPU cpus[k] alone, or every worker on all CPUs (None)."""
    everything = sorted(os.sched_getaffinity(0))
    for k, address in enumerate(sorted(client.scheduler_info()["workers"])):
        mask = everything if cpus is None else [cpus[k % len(cpus)]]
        client.run(os.sched_setaffinity, 0, mask, workers=[address])


def xic_benchmark(paths: list[str], reps: int) -> dict:
    import numpy as np
    import velorium
    import velorium.dask

    chosen = xic_targets()
    everything = sorted(os.sched_getaffinity(0))
    local, client = cluster(2)
    out: dict = {"runs": len(paths), "targets": int(chosen.size), "tolerance_ppm": TOLERANCE_PPM,
                 "cpus": len(everything),
                 "points_per_run": int(velorium.Acquisition(paths[0]).scan_table()["point_count"].sum())}
    try:
        labels = tuple(velorium.dask.run_label(p) for p in paths)

        def loop(cpus, frame=False):
            def calls():
                os.sched_setaffinity(0, cpus)  # the library's threads: one per CPU of this mask
                try:
                    results = [velorium.Acquisition(p).xic(chosen, TOLERANCE_PPM) for p in paths]
                    # The same long table as velorium.dask.xic, by the same code.
                    return velorium.dask._xic_frame(labels, chosen, results) if frame else results
                finally:
                    os.sched_setaffinity(0, everything)
            return calls

        def on_dask():
            return velorium.dask.xic(paths, chosen, TOLERANCE_PPM)

        for mode, cpus in (("all_cpus", None), ("one_cpu_each", everything[:2])):
            if cpus is not None and len(everything) < 2:
                out[mode] = None
                continue
            pin_workers(client, cpus)
            mask = everything if cpus is None else cpus[:1]
            cpu: dict[str, list[float]] = {"loop": [], "loop_frame": [], "dask": []}
            cases = {"loop": with_cpu(loop(mask), cpu["loop"]),
                     "loop_frame": with_cpu(loop(mask, frame=True), cpu["loop_frame"]),
                     "dask": with_cpu(on_dask, cpu["dask"], client)}
            on_dask(), loop(mask)()  # warm: imports on the workers, the page cache
            times, results = interleaved(cases, reps)
            frame, direct = results["dask"], results["loop"]
            want = np.concatenate([values.reshape(-1) for _, values in direct])
            if not np.array_equal(frame["value"].to_numpy(), want):
                raise RuntimeError("velorium.dask.xic and the loop disagree")
            t = {name: summary(v) for name, v in times.items()}
            out[mode] = {"times": t, "speedup": ratio(t["loop"]["min"], t["dask"]["min"]),
                         "speedup_median": ratio(t["loop"]["median"], t["dask"]["median"]),
                         "speedup_same_table": ratio(t["loop_frame"]["min"], t["dask"]["min"]),
                         "cpu_seconds": {name: min(v) for name, v in cpu.items()},
                         "rows": int(len(frame))}
        pin_workers(client, None)
    finally:
        client.close()
        local.close()
    return out


def worker_reset_peak() -> int:
    """(on a worker) resets the peak resident size to the current one; returns it."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return resident("VmRSS")


def resident(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def worker_peak() -> int:
    return resident("VmHWM")


def partition_size(frame):
    """(on a worker) one row: the partition's bytes (pandas' deep memory usage) and points."""
    import pandas as pd

    return pd.DataFrame({"bytes": [int(frame.memory_usage(deep=True).sum())], "points": [len(frame)]})


def peaks_memory(big: str, warm: str, saturation: float | None) -> dict:
    """Dask's scheduler hands a worker up to worker-saturation x threads
    partitions to build before it has run what consumes them: with the
    default, 1.1, a one-thread worker may hold two partitions; with 1.0, one."""
    import dask
    import velorium.dask

    settings = {} if saturation is None else {"distributed.scheduler.worker-saturation": saturation}
    with dask.config.set(settings):  # read by the scheduler as the cluster starts
        local, client = cluster(1)
    try:
        # The worker imports velorium.dask, pandas and pyarrow and decodes once before the baseline.
        velorium.dask.peaks([warm], partition_points=10_000).map_partitions(len).compute()
        table = velorium.dask.peaks([big])
        [before] = client.run(worker_reset_peak).values()
        t0 = time.perf_counter()
        sizes = table.map_partitions(partition_size, meta={"bytes": "int64", "points": "int64"}).compute()
        seconds = time.perf_counter() - t0
        [peak] = client.run(worker_peak).values()
    finally:
        client.close()
        local.close()
    partition_bytes, partition_points = sizes["bytes"].to_numpy(), sizes["points"].to_numpy()
    k = int(partition_bytes.argmax())
    largest, points = int(partition_bytes[k]), int(partition_points.sum())
    return {"worker_saturation": saturation if saturation is not None else
            dask.config.get("distributed.scheduler.worker-saturation"),
            "partitions": int(table.npartitions), "partition_points": velorium.dask.PARTITION_POINTS,
            "points": points, "largest_partition_bytes": largest,
            "largest_partition_points": int(partition_points[k]),
            "bytes_per_point": ratio(float(partition_bytes.sum()), points), "worker_rss_before": before,
            "worker_peak_rss": peak, "peak_above_before": peak - before,
            "ratio": ratio(peak - before, largest), "seconds": seconds}


def scan_table_benchmark(paths: list[str], reps: int) -> dict:
    import pandas as pd
    import velorium
    import velorium.dask

    local, client = cluster(2)
    try:
        def loop():
            return [velorium.Acquisition(p).scan_table() for p in paths]

        def loop_frame():
            frames = [pd.DataFrame(velorium.Acquisition(p).scan_table()).assign(path=p) for p in paths]
            return pd.concat(frames, ignore_index=True)

        def on_dask():
            return velorium.dask.scan_table(paths).compute()

        def on_threads():  # Dask's local scheduler: threads of this process, no cluster
            return velorium.dask.scan_table(paths).compute(scheduler="threads")

        on_dask(), loop()  # warm
        cpu: dict[str, list[float]] = {"loop": [], "loop_frame": [], "dask": [], "threads": []}
        times, results = interleaved({"loop": with_cpu(loop, cpu["loop"]),
                                      "loop_frame": with_cpu(loop_frame, cpu["loop_frame"]),
                                      "dask": with_cpu(on_dask, cpu["dask"], client),
                                      "threads": with_cpu(on_threads, cpu["threads"])}, reps)
    finally:
        client.close()
        local.close()
    if len(results["dask"]) != sum(len(t["index"]) for t in results["loop"]):
        raise RuntimeError("velorium.dask.scan_table and the loop disagree")
    t = {name: summary(v) for name, v in times.items()}
    return {"runs": len(paths), "scans": int(len(results["dask"])), "times": t,
            "cpu_seconds": {name: min(v) for name, v in cpu.items()},
            "ratio": ratio(t["dask"]["min"], t["loop"]["min"]),
            "ratio_median": ratio(t["dask"]["median"], t["loop"]["median"]),
            "ratio_to_frame": ratio(t["dask"]["min"], t["loop_frame"]["min"]),
            "ratio_threads": ratio(t["threads"]["min"], t["loop"]["min"])}


def run(data: str, big: str, reps: int) -> dict:
    folder = Path(data) / "many"
    xic_runs = {name: ensure_runs(folder, name, XIC_RUNS, args) for name, args in XIC_SETS.items()}
    table_runs = ensure_runs(folder, "table", TABLE_RUNS, TABLE_RUN_ARGS)
    result: dict = {"reps": reps, "xic": []}
    for name, paths in xic_runs.items():
        log(f"xic of 1000 targets over {len(paths)} runs {name}-NNN.d")
        result["xic"].append(xic_benchmark(paths, reps))
    log("peaks() of the 1 GB run: worker memory")
    result["peaks_memory"] = {"default": peaks_memory(big, table_runs[0], None),
                              "saturation_1": peaks_memory(big, table_runs[0], 1.0)}
    log("scan_table() of 100 runs")
    result["scan_table"] = scan_table_benchmark(table_runs, reps)
    return result


# --- Report ------------------------------------------------------------------

ORDER = 110

XIC_GOAL = 1.6
MEMORY_GOAL = 1.5
TABLE_GOAL = 2.0


def _times_row(label: str, t: dict, cpu: float) -> list[str]:
    from .summary import secs

    return [label, secs(t["min"]), secs(t["median"]), secs(cpu)]


def _xic_text(x: dict, part) -> str:
    from .summary import ratio_row, secs, table, times

    n = x["cpus"]
    modes = {"all_cpus": ("each process on every CPU", f"Dask 2 processes × 1 task, each decoding on {n} threads; "
                                                        f"loop 1 process on {n} threads"),
             "one_cpu_each": ("each process held to one CPU",
                              "Dask 2 processes on 1 CPU each; loop 1 process on 1 CPU")}
    runs = f"{x['runs']} runs of {x['points_per_run'] / 1e6:.0f} million points"
    text = (f"`velorium.dask.xic` of {x['targets']} targets ({x['tolerance_ppm']:g} ppm) over {runs} on a "
            "LocalCluster of two worker processes with one thread each, against one process calling "
            "`Acquisition(path).xic` for each run in a loop; beside it, the same loop that also builds the long "
            "table `velorium.dask.xic` returns. The cases alternate round by round; CPU time counts every thread "
            "of the process (for Dask: this process, which runs the scheduler, and the workers).\n\n")
    rows = []
    for mode, (how, threads) in modes.items():
        m = x.get(mode)
        if not m:
            text += f"({how}: not measured, the process has fewer than two CPUs.)\n\n"
            continue
        t, c = m["times"], m["cpu_seconds"]
        rows += [_times_row(f"{how}: loop of `Acquisition(path).xic`", t["loop"], c["loop"]),
                 _times_row(f"{how}: the loop, and the long table", t["loop_frame"], c["loop_frame"]),
                 _times_row(f"{how}: `velorium.dask.xic`", t["dask"], c["dask"])]
        if mode == "all_cpus":
            why = (f"Each `Acquisition.xic` call already decodes on the {n} CPUs of its process, so the loop keeps "
                   "every core busy and the second worker process has no idle core to add: the loop spent "
                   f"{secs(c['loop'])} of CPU time, the cluster {secs(c['dask'])}. The cluster also builds the "
                   f"{m['rows']:,}-row long table in this process once the runs are done; the loop that builds it "
                   f"too takes {secs(t['loop_frame']['min'])}.")
            if x.get("one_cpu_each"):
                why += (" Held to one CPU per process, two workers against one process give "
                        f"{times(x['one_cpu_each']['speedup'])}.")
        else:
            why = (f"Two processes on one CPU each against one: {times(m['speedup'])} of the 2× that two cores allow. "
                   f"The cluster also builds the {m['rows']:,}-row long table in this process once the runs are "
                   f"done; the loop that builds it too takes {secs(t['loop_frame']['min'])}, "
                   f"{times(m['speedup_same_table'])} the cluster's time. The cluster's own cost (the scheduler, "
                   f"moving the results to the client) shows in its CPU time: {secs(c['dask'])} against "
                   f"{secs(c['loop'])} for the loop.")
        part.add(ratio_row(f"Many runs: XIC of {x['targets']} targets over {runs}, loop in one process "
                           f"time ÷ `velorium.dask.xic` on 2 worker processes, {how}", m["speedup"],
                           c["loop"] / c["dask"] if c["dask"] > 0 else None, threads, XIC_GOAL, True, "wall"),
                 f"XIC on Dask, {runs}, {how}", why)
    return text + table(["", "best (wall)", "median (wall)", "CPU time (least)"], rows, "lrrr")


def _memory_text(p: dict, part) -> str:
    from .summary import NOT_TIMED, Row, mib, quote, table, times, verdict

    rows = []
    for key, m in p.items():
        how = f"worker-saturation {m['worker_saturation']:.1f}" + (" (Dask's default)" if key == "default" else "")
        rows.append([how, str(m["partitions"]), mib(m["largest_partition_bytes"]), mib(m["worker_rss_before"]),
                     mib(m["worker_peak_rss"]), mib(m["peak_above_before"]), times(m["ratio"])])
        part.add(Row(f"Many runs: `velorium.dask.peaks` of `profile-1g`, worker's peak RSS above its start ÷ the "
                     f"largest partition's bytes, {how}", times(m["ratio"]), NOT_TIMED, "1 worker process × 1 task",
                     f"≤ {MEMORY_GOAL:g}", verdict(m["ratio"], MEMORY_GOAL, False)),
                 f"Worker memory of `velorium.dask.peaks`, {how}",
                 f"While it built the {m['partitions']} partitions of `profile-1g` ({m['partition_points']:,} points "
                 f"at most each), the worker's peak resident memory rose {mib(m['peak_above_before'])} above the "
                 f"{mib(m['worker_rss_before'])} it held before, against {mib(m['largest_partition_bytes'])} for the "
                 f"largest partition ({m['largest_partition_points']:,} points). While it builds a partition, a "
                 "worker may hold both the partition and the arrays of `Acquisition.peak_table` it is built from; "
                 "with a worker-saturation above 1 the scheduler may also give a one-thread worker a second "
                 "partition to build before the first is consumed.")
    d, one = p["default"], p.get("saturation_1")
    text = (f"`velorium.dask.peaks` over `profile-1g` ({d['points']:,} points) with the default partition size "
            f"({d['partition_points']:,} points), each partition reduced on the worker to its size (pandas' "
            "`memory_usage(deep=True)`), on a cluster of one worker process with one thread; the worker's peak "
            "resident size (VmHWM, reset before the computation) against what it held before it, after it had "
            "imported everything and decoded a small run.\n\n")
    text += table(["Scheduling", "Partitions", "Largest partition", "Worker RSS before", "Worker peak RSS",
                   "Peak − before", "÷ largest partition"], rows, "lrrrrrr")
    quoted = (f"In the latest benchmark run, a partition of `peaks` over the run `profile-1g` took "
              f"{d['bytes_per_point']:.1f} bytes a point (pandas' `memory_usage(deep=True)`), so "
              f"{mib(d['bytes_per_point'] * d['partition_points'])} for the default {d['partition_points']:,} points; "
              f"a one-thread worker's peak resident memory rose {d['ratio']:.2f}× the largest partition's bytes with "
              f"Dask's default worker-saturation ({d['worker_saturation']:.1f})")
    quoted += f", {one['ratio']:.2f}× with 1.0." if one else "."
    return text + "\n\n" + quote("many-memory", quoted)


def _table_text(s: dict, part) -> str:
    from .summary import ratio_row, secs, table, times

    t, c = s["times"], s["cpu_seconds"]
    rows = [_times_row("loop of `Acquisition(path).scan_table()`", t["loop"], c["loop"]),
            _times_row("the loop, and a pandas DataFrame of it all", t["loop_frame"], c["loop_frame"]),
            _times_row("`velorium.dask.scan_table(paths).compute()`, 2-process LocalCluster", t["dask"], c["dask"]),
            _times_row("the same on Dask's threaded scheduler in this process", t["threads"], c["threads"])]
    part.add(ratio_row(f"Many runs: `velorium.dask.scan_table` of {s['runs']} runs on a 2-process LocalCluster time "
                       "÷ a loop of `Acquisition(path).scan_table()`", s["ratio"],
                       c["dask"] / c["loop"] if c["loop"] > 0 else None, "Dask 2 processes × 1 task; loop 1",
                       TABLE_GOAL, False, "wall"),
             "scan_table on Dask",
             f"The loop reads {s['runs']} scan indexes in {secs(t['loop']['min'])}, "
             f"{secs(t['loop']['min'] / s['runs'])} a run; the cluster adds a task per run, a DataFrame with "
             "categorical columns per partition and their transfer to the client: "
             f"{secs(t['dask']['min'])} in all. Building the same DataFrame in the loop takes "
             f"{secs(t['loop_frame']['min'])} (the cluster takes {times(s['ratio_to_frame'])} that), Dask's "
             f"threaded scheduler {secs(t['threads']['min'])}.")
    text = (f"`velorium.dask.scan_table` of {s['runs']} small runs ({s['scans']:,} scans) computed into one pandas "
            "DataFrame, against a loop of `Acquisition(path).scan_table()` in one process (which builds no "
            "DataFrame); interleaved rounds.\n\n")
    return text + table(["", "best (wall)", "median (wall)", "CPU time (least)"], rows, "lrrr")


def report(results):
    from .summary import Part

    m = results.one("many")
    if not m:
        return None
    part = Part("Many runs on Dask", f"Best of {m['reps']} interleaved rounds (min), medians beside them.")
    sections = [(f"XIC of {x['runs']} runs of {x['points_per_run'] / 1e6:.0f} million points", _xic_text(x, part))
                for x in m["xic"]]
    sections += [("Worker memory of `peaks`", _memory_text(m["peaks_memory"], part)),
                 ("Scan tables of many runs", _table_text(m["scan_table"], part))]
    for title, text in sections:
        part.text += f"\n\n### {title}\n\n{text}"
    return part
