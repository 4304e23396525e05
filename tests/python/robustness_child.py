"""Child process of the robustness tests: opens and streams each acquisition
folder named on standard input (one per line) and prints one line per case:
"ok <spectra>", "error <RuntimeError text>" or "bad <exception>"."""

import resource
import sys

limit = int(sys.argv[1]) if len(sys.argv) > 1 else 0
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

import velorium  # noqa: E402


def exercise(path):
    outcomes = []
    try:
        reader = velorium.RawReader(path)
        outcomes.append(f"raw:{reader.scan_count}")
        reader.run_info()
        reader.device_info()
        reader.scan_index()
        for i in range(reader.scan_count):
            s = reader.read_spectrum(i)
            s.mz, s.intensity, s.precursor, s.extra, repr(s), s.total_ion_current, s.base_peak_mz
        try:
            reader.read_chromatograms()
        except RuntimeError:
            outcomes.append("chrom-error")
    except RuntimeError as e:
        outcomes.append("raw-error:" + str(e)[:60])
    try:
        n = sum(1 for _ in velorium.iter_spectra(path))
        outcomes.append(f"iter:{n}")
    except RuntimeError as e:
        outcomes.append("iter-error:" + str(e)[:60])
    outcomes.append(exercise_acquisition(path))
    return " ".join(outcomes)


def exercise_acquisition(path):
    """Acquisition opens where RawReader's open succeeds and fails each bad
    scan alone: "acq:<scans>:<failed scans>" or "acq-error:<text>"."""
    try:
        acq = velorium.Acquisition(path)
    except RuntimeError as e:
        return "acq-error:" + str(e)[:60]
    acq.run_info()
    acq.device_info()
    acq.scan_index()
    failed = 0
    for i in range(len(acq)):
        try:
            s = acq[i]
            s.mz, s.intensity, s.precursor, s.extra, repr(s)
        except RuntimeError:
            failed += 1
    try:
        for prefer in ("profile", "centroid"):
            for s in velorium.Acquisition(path, prefer=prefer).spectra(rt_range=(0.0, 1e300)):
                s.mz
    except RuntimeError:
        pass
    return f"acq:{len(acq)}:{failed}"


for line in sys.stdin:
    path = line.rstrip("\n")
    try:
        result = "ok " + exercise(path)
    except BaseException as e:  # anything but RuntimeError is a defect
        result = f"bad {type(e).__name__}: {e}"
    print(result.replace("\n", " "), flush=True)
