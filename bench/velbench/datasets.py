"""The synthetic acquisitions the benchmarks read, written with tools/write_acquisition.py.

Each is written once into the data folder and reused while its writer
command is unchanged (a stamp file beside it holds the command).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from .common import ROOT, log

WRITER = ROOT / "tools" / "write_acquisition.py"


@dataclass(frozen=True)
class Dataset:
    name: str
    args: tuple[str, ...]
    purpose: str

    def command(self, folder: Path) -> list[str]:
        return ["python3", "tools/write_acquisition.py", str(folder / f"{self.name}.d"), *self.args]


# Profile-heavy runs: every scan a 100 000-point LZF profile spectrum.
PROFILE_ARGS = ("--points", "100000", "--spectra", "profile", "--encoding", "lzf", "--ms2-share", "0.25",
                "--seed", "1")

def _datasets(quick: bool) -> dict[str, Dataset]:
    """The acquisitions of a run; quick mode (VELORIUM_BENCH_QUICK=1) writes
    smaller ones under the same names, for checking the harness."""
    big, small = ("110M", "11M") if quick else ("1.1G", "110M")
    million_scans = "2" if quick else "4"
    qtof_scans = "200" if quick else "1000"
    return {
        d.name: d
        for d in (
            Dataset("profile-1g", ("--target-size", big, *PROFILE_ARGS),
                    "whole decode, RawReader memory, streaming memory (large)"),
            Dataset("profile-100m", ("--target-size", small, *PROFILE_ARGS), "streaming memory (small)"),
            Dataset("million-point", ("--scans", million_scans, "--points", "1000000", "--spectra", "profile",
                                      "--encoding", "lzf", "--ms2-share", "0", "--seed", "5"),
                    "array access on a 10^6-point spectrum"),
            Dataset("qtof-run", ("--scans", qtof_scans, "--points", "20000", "--ms2-share", "0.4", "--spectra",
                                 "mixed", "--encoding", "mixed", "--seed", "3"),
                    "Python hand-over, mzML comparison (MS1 profile, MS2 centroid), array access on a small "
                    "spectrum"),
        )
    }


DATASETS = _datasets(os.environ.get("VELORIUM_BENCH_QUICK") == "1")


def path_of(folder: Path, name: str) -> Path:
    return folder / f"{name}.d"


def ensure(folder: Path, names: list[str]) -> dict[str, dict]:
    """Writes the missing or outdated datasets; returns their descriptions."""
    folder.mkdir(parents=True, exist_ok=True)
    out = {}
    for name in names:
        d = DATASETS[name]
        target = path_of(folder, name)
        stamp = folder / f"{name}.stamp"
        wanted = " ".join(d.args)
        seconds = None
        if not (stamp.is_file() and stamp.read_text() == wanted and (target / "AcqData" / "MSScan.bin").is_file()):
            if target.exists():
                shutil.rmtree(target)
            stamp.unlink(missing_ok=True)
            log(f"writing {target.name} ({wanted})")
            t0 = time.perf_counter()
            proc = subprocess.run([sys.executable, str(WRITER), str(target), *d.args], capture_output=True,
                                  text=True)
            if proc.returncode != 0:
                raise RuntimeError(f"writing {name} failed: {proc.stderr.strip()}")
            seconds = time.perf_counter() - t0
            stamp.write_text(wanted)
            (folder / f"{name}.summary").write_text(proc.stdout.strip())
        files = {p.name: p.stat().st_size for p in sorted((target / "AcqData").iterdir())}
        out[name] = {
            "name": name,
            "path": str(target),
            "writer_args": list(d.args),
            "command": " ".join(d.command(Path("DIR"))),
            "purpose": d.purpose,
            "writer_summary": (folder / f"{name}.summary").read_text() if (folder / f"{name}.summary").is_file() else "",
            "files": files,
            "bytes_on_disk": sum(files.values()),
            "write_seconds": seconds,
        }
    return out
