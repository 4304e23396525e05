"""The export options of `velorium convert`, each in a fresh process:

- size: the output's size ÷ the acquisition folder's size, for the sample
  acquisition and the large run, per option;
- speed: wall and CPU time of converting the large run, the options in
  interleaved rounds (a slow spell of the shared machine hits all alike);
  the throughput of --compact against the default, and against pyopenms'
  MzMLFile().store() of the same spectra (zero-trimmed, given to it already
  decoded: its setup is not measured) with the same encoding (MS-Numpress
  linear m/z, slof intensities, zlib);
- memory: the command's peak resident memory on the large run minus that on
  the small run, per option.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

from .common import ROOT, emit, log, run_step
from .convert import velorium_command

# name: (extra arguments, output suffix)
OPTIONS = {
    "default": ([], ".mzML"),
    "trim-zeros": (["--trim-zeros"], ".mzML"),
    "compact": (["--compact"], ".mzML"),
    "compact-gz": (["--compact"], ".mzML.gz"),
    "top-150": (["--threshold", "top=150"], ".mzML"),
    "mz-32": (["--mz-precision", "32"], ".mzML"),
}


def folder_bytes(folder: str) -> int:
    return sum(p.stat().st_size for p in Path(folder).rglob("*") if p.is_file())


def convert_once(exe: str, acquisition: str, out: Path, extra: list[str]) -> dict:
    """One conversion: wall time, the child's CPU time and peak RSS, the output's size."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([exe, "convert", acquisition, "-o", str(out), "--force", *extra],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    err = proc.stderr.read().decode() if proc.stderr else ""
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"velorium convert {' '.join(extra)} failed: {err}")
    size = out.stat().st_size
    out.unlink()
    return {"seconds": seconds, "cpu_seconds": usage.ru_utime + usage.ru_stime, "peak_rss": usage.ru_maxrss * 1024,
            "bytes": size}


def child_openms(acquisition: str, out: str) -> None:
    """pyopenms storing the zero-trimmed spectra with numpress linear/slof and zlib, timed."""
    import numpy as np
    import pyopenms as oms

    import velorium

    experiment = oms.MSExperiment()
    for s in velorium.iter_spectra(acquisition):
        mz = np.asarray(s.mz, dtype=np.float64)
        intensity = np.asarray(s.intensity, dtype=np.float32)
        nonzero = intensity != 0
        keep = nonzero.copy()
        keep[1:] |= nonzero[:-1]
        keep[:-1] |= nonzero[1:]
        spectrum = oms.MSSpectrum()
        spectrum.set_peaks((mz[keep], intensity[keep]))
        spectrum.setRT(s.retention_time_sec)
        spectrum.setMSLevel(s.ms_level)
        spectrum.setNativeID(s.native_id)
        experiment.addSpectrum(spectrum)
    mzml = oms.MzMLFile()
    options = mzml.getOptions()
    options.setCompression(True)
    for setter, kind in ((options.setNumpressConfigurationMassTime, oms.MSNumpressCoder.NumpressCompression.LINEAR),
                         (options.setNumpressConfigurationIntensity, oms.MSNumpressCoder.NumpressCompression.SLOF)):
        config = oms.NumpressConfig()
        config.np_compression = kind
        config.estimate_fixed_point = True
        config.numpressErrorTolerance = -1.0  # no decoding check: velorium's encoder makes none either
        setter(config)
    mzml.setOptions(options)
    t0, c0 = time.perf_counter(), time.process_time()
    mzml.store(out, experiment)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    emit({"seconds": seconds, "cpu_seconds": cpu, "bytes": Path(out).stat().st_size,
          "spectra": experiment.getNrSpectra(), "pyopenms": oms.__version__})
    Path(out).unlink()


def run(python: str, large: str, small: str, work: str, reps: int = 2) -> dict:
    exe = velorium_command(python)
    work_dir = Path(work)
    work_dir.mkdir(parents=True, exist_ok=True)
    sample = str(ROOT / "examples" / "data" / "sample.d")
    out: dict = {"large": large, "small": small, "sample": sample, "reps": reps,
                 "folder_bytes": {"sample": folder_bytes(sample), "large": folder_bytes(large),
                                  "small": folder_bytes(small)}}
    sizes: dict = {"sample": {}, "large": {}}
    rounds: dict = {name: [] for name in OPTIONS}
    small_runs: dict = {}
    for name, (extra, suffix) in OPTIONS.items():
        log(f"velorium convert {' '.join(extra)} of the sample")
        sizes["sample"][name] = convert_once(exe, sample, work_dir / f"sample{suffix}", extra)["bytes"]
        log(f"velorium convert {' '.join(extra)} of the small run (memory)")
        small_runs[name] = convert_once(exe, small, work_dir / f"small{suffix}", extra)
    for i in range(reps):
        for name, (extra, suffix) in OPTIONS.items():
            log(f"velorium convert {' '.join(extra)} of the large run (round {i + 1} of {reps})")
            rounds[name].append(convert_once(exe, large, work_dir / f"large{suffix}", extra))
    log("pyopenms MzMLFile().store with numpress linear/slof and zlib")
    out["pyopenms_compact"] = run_step(python, ["export-openms", large, str(work_dir / "pyopenms.mzML")],
                                       timeout=7200)
    best = {name: min(r, key=lambda x: x["seconds"]) for name, r in rounds.items()}
    for name, b in best.items():
        sizes["large"][name] = b["bytes"]
    out["rounds"] = rounds
    out["best"] = best
    out["size_ratio"] = {where: {name: size / out["folder_bytes"][where] for name, size in per.items()}
                         for where, per in sizes.items()}
    out["sizes"] = sizes
    d, c, o = best["default"], best["compact"], out["pyopenms_compact"]
    out["compact_vs_default"] = {"wall": d["seconds"] / c["seconds"], "cpu": d["cpu_seconds"] / c["cpu_seconds"]}
    out["pyopenms_vs_compact"] = {"wall": o["seconds"] / c["seconds"], "cpu": o["cpu_seconds"] / c["cpu_seconds"]}
    out["rss_difference"] = {name: best[name]["peak_rss"] - small_runs[name]["peak_rss"] for name in OPTIONS}
    return out


if __name__ == "__main__":
    sys.exit("run through python -m velbench")
