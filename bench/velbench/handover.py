"""Python hand-over: the mz and intensity lists of every spectrum.

velorium builds a new list of Python floats on every access of Spectrum.mz
and Spectrum.intensity. The floor for that is building the same lists from
the same values with list() over array.array objects ('d' for m/z, 'f' for
the 32-bit intensities, widened to Python floats as velorium does): the
cost of creating the float objects and the list, with no decoding at all.
"""

from __future__ import annotations

import sys
from array import array

from .common import interleaved, ratio, summary


def run(path: str, reps: int) -> dict:
    import velorium

    reader = velorium.RawReader(path)
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    del reader
    arrays = [(array("d", s.mz), array("f", s.intensity)) for s in spectra]
    points = sum(len(s) for s in spectra)

    def velorium_lists() -> int:
        n = 0
        for s in spectra:
            mz = s.mz
            intensity = s.intensity
            n += len(mz) + len(intensity)
        return n

    def array_lists() -> int:
        n = 0
        for mz_array, intensity_array in arrays:
            mz = list(mz_array)
            intensity = list(intensity_array)
            n += len(mz) + len(intensity)
        return n

    # Same values, element by element, on one spectrum of each MS level.
    for s, (a, b) in zip(spectra, arrays):
        if s.mz != a.tolist() or s.intensity != b.tolist():
            raise RuntimeError(f"spectrum {s.index}: the array copy differs from velorium's lists")
    times, results = interleaved({"velorium": velorium_lists, "array": array_lists}, reps)
    if results["velorium"] != results["array"] or results["velorium"] != 2 * points:
        raise RuntimeError("the two ways built different numbers of floats")
    t = {name: summary(v) for name, v in times.items()}
    return {
        "path": path,
        "python": sys.version.split()[0],
        "spectra": len(spectra),
        "points": points,
        "floats": 2 * points,
        "times": t,
        "floats_per_second": {name: 2 * points / v["min"] for name, v in t.items()},
        "ratio": ratio(t["velorium"]["min"], t["array"]["min"]),
        "reps": reps,
    }
