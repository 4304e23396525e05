"""Extracted-ion chromatograms of 1000 targets, side by side with what they replace.

Acquisition.xic decodes the selected scans once and sweeps every spectrum
against all the windows; the floor is decoding the same scans and nothing
else (iterating Acquisition.spectra() over them, decoded ahead on the same
worker threads). RawReader.xic reads the peaks RawReader already holds; the
comparison is the NumPy code a careful user writes over peak_table(): per
scan, one cumulative sum of the intensities and two searchsorted calls for
all the targets at once.
"""

from __future__ import annotations

import numpy as np

import resource

from .common import interleaved, ratio, summary

TOLERANCE_PPM = 20.0


def cpu_seconds() -> float:
    """User and system CPU time of this process so far, all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def with_cpu_time(fn, spent: list[float]):
    """fn, recording the CPU time of each call in `spent`: on a busy machine the
    wall-clock times depend on how many threads each case keeps runnable."""
    def wrapped():
        start = cpu_seconds()
        try:
            return fn()
        finally:
            spent.append(cpu_seconds() - start)
    return wrapped


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
        return sum(len(s) for s in acq.spectra(ms_level=1))

    acquisition_xic()  # the page cache holds the files from here on
    cpu: dict[str, list[float]] = {"xic": [], "decode": []}
    times, results = interleaved({"xic": with_cpu_time(acquisition_xic, cpu["xic"]),
                                  "decode": with_cpu_time(decode_only, cpu["decode"])}, reps)
    rt, values = results["xic"]
    if rt.size != len(selected) or values.shape != (chosen.size, len(selected)):
        raise RuntimeError("Acquisition.xic returned the wrong shape")
    t = {name: summary(v) for name, v in times.items()}
    result["acquisition"] = {
        "scans": len(selected),
        "points": results["decode"],
        "times": t,
        "ratio": ratio(t["xic"]["min"], t["decode"]["min"]),
        "cpu_seconds": {name: min(v) for name, v in cpu.items()},
        "cpu_ratio": ratio(min(cpu["xic"]), min(cpu["decode"])),
        "nonzero_cells": int(np.count_nonzero(values)),
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

    times, results = interleaved({"xic": rawreader_xic, "numpy": numpy_version}, reps)
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
        "max_abs_difference": float(np.max(np.abs(values - np_values))) if values.size else 0.0,
    }
    return result
