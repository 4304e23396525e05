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
import sys
import time
from pathlib import Path

from .common import interleaved, ratio, summary, timed


def write_mzml(acquisition: str, out: str) -> dict:
    import numpy as np
    import pyopenms as oms

    import velorium

    t0 = time.perf_counter()
    reader = velorium.RawReader(acquisition)
    experiment = oms.MSExperiment()
    for i in range(reader.scan_count):
        sp = reader.read_spectrum(i)
        spectrum = oms.MSSpectrum()
        spectrum.set_peaks((np.asarray(sp.mz, dtype=np.float64), np.asarray(sp.intensity, dtype=np.float32)))
        spectrum.setRT(sp.retention_time_sec)
        spectrum.setMSLevel(sp.ms_level)
        spectrum.setNativeID(sp.native_id)
        kind = oms.SpectrumSettings.SpectrumType
        spectrum.setType(kind.PROFILE if sp.scan_mode == "profile" else kind.CENTROID)
        if sp.precursor is not None:
            prec = oms.Precursor()
            if sp.precursor["target_mz"] is not None:
                prec.setMZ(sp.precursor["target_mz"])
            if sp.precursor["collision_energy"] is not None:
                prec.setActivationEnergy(sp.precursor["collision_energy"])
            spectrum.setPrecursors([prec])
        experiment.addSpectrum(spectrum)
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
    times, results = interleaved(cases, reps)
    if len(set(results.values())) != 1:
        raise RuntimeError(f"the readers handed over different numbers of values: {results}")
    t = {name: summary(v) for name, v in times.items()}
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
        "reps": reps,
    }


