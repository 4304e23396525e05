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

OTHER = os.environ.get("VELORIUM_OTHER_BUILD", "")
pytestmark = pytest.mark.skipif(not OTHER, reason="VELORIUM_OTHER_BUILD names no interpreter with another build")
CHILD = Path(__file__).with_name("fingerprint_child.py")
RUNS = ["sample", "qtof-284-both", "qtof-220-rle", "qtof-216-lzf", "qqq-196", "qqq-186"]


def child(python: str, *args: str) -> object:
    done = subprocess.run([python, str(CHILD), *args], capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def fingerprints(tmp_path_factory):
    folder = tmp_path_factory.mktemp("builds")
    runs = child(sys.executable, "--write-runs", str(folder / "runs"))
    assert [Path(run).stem for run in runs] == RUNS
    this, other = child(sys.executable, str(folder / "this"), *runs), child(OTHER, str(folder / "other"), *runs)
    for result in this, other:
        result["runs"] = {Path(run).stem: found for run, found in result["runs"].items()}
    return this, other


def test_the_other_environment_has_another_build(fingerprints):
    this, other = fingerprints
    assert this["module"] != other["module"]


@pytest.mark.parametrize("run", RUNS)
def test_both_builds_make_the_same_bytes(fingerprints, run):
    this, other = fingerprints
    differ = sorted(key for key in this["runs"][run].keys() | other["runs"][run].keys()
                    if this["runs"][run].get(key) != other["runs"][run].get(key))
    assert differ == []
    assert len(this["runs"][run]) >= 20
