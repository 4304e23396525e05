"""The export options of `velorium convert`, each in a fresh process:

- size: the output's size ÷ the acquisition folder's size, for the sample
  acquisition (every option the README shows) and the large run (the timed
  options);
- speed: wall and CPU time of converting the large run, the options and
  pyopenms' MzMLFile().store() of the same spectra (zero-trimmed, given to it
  already decoded: its setup is not measured) with the same encoding
  (MS-Numpress linear m/z, slof intensities, zlib) in interleaved rounds (a
  slow spell of the shared machine hits all alike); the throughput of
  --compact against the default, and against pyopenms;
- memory: the command's peak resident memory on the large run (the largest
  of its rounds) minus that on the small run, per option.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from .common import ROOT, emit, log, run_step
from .convert import openms_spectrum, velorium_command

# The options timed on the large run. name: (extra arguments, output suffix)
OPTIONS = {
    "default": ([], ".mzML"),
    "trim-zeros": (["--trim-zeros"], ".mzML"),
    "compact": (["--compact"], ".mzML"),
    "compact-gz": (["--compact"], ".mzML.gz"),
    "top-150": (["--threshold", "top=150"], ".mzML"),
    "mz-32": (["--mz-precision", "32"], ".mzML"),
}
# The options whose sizes are measured on the sample acquisition, in the
# order the report lists them.
SAMPLE_OPTIONS = {
    "default": OPTIONS["default"],
    "no-compression": (["--no-compression"], ".mzML"),
    "mz-32": OPTIONS["mz-32"],
    "trim-zeros": OPTIONS["trim-zeros"],
    "trim-zeros-mz-32": (["--trim-zeros", "--mz-precision", "32"], ".mzML"),
    "compact": OPTIONS["compact"],
    "numpress-linear-slof": (["--numpress", "linear,slof"], ".mzML"),
    "numpress-linear-pic": (["--numpress", "linear,pic"], ".mzML"),
    "compact-gz": OPTIONS["compact-gz"],
    "top-150": OPTIONS["top-150"],
    "ms-level-2": (["--ms-level", "2"], ".mzML"),
}


def folder_bytes(folder: str) -> int:
    return sum(p.stat().st_size for p in Path(folder).rglob("*") if p.is_file())


def convert_once(exe: str, acquisition: str, out: Path, extra: list[str]) -> dict:
    """One conversion: wall time, the child's CPU time and peak RSS, the output's size."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([exe, "convert", acquisition, "-o", str(out), "--force", *extra],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    err = proc.stderr.read().decode() if proc.stderr else ""
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"velorium convert {' '.join(extra)} failed: {err}")
    size = out.stat().st_size
    out.unlink()
    return {"seconds": seconds, "cpu_seconds": usage.ru_utime + usage.ru_stime, "peak_rss": usage.ru_maxrss * 1024,
            "bytes": size}


def child_openms(acquisition: str, out: str) -> None:
    """pyopenms storing the zero-trimmed spectra with numpress linear/slof and zlib, timed."""
    import numpy as np
    import pyopenms as oms

    import velorium

    experiment = oms.MSExperiment()
    for s in velorium.iter_spectra(acquisition):
        mz = np.asarray(s.mz, dtype=np.float64)
        intensity = np.asarray(s.intensity, dtype=np.float32)
        nonzero = intensity != 0
        keep = nonzero.copy()
        keep[1:] |= nonzero[:-1]
        keep[:-1] |= nonzero[1:]
        experiment.addSpectrum(openms_spectrum(s, mz[keep], intensity[keep]))
    mzml = oms.MzMLFile()
    options = mzml.getOptions()
    options.setCompression(True)
    for setter, kind in ((options.setNumpressConfigurationMassTime, oms.MSNumpressCoder.NumpressCompression.LINEAR),
                         (options.setNumpressConfigurationIntensity, oms.MSNumpressCoder.NumpressCompression.SLOF)):
        config = oms.NumpressConfig()
        config.np_compression = kind
        config.estimate_fixed_point = True
        config.numpressErrorTolerance = -1.0  # no decoding check: velorium's encoder makes none either
        setter(config)
    mzml.setOptions(options)
    t0, c0 = time.perf_counter(), time.process_time()
    mzml.store(out, experiment)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    emit({"seconds": seconds, "cpu_seconds": cpu, "bytes": Path(out).stat().st_size,
          "spectra": experiment.getNrSpectra(), "pyopenms": oms.__version__})
    Path(out).unlink()


def run(python: str, large: str, small: str, work: str, reps: int = 2) -> dict:
    exe = velorium_command(python)
    work_dir = Path(work)
    work_dir.mkdir(parents=True, exist_ok=True)
    sample = str(ROOT / "examples" / "data" / "sample.d")
    out: dict = {"large": large, "small": small, "sample": sample, "reps": reps,
                 "threads": len(os.sched_getaffinity(0)),
                 "folder_bytes": {"sample": folder_bytes(sample), "large": folder_bytes(large),
                                  "small": folder_bytes(small)}}
    sizes: dict = {"sample": {}, "large": {}}
    for name, (extra, suffix) in SAMPLE_OPTIONS.items():
        log(f"velorium convert {' '.join(extra)} of the sample")
        sizes["sample"][name] = convert_once(exe, sample, work_dir / f"sample{suffix}", extra)["bytes"]
    small_runs: dict = {}
    for name, (extra, suffix) in OPTIONS.items():
        log(f"velorium convert {' '.join(extra)} of the small run (memory)")
        small_runs[name] = convert_once(exe, small, work_dir / f"small{suffix}", extra)
    rounds: dict = {name: [] for name in OPTIONS}
    openms: list[dict] = []
    for i in range(reps):
        for name, (extra, suffix) in OPTIONS.items():
            log(f"velorium convert {' '.join(extra)} of the large run (round {i + 1} of {reps})")
            rounds[name].append(convert_once(exe, large, work_dir / f"large{suffix}", extra))
        log(f"pyopenms MzMLFile().store with numpress linear/slof and zlib (round {i + 1} of {reps})")
        openms.append(run_step(python, ["export-openms", large, str(work_dir / "pyopenms.mzML")], timeout=7200))
    best = {name: min(r, key=lambda x: x["seconds"]) for name, r in rounds.items()}
    least_cpu = {name: min(x["cpu_seconds"] for x in r) for name, r in rounds.items()}
    for name, r in rounds.items():
        sizes["large"][name] = r[-1]["bytes"]
    o = min(openms, key=lambda x: x["seconds"])
    o_cpu = min(x["cpu_seconds"] for x in openms)
    out.update(rounds=rounds, best=best, least_cpu=least_cpu, small_runs=small_runs, sizes=sizes,
               pyopenms_compact=o, pyopenms_rounds=openms)
    out["size_ratio"] = {where: {name: size / out["folder_bytes"][where] for name, size in per.items()}
                         for where, per in sizes.items()}
    d, c = best["default"], best["compact"]
    out["compact_vs_default"] = {"wall": d["seconds"] / c["seconds"], "cpu": least_cpu["default"] / least_cpu["compact"]}
    out["pyopenms_vs_compact"] = {"wall": o["seconds"] / c["seconds"], "cpu": o_cpu / least_cpu["compact"]}
    # Memory: the largest peak of the large run's rounds, minus the small run's.
    out["rss_difference"] = {name: max(x["peak_rss"] for x in rounds[name]) - small_runs[name]["peak_rss"]
                             for name in OPTIONS}
    return out


# --- Report ------------------------------------------------------------------

ORDER = 95

SIZE_GOAL = 2.0        # --compact: output at most twice the folder
SPEED_GOAL = 1.0       # --compact at least as fast as the default
PYOPENMS_GOAL = 2.0    # --compact at least twice pyopenms' store with the same encoding
MEMORY_GOAL_MIB = 64.0

LABELS = {
    "default": "(none)",
    "no-compression": "`--no-compression`",
    "mz-32": "`--mz-precision 32`",
    "trim-zeros": "`--trim-zeros`",
    "trim-zeros-mz-32": "`--trim-zeros --mz-precision 32`",
    "compact": "`--compact`",
    "numpress-linear-slof": "`--numpress linear,slof`",
    "numpress-linear-pic": "`--numpress linear,pic`",
    "compact-gz": "`--compact`, to `NAME.mzML.gz`",
    "top-150": "`--threshold top=150`",
    "ms-level-2": "`--ms-level 2`",
}


def label(name: str) -> str:
    return LABELS.get(name, f"`{name}`")


def _size_row(e: dict, name: str, what: str, goal: float | None):
    from .summary import NOT_TIMED, Row, verdict

    r = {where: e["size_ratio"][where].get(name) for where in ("sample", "large")}
    cell = ", ".join(f"{v:.2f}× ({'sample' if where == 'sample' else '`profile-1g`'})"
                     for where, v in r.items() if v is not None)
    if goal is None:
        return Row(f"Output size ÷ acquisition folder, `velorium convert` {what}", cell, NOT_TIMED, "—", "reported",
                   "—")
    worst = max(v for v in r.values() if v is not None)
    return Row(f"Output size ÷ acquisition folder, `velorium convert` {what}", cell, NOT_TIMED, "—",
               f"≤ {goal:g} on both", verdict(worst, goal, False))


def report(results):
    from .summary import MiB, NOT_TIMED, Part, Row, mib, quote, ratio_row, secs, table, verdict

    e = results.one("export")
    if not e:
        return None
    n = e.get("threads", "all")
    folders = e["folder_bytes"]
    sample_rows = [[label(name), mib(size), f"{e['size_ratio']['sample'][name]:.2f}"]
                   for name, size in e["sizes"]["sample"].items()]
    sizes_quote = (f"The sizes these give on the sample acquisition (`examples/data/sample.d`, "
                   f"{mib(folders['sample'])} on disk), from the latest benchmark run:\n\n"
                   + table(["Options", "Output", "÷ folder"], sample_rows, "lrr"))
    large_rows = []
    for name in e["rounds"]:
        b = e["best"][name]
        median = statistics.median(x["seconds"] for x in e["rounds"][name])
        large_rows.append([label(name), mib(e["sizes"]["large"][name]), f"{e['size_ratio']['large'][name]:.2f}",
                           secs(b["seconds"]), secs(median), secs(e["least_cpu"][name]),
                           mib(max(x["peak_rss"] for x in e["rounds"][name])),
                           mib(e["small_runs"][name]["peak_rss"]), mib(e["rss_difference"][name])])
    o = e["pyopenms_compact"]
    o_rounds = e.get("pyopenms_rounds", [o])
    o_cpu = min(x["cpu_seconds"] for x in o_rounds)
    large_rows.append([f"pyopenms {o.get('pyopenms', '')} `MzMLFile().store()`, numpress linear/slof + zlib, of "
                       "the zero-trimmed spectra in memory", mib(o["bytes"]),
                       f"{o['bytes'] / folders['large']:.2f}", secs(o["seconds"]),
                       secs(statistics.median(x["seconds"] for x in o_rounds)), secs(o_cpu), NOT_TIMED, NOT_TIMED,
                       NOT_TIMED])
    text = ("`velorium convert` with each option, every conversion in a fresh process.\n\n"
            + quote("export-sizes", sizes_quote)
            + f"\n\nThe large run `profile-1g` ({mib(folders['large'])} on disk) with the timed options, "
            f"in {e['reps']} interleaved rounds together with pyopenms (velorium decodes and writes on {n} threads, "
            "pyopenms stores on one and is given the spectra already decoded and zero-trimmed, not timed); "
            "peak resident memory: the largest of the large run's rounds, the small run `profile-100m` "
            f"({mib(folders['small'])} on disk), and the difference.\n\n"
            + table(["Options", "Output", "÷ folder", "Best (wall)", "Median (wall)", "CPU time (least)",
                     "Peak RSS, `profile-1g`", "Peak RSS, `profile-100m`", "Difference"], large_rows, "lrrrrrrrr"))
    part = Part("Export options", text)
    ratios, least = e["size_ratio"], e["least_cpu"]
    both = " and `--trim-zeros` alone " + ", ".join(f"{ratios[w]['trim-zeros']:.2f}×" for w in ratios)
    part.add(_size_row(e, "default", "default (zlib)", None), "", "")
    part.add(_size_row(e, "trim-zeros", "`--trim-zeros`", None), "", "")
    part.add(_size_row(e, "compact", "`--compact`", SIZE_GOAL), "Size of `--compact`",
             "`--compact` wrote " + ", ".join(f"{ratios[w]['compact']:.2f}×" for w in ratios) + " the folder; the "
             "default wrote " + ", ".join(f"{ratios[w]['default']:.2f}×" for w in ratios) + both
             + " (sample, `profile-1g`).")
    d, c = e["best"]["default"], e["best"]["compact"]
    speed = e["compact_vs_default"]
    part.add(ratio_row("Convert `profile-1g`: default time ÷ `--compact` time", speed["wall"], speed["cpu"],
                       f"{n} each", SPEED_GOAL, True, "wall"), "Speed of `--compact`",
             f"`--compact` took {secs(c['seconds'])} against {secs(d['seconds'])} for the default "
             f"({secs(least['compact'])} and {secs(least['default'])} of CPU time): what it adds (zero trimming, "
             "MS-Numpress with each array's optimal fixed point) costs more than zlib saves on the smaller arrays.")
    versus = e["pyopenms_vs_compact"]
    part.add(ratio_row("Convert `profile-1g` with numpress linear/slof + zlib: pyopenms `MzMLFile().store()` time ÷ "
                       "`velorium convert --compact` time", versus["wall"], versus["cpu"], f"velorium {n}, pyopenms 1",
                       PYOPENMS_GOAL, True, "wall"), "`--compact` against pyopenms",
             f"pyopenms stored the same spectra, already decoded, zero-trimmed and in memory, in {secs(o['seconds'])} "
             f"({secs(o_cpu)} of CPU time); `velorium convert --compact`, decoding included, took "
             f"{secs(c['seconds'])} ({secs(least['compact'])} of CPU time on {n} threads).")
    memory = e["rss_difference"]
    worst = max(memory, key=memory.get)
    part.add(Row(f"Memory: `velorium convert` peak RSS, `profile-1g` − `profile-100m`, every option (largest: "
                 f"{label(worst)})", mib(memory[worst]), NOT_TIMED, str(n), f"< {MEMORY_GOAL_MIB:g} MiB",
                 verdict(memory[worst] / MiB, MEMORY_GOAL_MIB, False)), "Memory of `velorium convert`",
             "Peak RSS on `profile-1g` minus that on `profile-100m`: "
             + ", ".join(f"{label(k)} {mib(v)}" for k, v in memory.items()) + ".")
    return part



if __name__ == "__main__":
    sys.exit("run through python -m velbench")
