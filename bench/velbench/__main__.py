"""python -m velbench STEP ...: one step of the benchmark suite (bench/run.sh runs them all)."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from .common import emit, read_json, write_json


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python -m velbench", description=__doc__)
    sub = p.add_subparsers(dest="step", required=True)

    s = sub.add_parser("machine", help="describe the machine")
    s.add_argument("--python", action="append", default=[], help="an interpreter the suite uses (repeatable)")
    s.add_argument("--out", required=True)

    s = sub.add_parser("data", help="write the benchmark acquisitions that are missing")
    s.add_argument("--dir", required=True)
    s.add_argument("--out", required=True)
    s.add_argument("names", nargs="*")

    s = sub.add_parser("cpp", help="reduce the C++ benchmark's JSON output")
    s.add_argument("json")
    s.add_argument("--out", required=True)

    s = sub.add_parser("decode", help="RawReader against liblzf on the same blocks")
    s.add_argument("acquisition")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("rawreader-once", help="(child) one RawReader construction")
    s.add_argument("acquisition")

    s = sub.add_parser("handover", help="mz and intensity lists against list(array.array)")
    s.add_argument("acquisition")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("arrays", help="time of one mz_array / intensity_array access on a 10^6-point spectrum")
    s.add_argument("acquisition")
    s.add_argument("--small", help="the run whose smallest spectrum is timed too (default: ACQUISITION)")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("memory", help="peak RSS of streaming and of RawReader")
    s.add_argument("small")
    s.add_argument("large")
    s.add_argument("--out", required=True)

    s = sub.add_parser("rss", help="(child) peak RSS of one way of reading")
    s.add_argument("mode", choices=("stream", "reader"))
    s.add_argument("acquisition")

    s = sub.add_parser("mzml-write", help="(setup) write the acquisition's spectra as mzML with pyopenms")
    s.add_argument("acquisition")
    s.add_argument("mzml")
    s.add_argument("--stamp", default="", help="skip when MZML exists and MZML.stamp holds this text")

    s = sub.add_parser("mzml", help="velorium against pyopenms and pyteomics reading the mzML")
    s.add_argument("acquisition")
    s.add_argument("mzml")
    s.add_argument("--reps", type=int, default=3)
    s.add_argument("--out", required=True)

    s = sub.add_parser("xic", help="xic() of 1000 targets against decoding alone and against NumPy")
    s.add_argument("acquisition")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("convert", help="the velorium command against pyopenms and psims writing mzML")
    s.add_argument("large")
    s.add_argument("small")
    s.add_argument("--work", required=True, help="folder for the files written")
    s.add_argument("--reps", type=int, default=2)
    s.add_argument("--out", required=True)

    s = sub.add_parser("convert-openms", help="(child) MzMLFile().store of the spectra, timed")
    s.add_argument("acquisition")
    s.add_argument("mzml")

    s = sub.add_parser("convert-psims", help="(child) psims MzMLWriter of the spectra, timed")
    s.add_argument("acquisition")
    s.add_argument("mzml")

    s = sub.add_parser("export", help="the export options: output sizes, speed against pyopenms, memory")
    s.add_argument("large")
    s.add_argument("small")
    s.add_argument("--work", required=True, help="folder for the files written")
    s.add_argument("--reps", type=int, default=2)
    s.add_argument("--out", required=True)

    s = sub.add_parser("export-openms", help="(child) MzMLFile().store with numpress of zero-trimmed spectra, timed")
    s.add_argument("acquisition")
    s.add_argument("mzml")

    s = sub.add_parser("profile", help="perf samples of streaming and of RawReader")
    s.add_argument("acquisition")
    s.add_argument("--out", required=True)

    s = sub.add_parser("acquisition", help="Acquisition: opening, random access, a pass, memory")
    s.add_argument("small")
    s.add_argument("large")
    s.add_argument("--cpp", required=True, help="the velorium_spectrum_time executable")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("acquisition-rss", help="(child) peak RSS of a pass with Acquisition.spectra()")
    s.add_argument("acquisition")

    s = sub.add_parser("toolchain", help="the portable wheel's build against the system compiler's, side by side")
    s.add_argument("acquisition")
    s.add_argument("--system", required=True, help="an interpreter with velorium built by the system's compiler")
    s.add_argument("--zig", required=True, help="an interpreter with the portable wheel installed")
    s.add_argument("--wheel", help="that wheel (its size is reported)")
    s.add_argument("--work", required=True, help="folder for the files written")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("toolchain-decode", help="(child) a whole-run decode, timed")
    s.add_argument("acquisition")

    s = sub.add_parser("codecs", help="MS-Numpress encoders against pynumpress, SHA-1 against hashlib")
    s.add_argument("--cpp", required=True, help="the velorium_codecs_time executable")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("many", help="velorium.dask: xic over 20 runs, peaks memory, scan_table over 100 runs")
    s.add_argument("--data", required=True, help="the data folder (its many/ subfolder holds the runs written)")
    s.add_argument("--big", required=True, help="the 1 GB run")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("peaks", help="pick_peaks against PeakPickerHiRes: accuracy, speed, a feature finder")
    s.add_argument("sample", help="an acquisition with profile spectra (the speed and the feature finder)")
    s.add_argument("--large", help="a large profile run: Acquisition(pick_peaks='all') against decoding it")
    s.add_argument("--reps", type=int, default=5)
    s.add_argument("--out", required=True)

    s = sub.add_parser("report", help="write BENCHMARKS.md from the result files, and README.md's summary from it")
    s.add_argument("--results", required=True)
    s.add_argument("--out", required=True)
    s.add_argument("--readme", help="the README.md whose benchmark summary block is rewritten")

    args = p.parse_args(argv)
    if args.step == "machine":
        from .machine import describe

        info = describe(args.python or [sys.executable])
        if Path(args.out).is_file():  # described at the start of the run: keep that load average
            info["load_average_end"] = info["load_average"]
            info["load_average"] = read_json(args.out)["load_average"]
            info["date"] = read_json(args.out)["date"]
        write_json(args.out, info)
    elif args.step == "data":
        from .datasets import DATASETS, ensure

        write_json(args.out, ensure(Path(args.dir), args.names or list(DATASETS)))
    elif args.step == "cpp":
        from .cpp import reduce

        write_json(args.out, reduce(read_json(args.json)))
    elif args.step == "decode":
        from .decode import run

        write_json(args.out, run(args.acquisition, args.reps, sys.executable))
    elif args.step == "rawreader-once":
        from .decode import rawreader_once

        rawreader_once(args.acquisition)
    elif args.step == "handover":
        from .handover import run

        write_json(args.out, run(args.acquisition, args.reps))
    elif args.step == "arrays":
        from .arrays import run

        write_json(args.out, run(args.acquisition, args.reps, args.small))
    elif args.step == "memory":
        from .memory import run

        write_json(args.out, run(sys.executable, args.small, args.large))
    elif args.step == "rss":
        from .memory import child

        child(args.mode, args.acquisition)
    elif args.step == "mzml-write":
        from .mzml import write_mzml

        stamp = Path(args.mzml + ".stamp")
        if args.stamp and Path(args.mzml).is_file() and stamp.is_file() and stamp.read_text() == args.stamp:
            info = read_json(args.mzml + ".json")
            info["cached"] = True
        else:
            info = write_mzml(args.acquisition, args.mzml)
            write_json(args.mzml + ".json", info)
            stamp.write_text(args.stamp)
        emit(info)
    elif args.step == "mzml":
        from .mzml import run

        write_json(args.out, run(args.acquisition, args.mzml, args.reps))
    elif args.step == "xic":
        from .xic import run

        write_json(args.out, run(args.acquisition, args.reps))
    elif args.step == "convert":
        from .convert import run

        write_json(args.out, run(sys.executable, args.large, args.small, args.work, args.reps))
    elif args.step == "convert-openms":
        from .convert import child_openms

        child_openms(args.acquisition, args.mzml)
    elif args.step == "convert-psims":
        from .convert import child_psims

        child_psims(args.acquisition, args.mzml)
    elif args.step == "export":
        from .export import run

        write_json(args.out, run(sys.executable, args.large, args.small, args.work, args.reps))
    elif args.step == "export-openms":
        from .export import child_openms

        child_openms(args.acquisition, args.mzml)
    elif args.step == "profile":
        from .profile import run

        write_json(args.out, run(args.acquisition))
    elif args.step == "acquisition":
        from .acquisition import run

        write_json(args.out, run(sys.executable, args.small, args.large, args.cpp, args.reps))
    elif args.step == "acquisition-rss":
        from .acquisition import rss_child

        rss_child(args.acquisition)
    elif args.step == "toolchain":
        from .toolchain import run

        write_json(args.out, run({"system": args.system, "zig": args.zig}, args.acquisition, args.work, args.reps,
                                    args.wheel))
    elif args.step == "toolchain-decode":
        from .toolchain import child_decode

        child_decode(args.acquisition)
    elif args.step == "codecs":
        from .codecs import run

        write_json(args.out, run(args.cpp, args.reps))
    elif args.step == "many":
        from .many import run

        write_json(args.out, run(args.data, args.big, args.reps))
    elif args.step == "peaks":
        from .peaks import run

        write_json(args.out, run(args.sample, args.large, args.reps))
    elif args.step == "report":
        from .report import update_readme, write_report

        write_report(Path(args.results), Path(args.out))
        if args.readme:
            update_readme(Path(args.readme), Path(args.out).read_text())
    return 0


if __name__ == "__main__":
    sys.exit(main())
