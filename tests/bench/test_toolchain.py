import sys

import pytest

from velbench import toolchain


def fake_builds(monkeypatch, tmp_path, seconds, mzml):
    """Both builds stood in for: each round's decode and convert take the given
    seconds ({build: [per round]}), and each build writes the given mzML bytes."""
    calls = {build: iter(times) for build, times in seconds.items()}
    monkeypatch.setattr(toolchain, "velorium_command", lambda python: python)

    def run_step(python, args):
        t = next(calls[python])
        return {"module": f"{python}.so", **{k: {"seconds": t, "cpu_seconds": 2 * t, "count": 7}
                                            for k in ("RawReader", "peak_table")}}

    def run_velorium(exe, acquisition, out):
        (tmp_path / out).write_bytes(mzml[exe])
        return {"seconds": 10.0, "cpu_seconds": 20.0}

    monkeypatch.setattr(toolchain, "run_step", run_step)
    monkeypatch.setattr(toolchain, "run_velorium", run_velorium)
    return {"system": "system", "zig": "zig"}


def test_ratios_are_zig_over_system_of_the_fastest_rounds(monkeypatch, tmp_path):
    pythons = fake_builds(monkeypatch, tmp_path, {"system": [2.0, 1.0, 4.0], "zig": [3.0, 1.5, 1.8]},
                          {"system": b"same", "zig": b"same"})
    result = toolchain.run(pythons, "run.d", str(tmp_path), reps=3)
    decode = result["results"]["RawReader"]
    assert decode["system"]["seconds"] == {"min": 1.0, "median": 2.0, "runs": 3}
    assert decode["zig_over_system"] == {"seconds": 1.5, "cpu_seconds": 1.5}
    assert result["results"]["convert"]["zig_over_system"]["seconds"] == 1.0


def test_builds_that_write_different_mzml_are_an_error(monkeypatch, tmp_path):
    pythons = fake_builds(monkeypatch, tmp_path, {"system": [1.0], "zig": [1.0]},
                          {"system": b"one", "zig": b"other"})
    with pytest.raises(RuntimeError, match="different mzML"):
        toolchain.run(pythons, "run.d", str(tmp_path), reps=1)


def test_one_build_under_both_names_is_refused(tmp_path, small_profile_run):
    with pytest.raises(RuntimeError, match="same module"):
        toolchain.run({"system": sys.executable, "zig": sys.executable}, str(small_profile_run), str(tmp_path), reps=1)
