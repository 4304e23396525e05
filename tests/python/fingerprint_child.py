"""Child of test_builds_agree.py, run by each build's interpreter: prints, as
JSON, the SHA-256 of everything the installed velorium makes of each
acquisition given (decoded arrays, tables, chromatograms, mzML and MGF
files from the module and from the `velorium` command), and of the module's
own file.

    python fingerprint_child.py WORK RUN.d...
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
from pathlib import Path

import numpy as np

import velorium


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def array_digest(array: np.ndarray) -> str:
    array = np.ascontiguousarray(array)
    return f"{array.dtype.str}{array.shape}:{digest(array.tobytes())}"


def columns(prefix: str, table: dict, into: dict) -> None:
    for name, column in table.items():
        into[f"{prefix}.{name}"] = array_digest(np.asarray(column))


def fingerprint(run: Path, work: Path) -> dict:
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
    work = Path(sys.argv[1])
    work.mkdir(parents=True, exist_ok=True)
    result = {
        "module": digest(Path(velorium.__file__).read_bytes()),
        "runs": {run: fingerprint(Path(run), work) for run in sys.argv[2:]},
    }
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
