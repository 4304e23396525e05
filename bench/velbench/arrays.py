"""Array hand-over: the cost of one access of Spectrum.mz_array and
Spectrum.intensity_array on a spectrum of a million points, and on a small
spectrum of another run.

Each access makes a new read-only NumPy array over the decoded values,
without copying them, so its cost must not depend on the spectrum's size.
Measured with timeit (many accesses per timing, best of several timings) in
wall-clock time and in CPU time, next to the list the large spectrum hands
over, for scale.
"""

from __future__ import annotations

import sys
import time
import timeit


def per_access(stmt, number: int, repeat: int, timer=time.perf_counter) -> float:
    """Seconds per call of `stmt`: the best of `repeat` timings of `number` calls."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat, timer=timer)) / number


def spectra_of(path: str) -> list:
    import velorium

    reader = velorium.RawReader(path)
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def run(path: str, reps: int, small_path: str | None = None) -> dict:
    import numpy as np

    large = max(spectra_of(path), key=len)
    if len(large) < 1_000_000:
        raise RuntimeError(f"the largest spectrum has {len(large)} points; the benchmark needs 10^6")
    others = [s for s in spectra_of(small_path or path) if len(s) > 0]
    small = min(others, key=len)
    # The views hold the values of the lists, and a second access shares the first one's memory.
    for s in (large, small):
        if not (np.array_equal(s.mz_array, np.asarray(s.mz)) and np.shares_memory(s.mz_array, s.mz_array)):
            raise RuntimeError("mz_array is not a view of the spectrum's m/z values")
    number, repeat = 20000, max(reps, 3)
    out = {
        "points": len(large),
        "small_points": len(small),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "reps": repeat,
        "number": number,
    }
    for name, stmt in (("mz_array", lambda: large.mz_array), ("intensity_array", lambda: large.intensity_array),
                       ("mz_array_small", lambda: small.mz_array)):
        out[name] = per_access(stmt, number, repeat)
        out[f"{name}_cpu"] = per_access(stmt, number, repeat, time.process_time)
    out["mz_list"] = per_access(lambda: large.mz, 3, repeat)
    return out


# --- Report ------------------------------------------------------------------

ORDER = 30


def report(results):
    from .summary import Part, Row, secs, table, times, verdict

    runs = results.each("arrays")
    if not runs:
        return None
    rows, summary_rows = [], []
    for a in runs:
        us = lambda key: f"{a[key] * 1e6:.2f} µs"  # noqa: E731
        rows.append([a["python"], f"{us('mz_array')} ({us('mz_array_cpu')})",
                     f"{us('intensity_array')} ({us('intensity_array_cpu')})",
                     f"{us('mz_array_small')} ({us('mz_array_small_cpu')})", secs(a["mz_list"])])
        worst = max(a["mz_array"], a["intensity_array"])
        worst_cpu = max(a["mz_array_cpu"], a["intensity_array_cpu"])
        summary_rows.append(Row(f"Arrays: one `mz_array` / `intensity_array` access, {a['points']:,}-point spectrum "
                                f"(Python {a['python']})", f"{worst * 1e6:.2f} µs", f"{worst_cpu * 1e6:.2f} µs", "1",
                                "< 2 µs (CPU)", verdict(worst_cpu * 1e6, 2.0, False)))
        summary_rows.append(Row(f"Arrays: access on {a['points']:,} points ÷ on {a['small_points']:,} points "
                                f"(Python {a['python']})", times(a["mz_array"] / a["mz_array_small"]),
                                times(a["mz_array_cpu"] / a["mz_array_small_cpu"]), "1", "reported", "—"))
    first = runs[0]
    text = table(["Python", "`mz_array`", "`intensity_array`",
                  f"`mz_array`, {first['small_points']:,}-point spectrum", "`mz` (a list)"], rows)
    text += (f"\n\nWall-clock time per access (CPU time in parentheses). One access on a spectrum of "
             f"{first['points']:,} points of `million-point`, and on the smallest non-empty spectrum of `qtof-run` "
             f"({first['small_points']:,} points), NumPy {first['numpy']}: a new read-only array over the decoded "
             "values, no copy (checked: two accesses share memory). Best of "
             f"{first['reps']} timings of {first['number']:,} accesses each (timeit); the list is shown for scale.")
    return Part("Array access", text, summary_rows)
