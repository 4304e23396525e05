"""Converting an acquisition to mzML (zlib on): the velorium command end to
end (decode + write) against the writers users have today, given the same
spectra already decoded in memory (their setup is not measured):

- pyopenms: MzMLFile().store() of an MSExperiment (the OpenMS C++ writer),
  m/z 64-bit, intensities 32-bit, zlib;
- psims: MzMLWriter.write_spectrum for every spectrum, the same encodings.

The three writers run in interleaved rounds (velorium, pyopenms, psims, then
again), each measurement in a fresh process, timed in wall-clock and in CPU
time; the best round of each counts. Also the peak resident memory of the
velorium command converting the large and the small run (the difference is
what grows with the run's size).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from .common import emit, log, run_step


def velorium_command(python: str) -> str:
    exe = Path(python).parent / "velorium"
    if not exe.is_file():
        found = shutil.which("velorium")
        if found is None:
            raise RuntimeError(f"no velorium command beside {python}")
        exe = Path(found)
    return str(exe)


def run_velorium(exe: str, acquisition: str, out: str) -> dict:
    """One conversion by the command; wall time and the child's peak RSS."""
    t0 = time.perf_counter()
    proc = subprocess.Popen([exe, "convert", acquisition, "-o", out, "--force"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode() if proc.stderr else ""
    if proc.returncode != 0:
        raise RuntimeError(f"velorium convert failed ({proc.returncode}): {err}")
    return {"seconds": seconds, "peak_rss": usage.ru_maxrss * 1024, "cpu_seconds": usage.ru_utime + usage.ru_stime,
            "bytes": Path(out).stat().st_size}


def load_spectra(acquisition: str) -> list:
    """Every spectrum as (record, m/z float64 array, intensity float32 array)."""
    import numpy as np

    import velorium

    spectra = []
    for s in velorium.iter_spectra(acquisition):
        spectra.append((s, np.asarray(s.mz, dtype=np.float64), np.asarray(s.intensity, dtype=np.float32)))
    return spectra


def openms_spectrum(s, mz, intensity):
    """A pyopenms MSSpectrum of the arrays given, with what velorium writes of
    the spectrum `s` besides them: retention time, MS level, native id,
    profile or centroid, the precursor's target m/z and collision energy."""
    import pyopenms as oms

    spectrum = oms.MSSpectrum()
    spectrum.set_peaks((mz, intensity))
    spectrum.setRT(s.retention_time_sec)
    spectrum.setMSLevel(s.ms_level)
    spectrum.setNativeID(s.native_id)
    kind = oms.SpectrumSettings.SpectrumType
    spectrum.setType(kind.PROFILE if s.scan_mode == "profile" else kind.CENTROID)
    if s.precursor is not None:
        precursor = oms.Precursor()
        if s.precursor["target_mz"] is not None:
            precursor.setMZ(s.precursor["target_mz"])
        if s.precursor["collision_energy"] is not None:
            precursor.setActivationEnergy(s.precursor["collision_energy"])
        spectrum.setPrecursors([precursor])
    return spectrum


def child_openms(acquisition: str, out: str) -> None:
    import pyopenms as oms

    spectra = load_spectra(acquisition)
    experiment = oms.MSExperiment()
    for s, mz, intensity in spectra:
        experiment.addSpectrum(openms_spectrum(s, mz, intensity))
    del spectra
    mzml = oms.MzMLFile()
    options = mzml.getOptions()
    options.setCompression(True)  # zlib
    options.setMz32Bit(False)
    options.setIntensity32Bit(True)
    mzml.setOptions(options)
    t0, c0 = time.perf_counter(), time.process_time()
    mzml.store(out, experiment)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    emit({"seconds": seconds, "cpu_seconds": cpu, "bytes": Path(out).stat().st_size,
          "spectra": experiment.getNrSpectra(),
          "pyopenms": oms.__version__})


def child_psims(acquisition: str, out: str) -> None:
    import numpy as np
    from psims.mzml.writer import MzMLWriter

    spectra = load_spectra(acquisition)
    encoding = {"m/z array": np.float64, "intensity array": np.float32}
    t0, c0 = time.perf_counter(), time.process_time()
    with MzMLWriter(open(out, "wb"), close=True) as writer:
        writer.controlled_vocabularies()
        writer.file_description(["MS1 spectrum", "MSn spectrum"])
        writer.software_list([writer.Software(id="psims", version="1", params=["python-psims"])])
        writer.instrument_configuration_list([writer.InstrumentConfiguration(id="IC1", component_list=[])])
        writer.data_processing_list([writer.DataProcessing(
            [writer.ProcessingMethod(order=0, software_reference="psims", params=["Conversion to mzML"])],
            id="conversion")])
        with writer.run(id="run", instrument_configuration="IC1"):
            with writer.spectrum_list(count=len(spectra)):
                for s, mz, intensity in spectra:
                    precursor = None
                    if s.precursor is not None and s.precursor["target_mz"] is not None:
                        precursor = {"mz": s.precursor["target_mz"], "activation": ["collision-induced dissociation"]}
                    writer.write_spectrum(mz, intensity, id=s.native_id, centroided=s.scan_mode == "centroid",
                                          scan_start_time=s.retention_time_sec, precursor_information=precursor,
                                          params=[{"ms level": s.ms_level}], compression="zlib", encoding=encoding)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    import psims

    emit({"seconds": seconds, "cpu_seconds": cpu, "bytes": Path(out).stat().st_size, "spectra": len(spectra),
          "psims": getattr(psims, "__version__", "?")})


def run(python: str, large: str, small: str, work: str, reps: int = 2) -> dict:
    exe = velorium_command(python)
    work_dir = Path(work)
    work_dir.mkdir(parents=True, exist_ok=True)
    out: dict = {"large": large, "small": small, "reps": reps, "threads": len(os.sched_getaffinity(0))}
    writers = {
        "velorium": lambda: run_velorium(exe, large, str(work_dir / "velorium.mzML")),
        "pyopenms": lambda: run_step(python, ["convert-openms", large, str(work_dir / "pyopenms.mzML")]),
        "psims": lambda: run_step(python, ["convert-psims", large, str(work_dir / "psims.mzML")], timeout=7200),
    }
    rounds: dict[str, list[dict]] = {name: [] for name in writers}
    for i in range(reps):
        for name, write in writers.items():
            log(f"{name} (round {i + 1} of {reps})")
            rounds[name].append(write())
    for name, runs in rounds.items():
        out[name] = min(runs, key=lambda r: r["seconds"])
        out[f"{name}_rounds"] = runs
    log("velorium convert of the small run (memory)")
    out["velorium_small"] = run_velorium(exe, small, str(work_dir / "velorium-small.mzML"))
    v = out["velorium"]["seconds"]
    out["vs_pyopenms"] = out["pyopenms"]["seconds"] / v
    out["vs_psims"] = out["psims"]["seconds"] / v
    # The same in CPU time (velorium's is the sum over its threads; least of the rounds).
    vc = min(r["cpu_seconds"] for r in rounds["velorium"])
    out["cpu_vs_pyopenms"] = min(r["cpu_seconds"] for r in rounds["pyopenms"]) / vc
    out["cpu_vs_psims"] = min(r["cpu_seconds"] for r in rounds["psims"]) / vc
    out["rss_difference"] = out["velorium"]["peak_rss"] - out["velorium_small"]["peak_rss"]
    for name in ("velorium.mzML", "velorium-small.mzML", "pyopenms.mzML", "psims.mzML"):
        (work_dir / name).unlink(missing_ok=True)
    return out


# --- Report ------------------------------------------------------------------

ORDER = 90


def report(results):
    from .summary import NOT_TIMED, MiB, Part, Row, mib, ratio_row, secs, table, times, verdict

    c = results.one("convert")
    if not c:
        return None
    v, o, p = c["velorium"], c["pyopenms"], c["psims"]
    n = c.get("threads", "all")
    rows = [
        ["`velorium convert RUN.d -o out.mzML` (decode + write, end to end)", str(n), secs(v["seconds"]),
         f"{v['cpu_seconds']:.1f} s", mib(v["bytes"]), "1.00×", "1.00×"],
        [f"pyopenms {o.get('pyopenms', '')} `MzMLFile().store()` of the spectra in memory", "1", secs(o["seconds"]),
         f"{o['cpu_seconds']:.1f} s", mib(o["bytes"]), times(c["vs_pyopenms"]), times(c["cpu_vs_pyopenms"])],
        [f"psims {p.get('psims', '')} `MzMLWriter` of the spectra in memory", "1", secs(p["seconds"]),
         f"{p['cpu_seconds']:.1f} s", mib(p["bytes"]), times(c["vs_psims"]), times(c["cpu_vs_psims"])],
    ]
    text = (f"The large run written as indexed mzML, zlib on (m/z 64-bit, intensities 32-bit floats); each writer "
            "in a fresh process. velorium's time includes opening and decoding the acquisition; the others are "
            "given the same spectra already decoded into memory (not timed). The three writers ran in "
            f"{c['reps']} interleaved rounds; the best round of each counts (CPU time: the least of its rounds). "
            "velorium compresses on every core; the other two are single-threaded writers.\n\n")
    text += table(["Writer", "Threads", "Wall time", "CPU time", "File", "Time ÷ velorium's (wall)",
                   "Time ÷ velorium's (CPU)"], rows)
    text += (f"\n\nPeak resident memory of the command: {mib(v['peak_rss'])} for the large run, "
             f"{mib(c['velorium_small']['peak_rss'])} for the small one; the difference, "
             f"{mib(c['rss_difference'])}, is what grows with the run (the index: one offset per spectrum).")
    threads = f"velorium {n}, other 1"
    summary_rows = [
        ratio_row("Convert to mzML, zlib: pyopenms `MzMLFile().store()` time ÷ `velorium convert` time",
                  c["vs_pyopenms"], c["cpu_vs_pyopenms"], threads, 2.0, True, "wall"),
        ratio_row("Convert to mzML, zlib: psims time ÷ `velorium convert` time", c["vs_psims"], c["cpu_vs_psims"],
                  threads, 20.0, True, "wall"),
        Row("Memory: `velorium convert` peak RSS, `profile-1g` − `profile-100m`", mib(c["rss_difference"]), NOT_TIMED,
            str(n), "< 64 MiB", verdict(c["rss_difference"] / MiB, 64.0, False)),
    ]
    return Part("Converting to mzML", text, summary_rows)


if __name__ == "__main__":
    sys.exit("run through python -m velbench")
