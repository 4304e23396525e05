"""What users do today: the same spectra as mzML, read with pyopenms and pyteomics.

Setup (not measured): every spectrum that velorium decodes from the
acquisition is written by pyopenms as indexed mzML, profile and centroid
spectra flagged as such, binary arrays zlib-compressed, m/z 64-bit and
intensities 32-bit (what velorium holds). Measured, side by side, each
ending with Python lists of m/z and intensity for every spectrum:

- velorium: RawReader(path), then read_spectrum(i).mz and .intensity;
- pyopenms: MzMLFile().load(path, experiment), then get_peaks() and tolist();
- pyteomics: mzml.read(path) (sequential parse, lxml), then the arrays' tolist().

And, in the same interleaved rounds, each ending with NumPy arrays of m/z and
intensity for every spectrum:

- velorium arrays: RawReader(path), then read_spectrum(i).mz_array and .intensity_array;
- pyopenms arrays: MzMLFile().load(path, experiment), then get_peaks().
"""

from __future__ import annotations

import math
import os
import sys
import time
from pathlib import Path

from .common import interleaved, ratio, summary, timed
from .convert import openms_spectrum


def write_mzml(acquisition: str, out: str) -> dict:
    import numpy as np
    import pyopenms as oms

    import velorium

    t0 = time.perf_counter()
    reader = velorium.RawReader(acquisition)
    experiment = oms.MSExperiment()
    for i in range(reader.scan_count):
        sp = reader.read_spectrum(i)
        mz, intensity = np.asarray(sp.mz, dtype=np.float64), np.asarray(sp.intensity, dtype=np.float32)
        experiment.addSpectrum(openms_spectrum(sp, mz, intensity))
    mzml = oms.MzMLFile()
    options = mzml.getOptions()
    options.setCompression(True)  # zlib
    options.setMz32Bit(False)
    options.setIntensity32Bit(True)
    mzml.setOptions(options)
    tmp = out + ".tmp"
    mzml.store(tmp, experiment)
    Path(tmp).replace(out)
    return {"seconds": time.perf_counter() - t0, "bytes": Path(out).stat().st_size, "spectra": reader.scan_count,
            "pyopenms": oms.__version__}


# --- The three readers; each returns the number of peaks it handed over -----


def read_velorium(path: str, split: list[float]) -> int:
    import velorium

    t0 = time.perf_counter()
    reader = velorium.RawReader(path)
    split.append(time.perf_counter() - t0)
    n = 0
    for i in range(reader.scan_count):
        sp = reader.read_spectrum(i)
        mz = sp.mz
        intensity = sp.intensity
        n += len(mz) + len(intensity)
    return n


def read_pyopenms(path: str, split: list[float]) -> int:
    import pyopenms as oms

    t0 = time.perf_counter()
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(path, experiment)
    split.append(time.perf_counter() - t0)
    n = 0
    for spectrum in experiment:
        mz_array, intensity_array = spectrum.get_peaks()
        mz = mz_array.tolist()
        intensity = intensity_array.tolist()
        n += len(mz) + len(intensity)
    return n


def read_velorium_arrays(path: str, split: list[float]) -> int:
    import velorium

    t0 = time.perf_counter()
    reader = velorium.RawReader(path)
    split.append(time.perf_counter() - t0)
    n = 0
    for i in range(reader.scan_count):
        sp = reader.read_spectrum(i)
        mz = sp.mz_array
        intensity = sp.intensity_array
        n += len(mz) + len(intensity)
    return n


def read_pyopenms_arrays(path: str, split: list[float]) -> int:
    import pyopenms as oms

    t0 = time.perf_counter()
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(path, experiment)
    split.append(time.perf_counter() - t0)
    n = 0
    for spectrum in experiment:
        mz, intensity = spectrum.get_peaks()
        n += len(mz) + len(intensity)
    return n


def read_pyteomics(path: str, split: list[float]) -> int:
    from pyteomics import mzml

    n = 0
    in_lists = 0.0
    with mzml.read(path) as spectra:
        for spectrum in spectra:
            t0 = time.perf_counter()
            mz = spectrum["m/z array"].tolist()
            intensity = spectrum["intensity array"].tolist()
            in_lists += time.perf_counter() - t0
            n += len(mz) + len(intensity)
    split.append(in_lists)
    return n


def fingerprints(acquisition: str, mzml_path: str) -> dict[str, list[tuple[int, float, float]]]:
    """Per spectrum: peak count and exact sums of m/z and intensity, by each reader."""
    import pyopenms as oms
    from pyteomics import mzml

    import velorium

    def fp(mz, intensity):
        return (len(mz), math.fsum(mz), math.fsum(intensity))

    reader = velorium.RawReader(acquisition)
    spectra = (reader.read_spectrum(i) for i in range(reader.scan_count))
    out = {"velorium": [fp(s.mz, s.intensity) for s in spectra]}
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(mzml_path, experiment)
    out["pyopenms"] = [fp(*(a.tolist() for a in s.get_peaks())) for s in experiment]
    with mzml.read(mzml_path) as spectra:
        out["pyteomics"] = [fp(s["m/z array"].tolist(), s["intensity array"].tolist()) for s in spectra]
    return out


def run(acquisition: str, mzml_path: str, reps: int) -> dict:
    from importlib import metadata

    prints = fingerprints(acquisition, mzml_path)
    for name in ("pyopenms", "pyteomics"):
        if prints[name] != prints["velorium"]:
            bad = next(i for i, (a, b) in enumerate(zip(prints[name], prints["velorium"])) if a != b) \
                if len(prints[name]) == len(prints["velorium"]) else "count"
            raise RuntimeError(f"{name} read different spectra from the mzML than velorium from the acquisition "
                               f"(first difference: spectrum {bad})")
    splits: dict[str, list[float]] = {name: [] for name in ("velorium", "pyopenms", "pyteomics", "velorium_arrays",
                                                               "pyopenms_arrays")}
    cases = {
        "velorium": lambda: read_velorium(acquisition, splits["velorium"]),
        "pyopenms": lambda: read_pyopenms(mzml_path, splits["pyopenms"]),
        "pyteomics": lambda: read_pyteomics(mzml_path, splits["pyteomics"]),
        "velorium_arrays": lambda: read_velorium_arrays(acquisition, splits["velorium_arrays"]),
        "pyopenms_arrays": lambda: read_pyopenms_arrays(mzml_path, splits["pyopenms_arrays"]),
    }
    timed(cases["velorium"])  # page cache and imports, for every reader alike
    timed(cases["pyopenms"])
    for s in splits.values():
        s.clear()
    cpu: dict[str, list[float]] = {}
    times, results = interleaved(cases, reps, cpu)
    if len(set(results.values())) != 1:
        raise RuntimeError(f"the readers handed over different numbers of values: {results}")
    t = {name: summary(v) for name, v in times.items()}
    c = {name: min(v) for name, v in cpu.items()}
    points = sum(p[0] for p in prints["velorium"])
    return {
        "acquisition": acquisition,
        "mzml": mzml_path,
        "mzml_bytes": Path(mzml_path).stat().st_size,
        "acquisition_bytes": sum(p.stat().st_size for p in (Path(acquisition) / "AcqData").iterdir()),
        "python": sys.version.split()[0],
        "versions": {name: metadata.version(name) for name in ("pyopenms", "pyteomics", "lxml", "numpy")},
        "spectra": len(prints["velorium"]),
        "points": points,
        "times": t,
        # velorium: RawReader(path); pyopenms: MzMLFile().load; pyteomics: tolist() calls only (min over runs)
        "splits": {name: min(v) for name, v in splits.items()},
        "speedup_pyopenms": ratio(t["pyopenms"]["min"], t["velorium"]["min"]),
        "speedup_pyteomics": ratio(t["pyteomics"]["min"], t["velorium"]["min"]),
        "speedup_arrays_pyopenms": ratio(t["pyopenms_arrays"]["min"], t["velorium_arrays"]["min"]),
        "cpu_seconds": c,
        "cpu_speedup_pyopenms": ratio(c["pyopenms"], c["velorium"]),
        "cpu_speedup_pyteomics": ratio(c["pyteomics"], c["velorium"]),
        "cpu_speedup_arrays_pyopenms": ratio(c["pyopenms_arrays"], c["velorium_arrays"]),
        "threads": len(os.sched_getaffinity(0)),
        "reps": reps,
    }


# --- Report ------------------------------------------------------------------

ORDER = 70


def _miss(h: dict) -> str:
    from .summary import secs, times

    t, sp = h["times"], h["splits"]
    v_decode = sp["velorium"]
    v_lists = t["velorium"]["min"] - v_decode
    goal_total = t["pyopenms"]["min"] / 5.0
    text = (f"velorium's own decoding, `RawReader(path)`, took {secs(v_decode)} against {secs(sp['pyopenms'])} for "
            f"pyopenms' `MzMLFile().load`: {times(sp['pyopenms'] / v_decode)} faster. The rest of velorium's time, "
            f"{secs(v_lists)}, goes to the lists of Python floats, which every reader here builds the same way "
            f"(pyopenms' `get_peaks` + `tolist` took {secs(t['pyopenms']['min'] - sp['pyopenms'])}; the hand-over "
            f"benchmark compares velorium's lists with the `array.tolist()` floor). 5× pyopenms means "
            f"{secs(goal_total)} in all")
    if v_lists >= goal_total:
        text += (", less than the lists alone: the goal cannot be reached while results are handed over as lists "
                 "of Python floats.")
    else:
        text += (f", which leaves {secs(goal_total - v_lists)} for `RawReader(path)` next to the lists: its decoding "
                 f"would have to be {times(v_decode / (goal_total - v_lists))} faster than now.")
    return text + (" The array hand-over (`Spectrum.mz_array` and `intensity_array`, NumPy views of the decoded "
                   "values) carries the decoding speed to Python code; see its row.")


def report(results):
    from .summary import Part, mib, ratio_row, secs, table, times

    runs = results.each("mzml")
    if not runs:
        return None
    first = runs[0]
    text = (f"`qtof-run` ({first['spectra']:,} spectra, {first['points']:,} points; MS1 profile, MS2 centroid): "
            f"the acquisition is {mib(first['acquisition_bytes'])} on disk, its mzML copy "
            f"{mib(first['mzml_bytes'])}. Each reader ends with Python lists of m/z and intensity for every "
            "spectrum; all three were checked to hand over the same values (peak counts and exact sums of every "
            "spectrum). Wall-clock times of the best interleaved round, CPU time (all threads, least of the "
            "rounds) in parentheses.\n\n")
    rows, summary_rows, misses = [], [], []
    for h in runs:
        t, c = h["times"], h.get("cpu_seconds", {})
        both = lambda key: f"{secs(t[key]['min'])} ({secs(c[key])})" if key in c else secs(t[key]["min"])  # noqa: E731
        rows.append([h["python"], both("velorium"), both("pyopenms"), both("pyteomics"),
                     times(h["speedup_pyopenms"]), times(h["speedup_pyteomics"])])
        n = h.get("threads", "all")
        par = c["pyopenms"] / t["pyopenms"]["min"] if c else float("nan")
        threads = f"velorium {n}; pyopenms: CPU ÷ wall {par:.2f}"
        summary_rows.append(ratio_row(f"vs mzML with pyopenms, lists of every spectrum (Python {h['python']}): "
                                      "pyopenms time ÷ velorium time", h["speedup_pyopenms"],
                                      h.get("cpu_speedup_pyopenms"), threads, 5.0, True, "wall"))
        summary_rows.append(ratio_row(f"vs mzML with pyteomics (Python {h['python']}): pyteomics time ÷ velorium "
                                      "time", h["speedup_pyteomics"], h.get("cpu_speedup_pyteomics"),
                                      f"velorium {n}, pyteomics 1", None, True, "wall"))
        summary_rows.append(ratio_row(f"vs mzML with pyopenms, NumPy arrays of every spectrum (Python "
                                      f"{h['python']}): pyopenms time ÷ velorium time", h["speedup_arrays_pyopenms"],
                                      h.get("cpu_speedup_arrays_pyopenms"), threads, 10.0, True, "wall"))
        if h["speedup_pyopenms"] < 5.0:
            misses.append((f"mzML with pyopenms (Python {h['python']})", _miss(h)))
    text += table(["Python", "velorium", "pyopenms", "pyteomics", "velorium vs pyopenms (wall)",
                   "velorium vs pyteomics (wall)"], rows)
    rows = []
    for h in runs:
        t, sp = h["times"], h["splits"]
        rows.append([h["python"], secs(sp["velorium"]), secs(t["velorium"]["min"] - sp["velorium"]),
                     secs(sp["pyopenms"]), secs(t["pyopenms"]["min"] - sp["pyopenms"]), secs(sp["pyteomics"])])
    text += "\n\nWhere the time goes (wall clock, best rounds; the parts are measured inside the same runs):\n\n"
    text += table(["Python", "velorium `RawReader(path)`", "velorium lists", "pyopenms `load`",
                   "pyopenms `get_peaks` + `tolist`", "pyteomics `tolist` calls"], rows)
    rows = []
    for h in runs:
        t, sp = h["times"], h["splits"]
        rows.append([h["python"], secs(t["velorium_arrays"]["min"]), secs(sp["velorium_arrays"]),
                     secs(t["pyopenms_arrays"]["min"]), secs(sp["pyopenms_arrays"]),
                     times(h["speedup_arrays_pyopenms"])])
    text += ("\n\nEnding with NumPy arrays instead (velorium: `RawReader(path)`, then `mz_array` and "
             "`intensity_array` of every spectrum; pyopenms: `MzMLFile().load`, then `get_peaks()`), in the same "
             "interleaved rounds:\n\n")
    text += table(["Python", "velorium", "of which `RawReader(path)`", "pyopenms", "of which `load`",
                   "velorium vs pyopenms (wall)"], rows)
    v = first["versions"]
    text += (f"\n\nThe mzML was written by pyopenms {v['pyopenms']} from the spectra velorium decodes (setup, not "
             "measured): indexed mzML, spectra flagged profile or centroid, binary arrays zlib-compressed, m/z as "
             "64-bit and intensities as 32-bit floats. pyopenms: `MzMLFile().load(path, experiment)`, then "
             f"`get_peaks()` and `tolist()` of both arrays. pyteomics {v['pyteomics']} (lxml {v['lxml']}, numpy "
             f"{v['numpy']}): `mzml.read(path)` with its defaults (sequential parse), then `tolist()` of the "
             "'m/z array' and 'intensity array'. velorium: `RawReader(path)` (decoding on every core), then "
             "`read_spectrum(i).mz` and `.intensity`.")
    part = Part("Against mzML readers", text, summary_rows)
    part.misses = misses
    return part
