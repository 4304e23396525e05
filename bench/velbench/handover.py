"""Python hand-over: the mz and intensity lists of every spectrum.

velorium builds a new list of Python floats on every access of Spectrum.mz
and Spectrum.intensity. The floor for that is array.tolist() over
array.array copies of the same values ('d' for m/z, 'f' for the 32-bit
intensities, widened to Python floats as velorium does): the fastest way
the standard library builds the same lists, with no decoding at all.
list(array) is timed beside it for comparison.
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

    def tolist() -> int:
        n = 0
        for mz_array, intensity_array in arrays:
            mz = mz_array.tolist()
            intensity = intensity_array.tolist()
            n += len(mz) + len(intensity)
        return n

    def list_of_array() -> int:
        n = 0
        for mz_array, intensity_array in arrays:
            mz = list(mz_array)
            intensity = list(intensity_array)
            n += len(mz) + len(intensity)
        return n

    # Same values, element by element, in every spectrum.
    for s, (a, b) in zip(spectra, arrays):
        if s.mz != a.tolist() or s.intensity != b.tolist():
            raise RuntimeError(f"spectrum {s.index}: the array copy differs from velorium's lists")
    cpu: dict[str, list[float]] = {}
    times, results = interleaved({"velorium": velorium_lists, "tolist": tolist, "list": list_of_array}, reps, cpu)
    if len(set(results.values())) != 1 or results["velorium"] != 2 * points:
        raise RuntimeError("the ways of building the lists built different numbers of floats")
    t = {name: summary(v) for name, v in times.items()}
    c = {name: min(v) for name, v in cpu.items()}
    return {
        "path": path,
        "python": sys.version.split()[0],
        "spectra": len(spectra),
        "points": points,
        "floats": 2 * points,
        "times": t,
        "cpu_seconds": c,
        "floats_per_second": {name: 2 * points / v["min"] for name, v in t.items()},
        "ratio": ratio(t["velorium"]["min"], t["tolist"]["min"]),
        "cpu_ratio": ratio(c["velorium"], c["tolist"]),
        "reps": reps,
    }


# --- Report ------------------------------------------------------------------

ORDER = 40


def report(results):
    from .summary import Part, ratio_row, secs, table, times

    runs = results.each("handover")
    if not runs:
        return None
    rows, summary_rows = [], []
    for h in runs:
        t, c = h["times"], h["cpu_seconds"]
        rows.append([h["python"], f"{h['spectra']:,} spectra, {h['floats']:,} floats",
                     f"{secs(t['velorium']['min'])} ({secs(c['velorium'])})",
                     f"{secs(t['tolist']['min'])} ({secs(c['tolist'])})", f"{secs(t['list']['min'])} ({secs(c['list'])})",
                     f"{h['floats_per_second']['velorium'] / 1e6:.0f} M/s", times(h["ratio"]), times(h["cpu_ratio"])])
        summary_rows.append(ratio_row(f"Python hand-over: `.mz` + `.intensity` ÷ `array.tolist()` (Python "
                                      f"{h['python']})", h["ratio"], h["cpu_ratio"], "1 each", 1.2, False, "CPU"))
    text = table(["Python", "Lists built", "velorium `.mz` + `.intensity`", "`array.tolist()`", "`list(array)`",
                  "velorium floats/s", "Ratio to `tolist()` (wall)", "Ratio (CPU)"], rows)
    text += ("\n\nTimes are wall clock (CPU time in parentheses), best of the interleaved rounds, one thread. Every "
             "spectrum of `qtof-run` is held as a `Spectrum` (from `RawReader.read_spectrum`); the measured loop "
             "reads `mz` and `intensity` of each, which builds two new lists of Python floats. The floor builds "
             "the same lists with `tolist()` of `array.array('d')` and `array.array('f')` copies of the same "
             "values (checked equal beforehand); `list(array)`, slower, is shown beside it. The ratio is "
             "velorium's time over the floor's.")
    return Part("Python hand-over", text, summary_rows)
