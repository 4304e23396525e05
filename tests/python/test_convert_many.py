"""examples/convert_many.py: many acquisitions converted by the worker
processes of a Dask LocalCluster, failures reported per acquisition."""

from __future__ import annotations

import subprocess
import sys
import types
from pathlib import Path

import pytest

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import check_mzml

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "convert_many.py"

distributed = pytest.importorskip("dask.distributed", reason="dask[distributed] is not installed")


def load_example():
    # A module object of its own, not entered in sys.modules, as the example
    # would be loaded from its file.
    module = types.ModuleType("convert_many")
    module.__file__ = str(EXAMPLE)
    exec(compile(EXAMPLE.read_text(encoding="utf-8"), str(EXAMPLE), "exec"), module.__dict__)
    return module


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("many")
    paths = []
    for i, stride in enumerate([284, 186, 216, 196]):
        acq = synthetic_run(scans=10, points=120, ms2_share=0.3, stride=stride, seed=i, compounds=3,
                            background_ions=3)
        folder = root / f"sample{i}.d"
        write_acquisition(folder, acq)
        paths.append(str(folder))
    return paths


def test_a_local_cluster_of_processes_converts_every_acquisition(inputs, tmp_path):
    example = load_example()
    out = tmp_path / "mzml"
    out.mkdir()
    missing = str(tmp_path / "missing.d")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        pids = set(client.run(lambda: __import__("os").getpid()).values())
        results = example.convert_all([*inputs, missing], str(out), client)
    assert len(pids) == 2 and not pids & {__import__("os").getpid()}  # separate worker processes
    assert [r["input"] for r in results] == [*inputs, missing]
    assert results[-1]["error"] == "RuntimeError: parse error: AcqData directory not found"
    assert sorted(p.name for p in out.iterdir()) == [f"sample{i}.mzML" for i in range(4)]
    for path, r in zip(inputs, results):
        assert r["output"] == str(out / (Path(path).name[:-2] + ".mzML"))
        assert r["spectra"] == velorium.RawReader(path).scan_count
        check_mzml(r["output"])
        # The same file as a conversion in this process.
        here = tmp_path / "here.mzML"
        velorium.Acquisition(path).to_mzml(here)
        assert here.read_bytes() == Path(r["output"]).read_bytes()


def test_the_command_line_of_the_example(inputs, tmp_path):
    out = tmp_path / "cli"
    done = subprocess.run([sys.executable, str(EXAMPLE), *inputs[:2], str(tmp_path / "nope.d"), "-o", str(out),
                           "--workers", "2"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 1
    assert [line.split(" -> ")[0] for line in done.stdout.splitlines()] == inputs[:2]
    errors = [line for line in done.stderr.splitlines() if "failed:" in line]
    assert errors == [f"{tmp_path / 'nope.d'}: failed: RuntimeError: parse error: AcqData directory not found"]
    assert sorted(p.name for p in out.iterdir()) == ["sample0.mzML", "sample1.mzML"]
