"""Command line: write a synthetic acquisition folder."""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

from .msscan import STRIDES

_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12,
          "ki": 2**10, "mi": 2**20, "gi": 2**30, "ti": 2**40}


def parse_size(text: str) -> int:
    """'1G', '500M', '1.5GiB', '2e9', '123456' -> bytes (k/M/G decimal, Ki/Mi/Gi binary)."""
    m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+(?:[eE][0-9]+)?)\s*([kKmMgGtT]i?)?[bB]?\s*", text)
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (try 1G, 500M, 2GiB)")
    value = float(m.group(1)) * _UNITS[(m.group(2) or "").lower()]
    if value < 1:
        raise argparse.ArgumentTypeError("size must be at least 1 byte")
    return int(value)


def _share(text: str) -> float:
    v = float(text)
    if not 0.0 <= v <= 1.0:
        raise argparse.ArgumentTypeError("must be between 0 and 1")
    return v


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="write_acquisition.py",
        description=(
            "Write a synthetic, deterministic acquisition folder OUT.d/AcqData/ with MSScan.bin, "
            "MSProfile.bin, MSPeak.bin, MSMassCal.bin, DefaultMassCal.xml, Devices.xml and Contents.xml. "
            "Q-TOF runs (strides 284, 220, 216) carry profile spectra on a calibrated flight-time axis and "
            "centroids; triple-quadrupole runs (strides 196, 186) carry m/z centroid blocks and no "
            "calibration files."
        ),
        epilog=(
            "Examples: a Q-TOF auto MS/MS run with MS1 profile and MS2 centroid spectra: "
            "write_acquisition.py run.d --scans 300 --points 20000 --ms2-share 0.4 --spectra mixed --encoding mixed; "
            "a run of 1 GB of decoded points: write_acquisition.py /tmp/big.d --target-size 1G --points 200000; "
            "a triple-quadrupole run: write_acquisition.py qqq.d --stride 186 --scans 500 --points 400."
        ),
    )
    p.add_argument("out", type=Path, metavar="OUT.d", help="acquisition folder to create")
    p.add_argument("--scans", type=int, default=100, help="number of scans (default 100; ignored with --target-size)")
    p.add_argument("--points", type=int, default=20000,
                   help="points per profile spectrum (Q-TOF) or per centroid block (QQQ); default 20000")
    p.add_argument("--ms2-share", type=_share, default=0.25, help="fraction of MS2 scans, 0..1 (default 0.25)")
    p.add_argument("--stride", type=int, choices=STRIDES, default=284,
                   help="MSScan.bin record layout (default 284; 196 and 186 give a triple-quadrupole run)")
    p.add_argument("--encoding", choices=("lzf", "rle", "mixed", "lzf-literal"), default="lzf",
                   help="profile block encoding (default lzf; lzf-literal needs no liblzf)")
    p.add_argument("--spectra", choices=("profile", "centroid", "both", "mixed"), default=None,
                   help="Q-TOF blocks per scan (default: both for stride 284, else MS1 profile / MS2 centroid)")
    p.add_argument("--centroid-format", type=int, choices=(2, 3), default=2,
                   help="Q-TOF centroid blocks with flight times (2, default) or m/z values (3)")
    p.add_argument("--polarity", default="0", help="polarity code of every scan, or 'alternate' (default 0)")
    p.add_argument("--seed", type=int, default=0, help="random seed (default 0); same seed, same bytes")
    p.add_argument("--target-size", type=parse_size, default=None, metavar="SIZE",
                   help="aim for this much decoded data (12 bytes per point), e.g. 1G, 250M; sets the scan count")
    p.add_argument("--force", action="store_true", help="replace the acquisition files of an existing OUT.d")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        from .model import write_acquisition
        from .synthetic import synthetic_run
    except ModuleNotFoundError as exc:
        print(f"write_acquisition.py: error: the writer needs {exc.name} (pip install {exc.name})", file=sys.stderr)
        return 1

    if args.scans < 1:
        print("write_acquisition.py: error: --scans must be >= 1", file=sys.stderr)
        return 2
    if args.points < 1:
        print("write_acquisition.py: error: --points must be >= 1", file=sys.stderr)
        return 2
    polarity = args.polarity if args.polarity == "alternate" else None
    if polarity is None:
        try:
            polarity = int(args.polarity)
        except ValueError:
            print("write_acquisition.py: error: --polarity takes an integer or 'alternate'", file=sys.stderr)
            return 2
    try:
        run = synthetic_run(
            scans=args.scans, points=args.points, ms2_share=args.ms2_share, stride=args.stride,
            encoding=args.encoding, seed=args.seed, spectra=args.spectra,
            centroid_format=args.centroid_format, polarity=polarity, target_size=args.target_size,
        )
        result = write_acquisition(args.out, run, overwrite=args.force)
    except FileExistsError as exc:
        # The library's message names its keyword argument; here the switch is --force.
        message = str(exc).replace("pass overwrite=True", "pass --force")
        print(f"write_acquisition.py: error: {message}", file=sys.stderr)
        return 1
    except (ValueError, RuntimeError, OSError) as exc:
        print(f"write_acquisition.py: error: {exc}", file=sys.stderr)
        return 1
    print(result.summary())
    return 0
