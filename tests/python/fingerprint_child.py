"""What a build of velorium makes of acquisitions, for comparing builds
(test_builds_agree.py, scripts/aarch64-check.sh), run in each build's
environment: prints, as JSON, the SHA-256 of everything the installed
velorium makes of each acquisition given (decoded arrays, tables,
chromatograms, mzML and MGF files from the module and from the `velorium`
command), and of the module's own file.

    python fingerprint_child.py WORK RUN.d...
    python fingerprint_child.py --write-runs DIR    the runs to compare, into DIR

The runs: the sample acquisition and synthetic runs of every block kind,
record layout, calibration and encoding the decoders know (writing them
needs tools/acqwriter and NumPy).
"""

from __future__ import annotations

import hashlib
import json
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
RUNS = {
    "qtof-284-both": dict(scans=24, points=20000, stride=284, encoding="mixed", spectra="both",
                          calibrations=3, polarity="alternate", seed=11),
    "qtof-220-rle": dict(scans=12, points=6000, stride=220, encoding="rle", spectra="mixed",
                         centroid_format=3, seed=12),
    "qtof-216-lzf": dict(scans=12, points=6000, stride=216, encoding="lzf", spectra="mixed",
                         centroid_format=2, calibrations=1, seed=13),
    "qqq-196": dict(scans=16, points=40, stride=196, seed=14),
    "qqq-186": dict(scans=16, points=40, stride=186, polarity=1, seed=15),
}


def write_runs(folder: Path) -> list[Path]:
    sys.path.insert(0, str(ROOT / "tools"))
    from acqwriter import synthetic_run, write_acquisition

    folder.mkdir(parents=True, exist_ok=True)
    runs = [folder / "sample.d"]
    shutil.copytree(ROOT / "examples" / "data" / "sample.d", runs[0], dirs_exist_ok=True)
    for name, options in RUNS.items():
        runs.append(folder / f"{name}.d")
        write_acquisition(runs[-1], synthetic_run(**options), overwrite=True)
    return runs


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def array_digest(array: np.ndarray) -> str:
    array = np.ascontiguousarray(array)
    return f"{array.dtype.str}{array.shape}:{digest(array.tobytes())}"


def columns(prefix: str, table: dict, into: dict) -> None:
    for name, column in table.items():
        into[f"{prefix}.{name}"] = array_digest(np.asarray(column))


def fingerprint(run: Path, work: Path) -> dict:
    import velorium

    out: dict[str, str] = {}
    reader = velorium.RawReader(str(run))
    columns("RawReader.peak_table", reader.peak_table(), out)
    columns("RawReader.scan_table", reader.scan_table(), out)
    out["RawReader.spectra"] = digest(repr([(s.mz, s.intensity, s.total_ion_current, s.base_peak_mz)
                                            for s in map(reader.read_spectrum, range(reader.scan_count))]).encode())
    out["RawReader.chromatograms"] = digest(repr(reader.read_chromatograms()).encode())
    targets = [float(mz) for mz in reader.peak_table()["mz"][:: max(1, len(reader.peak_table()["mz"]) // 7)][:7]]
    for prefer in ("profile", "centroid"):
        acq = velorium.Acquisition(str(run), prefer=prefer)
        columns(f"Acquisition({prefer}).peak_table", acq.peak_table(), out)
        columns(f"Acquisition({prefer}).scan_table", acq.scan_table(), out)
        if targets:
            times, intensities = acq.xic(targets, 20.0, ms_level=None)
            out[f"Acquisition({prefer}).xic"] = array_digest(times) + array_digest(intensities)
        for name, write in (("zlib.mzML", lambda p: acq.to_mzml(p)),
                            ("raw.mzML", lambda p: acq.to_mzml(p, compression=False)),
                            ("mgf", acq.to_mgf)):
            path = work / f"{run.stem}-{prefer}.{name}"
            write(str(path))
            out[f"Acquisition({prefer}).{name}"] = digest(path.read_bytes())
    command = Path(sys.executable).with_name("velorium")
    for form in ("mzml", "mgf"):
        path = work / f"{run.stem}-command.{form}"
        subprocess.run([str(command), "convert", str(run), "-o", str(path), "--format", form, "--force"],
                       check=True, capture_output=True)
        out[f"command.{form}"] = digest(path.read_bytes())
    return out


def main() -> None:
    if sys.argv[1] == "--write-runs":
        json.dump([str(run) for run in write_runs(Path(sys.argv[2]))], sys.stdout)
        return
    import velorium

    work = Path(sys.argv[1])
    work.mkdir(parents=True, exist_ok=True)
    result = {
        "module": digest(Path(velorium.__file__).read_bytes()),
        "runs": {run: fingerprint(Path(run), work) for run in sys.argv[2:]},
    }
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
