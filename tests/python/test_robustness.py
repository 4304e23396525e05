"""Damaged acquisitions (flipped bytes, truncations, swapped, missing and
replaced files) end with data or a RuntimeError, never a crash or a hang.
VELORIUM_ROBUSTNESS_CASES sets the number of cases (default 1000)."""

import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from acqwriter import synthetic_run, write_acquisition

HERE = Path(__file__).resolve().parent
FILES = ["MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin", "DefaultMassCal.xml", "Devices.xml",
         "Contents.xml"]
CASES = int(os.environ.get("VELORIUM_ROBUSTNESS_CASES", "1000"))
MEMORY_LIMIT = 3 << 30  # address space of each child, bytes


def damage(folder, rng):
    """Applies one to three random injuries to the files of `folder`."""
    acq = folder / "AcqData"
    for _ in range(rng.randint(1, 3)):
        name = rng.choice(FILES)
        path = acq / name
        kind = rng.choice(["flip", "flip", "flip", "truncate", "swap", "remove", "random", "directory", "grow"])
        if not path.is_file() and kind not in ("random",):
            continue
        if kind == "flip":
            data = bytearray(path.read_bytes())
            for _ in range(rng.randint(1, 16)):
                if data:
                    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            path.write_bytes(bytes(data))
        elif kind == "truncate":
            data = path.read_bytes()
            path.write_bytes(data[: rng.randrange(len(data) + 1)])
        elif kind == "swap":
            other = acq / rng.choice(FILES)
            if other.is_file() and other != path:
                a, b = path.read_bytes(), other.read_bytes()
                path.write_bytes(b)
                other.write_bytes(a)
        elif kind == "remove":
            path.unlink()
        elif kind == "random":
            if path.is_dir():
                continue
            path.write_bytes(rng.randbytes(rng.randrange(4096)))
        elif kind == "directory":
            path.unlink()
            path.mkdir()
        elif kind == "grow":
            with open(path, "ab") as f:
                f.write(rng.randbytes(rng.randrange(1, 300)))


def run_children(paths, timeout):
    child = subprocess.run(
        [sys.executable, str(HERE / "robustness_child.py"), str(MEMORY_LIMIT)],
        input="\n".join(str(p) for p in paths) + "\n",
        capture_output=True, text=True, timeout=timeout,
    )
    return child.returncode, child.stdout.splitlines(), child.stderr


@pytest.fixture(scope="module")
def base_runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("base")
    runs = []
    for stride, encoding, seed in [(284, "mixed", 1), (216, "rle", 2), (186, "lzf", 3)]:
        folder = root / f"s{stride}.d"
        write_acquisition(folder, synthetic_run(scans=6, points=300, ms2_share=0.34, stride=stride,
                                                encoding=encoding, seed=seed, compounds=4, background_ions=4))
        runs.append(folder)
    return runs


def test_damaged_acquisitions(base_runs, tmp_path):
    rng = random.Random(20261209)
    paths = []
    for case in range(CASES):
        folder = tmp_path / f"case{case}.d"
        shutil.copytree(rng.choice(base_runs), folder)
        damage(folder, rng)
        paths.append(folder)

    batch = 100
    outcomes = []
    for start in range(0, len(paths), batch):
        chunk = paths[start:start + batch]
        code, lines, stderr = run_children(chunk, timeout=300)
        if code != 0 or len(lines) != len(chunk):
            # Find the case that took the child down.
            for path in chunk[len(lines):]:
                single, out, err = run_children([path], timeout=60)
                assert single == 0 and len(out) == 1, f"child died on {path}: exit {single}\n{err[-2000:]}"
            pytest.fail(f"batch at {start} failed: exit {code}\n{stderr[-2000:]}")
        outcomes += lines
    bad = [(p, o) for p, o in zip(paths, outcomes) if not o.startswith("ok ")]
    assert not bad, bad[:5]
    # The damage must reach the decoders, not only the opening: both data and
    # errors are seen.
    assert any("raw:" in o for o in outcomes)
    assert any("raw-error" in o for o in outcomes)
    assert any("iter-error:vendor parser error" in o for o in outcomes)
    # Acquisition opens exactly where RawReader's open succeeds, with the same
    # text where it fails, and fails the bad scans alone.
    counted = 0
    for o in outcomes:
        if "acq-error:" in o:
            text = o.split("acq-error:", 1)[1]
            assert "raw-error:" + text in o and "iter-error:" + text in o, o
            continue
        scans, failed = map(int, re.search(r"acq:(\d+):(\d+)$", o).groups())
        assert (f"raw:{scans}" in o) if failed == 0 else ("raw-error:" in o), o
        counted += 0 < failed < scans
    assert counted  # some damaged runs have good and bad scans side by side


def test_the_undamaged_runs_decode(base_runs):
    code, lines, stderr = run_children(base_runs, timeout=60)
    assert code == 0, stderr
    assert all(line.startswith("ok raw:6") and "iter:6" in line and line.endswith("acq:6:0") for line in lines), lines
