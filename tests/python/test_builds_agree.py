"""Two builds of velorium, this one and another (VELORIUM_OTHER_BUILD: the
interpreter of an environment where another compiler built it; the test
command sets it), make the same bytes of every acquisition: decoded arrays,
tables, chromatograms, mzML and MGF files. A compiler or C++ runtime that
changed one m/z value in its last bit would show here."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT
from acqwriter import synthetic_run, write_acquisition

OTHER = os.environ.get("VELORIUM_OTHER_BUILD", "")
pytestmark = pytest.mark.skipif(not OTHER, reason="VELORIUM_OTHER_BUILD names no interpreter with another build")

# Every block kind, record layout, calibration and encoding the decoders know.
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


@pytest.fixture(scope="module")
def fingerprints(tmp_path_factory):
    folder = tmp_path_factory.mktemp("builds")
    runs = {"sample": ROOT / "examples" / "data" / "sample.d"}
    for name, options in RUNS.items():
        runs[name] = folder / f"{name}.d"
        write_acquisition(runs[name], synthetic_run(**options))

    def of(python: str, work: str) -> dict:
        child = Path(__file__).with_name("fingerprint_child.py")
        done = subprocess.run([python, str(child), str(folder / work), *map(str, runs.values())],
                              capture_output=True, text=True, timeout=900)
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout)
        result["runs"] = {name: result["runs"][str(path)] for name, path in runs.items()}
        return result

    return of(sys.executable, "this"), of(OTHER, "other")


def test_the_other_environment_has_another_build(fingerprints):
    this, other = fingerprints
    assert this["module"] != other["module"]


@pytest.mark.parametrize("run", ["sample", *RUNS])
def test_both_builds_make_the_same_bytes(fingerprints, run):
    this, other = fingerprints
    differ = sorted(key for key in this["runs"][run].keys() | other["runs"][run].keys()
                    if this["runs"][run].get(key) != other["runs"][run].get(key))
    assert differ == []
    assert len(this["runs"][run]) >= 20
