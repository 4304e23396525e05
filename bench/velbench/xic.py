"""Extracted-ion chromatograms of 1000 targets, side by side with what they replace.

Acquisition.xic decodes the selected scans once, into buffers each worker
thread reuses, and sweeps every spectrum against all the windows; the floor
is the same call with no target: the same scans decoded into the same
reused buffers on the same worker threads, and no sweep. Iterating
Acquisition.spectra() over the same scans (which builds a Spectrum of each)
is timed beside it for comparison. RawReader.xic reads the peaks RawReader already holds; the
comparison is the NumPy code a careful user writes over peak_table(): per
scan, one cumulative sum of the intensities and two searchsorted calls for
all the targets at once.
"""

from __future__ import annotations

import os

import numpy as np

from .common import interleaved, ratio, summary

TOLERANCE_PPM = 20.0


def targets(count: int = 1000, seed: int = 14) -> np.ndarray:
    """m/z values spread like a metabolite list: log-uniform over 60 to 1500, in no order."""
    rng = np.random.default_rng(seed)
    return np.exp(rng.uniform(np.log(60.0), np.log(1500.0), size=count))


def numpy_xic(peaks: dict, scans: dict, targets: np.ndarray, tolerance_ppm: float) -> tuple[np.ndarray, np.ndarray]:
    """The vectorised NumPy version over RawReader.peak_table() and scan_table() (MS1 scans)."""
    mz, intensity, offsets = peaks["mz"], peaks["intensity"], peaks["offsets"]
    ms1 = np.flatnonzero(scans["ms_level"] == 1)
    w = tolerance_ppm * targets * 1e-6
    low, high = targets - w, targets + w
    out = np.zeros((targets.size, ms1.size))
    for s, i in enumerate(ms1):
        a, b = int(offsets[i]), int(offsets[i + 1])
        spectrum_mz = mz[a:b]
        cumulative = np.empty(b - a + 1)
        cumulative[0] = 0.0
        np.cumsum(intensity[a:b], dtype=np.float64, out=cumulative[1:])
        out[:, s] = cumulative[np.searchsorted(spectrum_mz, high, "right")] - cumulative[
            np.searchsorted(spectrum_mz, low, "left")]
    return scans["retention_time_sec"][ms1], out


def run(path: str, reps: int) -> dict:
    import velorium

    chosen = targets()
    result: dict = {"path": path, "targets": int(chosen.size), "tolerance_ppm": TOLERANCE_PPM, "reps": reps}

    acq = velorium.Acquisition(path)
    selected = acq.select(ms_level=1)

    def acquisition_xic() -> tuple:
        return acq.xic(chosen, TOLERANCE_PPM)

    def decode_only() -> int:
        return acq.xic([], TOLERANCE_PPM)[0].size  # every selected scan decoded, no window to sweep

    def spectra() -> int:
        return sum(len(s) for s in acq.spectra(ms_level=1))

    acquisition_xic()  # the page cache holds the files from here on
    cpu: dict[str, list[float]] = {}
    times, results = interleaved({"xic": acquisition_xic, "decode": decode_only, "spectra": spectra}, reps, cpu)
    rt, values = results["xic"]
    if rt.size != len(selected) or values.shape != (chosen.size, len(selected)) or results["decode"] != len(selected):
        raise RuntimeError("Acquisition.xic returned the wrong shape")
    t = {name: summary(v) for name, v in times.items()}
    result["acquisition"] = {
        "scans": len(selected),
        "points": results["spectra"],
        "times": t,
        "ratio": ratio(t["xic"]["min"], t["decode"]["min"]),
        "cpu_seconds": {name: min(v) for name, v in cpu.items()},
        "cpu_ratio": ratio(min(cpu["xic"]), min(cpu["decode"])),
        "nonzero_cells": int(np.count_nonzero(values)),
        "threads": len(os.sched_getaffinity(0)),
    }
    del acq, results

    if not hasattr(velorium.RawReader, "xic"):
        result["rawreader"] = None
        return result
    reader = velorium.RawReader(path)
    peaks, scans = reader.peak_table(), reader.scan_table()

    def rawreader_xic() -> tuple:
        return reader.xic(chosen, TOLERANCE_PPM)

    def numpy_version() -> tuple:
        return numpy_xic(peaks, scans, chosen, TOLERANCE_PPM)

    cpu = {}
    times, results = interleaved({"xic": rawreader_xic, "numpy": numpy_version}, reps, cpu)
    (rt, values), (np_rt, np_values) = results["xic"], results["numpy"]
    # The prefix-sum differences of the NumPy version round differently; the
    # cells must still agree to within that rounding.
    if values.shape != np_values.shape or not np.array_equal(rt, np_rt) or not np.allclose(
            values, np_values, rtol=1e-9, atol=1e-3):
        raise RuntimeError("RawReader.xic and the NumPy version disagree")
    t = {name: summary(v) for name, v in times.items()}
    result["rawreader"] = {
        "scans": int(rt.size),
        "times": t,
        "speedup": ratio(t["numpy"]["min"], t["xic"]["min"]),
        "cpu_seconds": {name: min(v) for name, v in cpu.items()},
        "cpu_speedup": ratio(min(cpu["numpy"]), min(cpu["xic"])),
        "max_abs_difference": float(np.max(np.abs(values - np_values))) if values.size else 0.0,
    }
    return result


# --- Report ------------------------------------------------------------------

ORDER = 80


def report(results):
    from .summary import Part, ratio_row, secs, table, times

    x = results.one("xic")
    if not x:
        return None
    a = x["acquisition"]
    c = a["cpu_seconds"]
    n = a.get("threads", "all")
    rows = [["`Acquisition.xic(targets, 20)`", secs(a["times"]["xic"]["min"]), secs(a["times"]["xic"]["median"]),
             secs(c["xic"])],
            ["the same scans decoded alone: `Acquisition.xic([], 20)` (no target, no sweep)",
             secs(a["times"]["decode"]["min"]), secs(a["times"]["decode"]["median"]), secs(c["decode"])]]
    if "spectra" in a["times"]:
        rows.append(["the same scans as `Spectrum` objects: `for s in acq.spectra(ms_level=1)`",
                     secs(a["times"]["spectra"]["min"]), secs(a["times"]["spectra"]["median"]), secs(c["spectra"])])
    r = x.get("rawreader")
    if r:
        rc = r.get("cpu_seconds", {})
        rows += [["`RawReader.xic(targets, 20)` (the decoded peaks, no decoding)", secs(r["times"]["xic"]["min"]),
                  secs(r["times"]["xic"]["median"]), secs(rc["xic"]) if rc else "n/a"],
                 ["NumPy over `peak_table()`: per scan a cumulative sum and two `searchsorted` for all targets",
                  secs(r["times"]["numpy"]["min"]), secs(r["times"]["numpy"]["median"]),
                  secs(rc["numpy"]) if rc else "n/a"]]
    text = (f"{x['targets']} targets (log-uniform over m/z 60 to 1500), {x['tolerance_ppm']:g} ppm, over the "
            f"{a['scans']} MS1 scans ({a['points']:,} points) of `profile-1g`; best of {x['reps']} interleaved "
            f"rounds; the calls of velorium decode on {n} threads.\n\n")
    text += table(["", "best (wall)", "median (wall)", "CPU time (least)"], rows, "lrrr")
    text += (f"\n\nAcquisition.xic ÷ decoding alone: {times(a['ratio'])} in wall-clock time, "
             f"{times(a['cpu_ratio'])} in CPU time: what the sweep of {x['targets']} windows adds to the decoding.")
    summary_rows = [ratio_row(f"XIC: `Acquisition.xic`, {x['targets']} targets, `profile-1g` ÷ the same call with no "
                              "target (the same decoding into reused buffers, no sweep)", a["ratio"], a["cpu_ratio"],
                              f"{n} each", 1.5, False, "CPU")]
    if r:
        text += (f"\nRawReader.xic is {times(r['speedup'])} faster than the NumPy version in wall-clock time "
                 f"(largest difference of a cell: {r['max_abs_difference']:.3g}, from the NumPy version's prefix-sum "
                 "differences).")
        summary_rows.append(ratio_row(f"XIC: `RawReader.xic`, {x['targets']} targets: NumPy over `peak_table()` "
                                      "time ÷ `RawReader.xic` time", r["speedup"], r.get("cpu_speedup"),
                                      f"velorium {n}, NumPy 1", 5.0, True, "wall"))
    return Part("Extracted-ion chromatograms", text, summary_rows)
