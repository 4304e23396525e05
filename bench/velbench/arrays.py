"""Array hand-over: the cost of one access of Spectrum.mz_array and
Spectrum.intensity_array on a spectrum of a million points.

Each access makes a new read-only NumPy array over the decoded values,
without copying them, so its cost must not depend on the spectrum's size.
Measured with timeit (many accesses per timing, best of several timings),
next to the lists that the same spectrum hands over, for scale.
"""

from __future__ import annotations

import sys
import timeit


def per_access(stmt, number: int, repeat: int) -> float:
    """Seconds per call of `stmt`: the best of `repeat` timings of `number` calls."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def run(path: str, reps: int) -> dict:
    import numpy as np

    import velorium

    reader = velorium.RawReader(path)
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    s = max(spectra, key=len)
    small = min(spectra, key=len)
    if len(s) < 1_000_000:
        raise RuntimeError(f"the largest spectrum has {len(s)} points; the benchmark needs 10^6")
    # The views hold the values of the lists, and a second access shares the first one's memory.
    if not (np.array_equal(s.mz_array, np.asarray(s.mz)) and np.shares_memory(s.mz_array, s.mz_array)):
        raise RuntimeError("mz_array is not a view of the spectrum's m/z values")
    number = 20000
    out = {
        "points": len(s),
        "small_points": len(small),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "mz_array": per_access(lambda: s.mz_array, number, max(reps, 3)),
        "intensity_array": per_access(lambda: s.intensity_array, number, max(reps, 3)),
        # The same access on the smallest spectrum of the run: the cost does not grow with the size.
        "mz_array_small": per_access(lambda: small.mz_array, number, max(reps, 3)),
        "mz_list": per_access(lambda: s.mz, 3, max(reps, 3)),
        "reps": max(reps, 3),
        "number": number,
    }
    return out
