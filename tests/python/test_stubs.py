import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run_mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubs_match_the_built_module(tmp_path):
    # Run outside the source tree so that only the installed module and its
    # stub package are seen.
    result = run_mypy("mypy.stubtest", "velorium", "--allowlist", str(HERE / "stubtest-allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_sees_the_api(tmp_path):
    program = tmp_path / "use.py"
    program.write_text(textwrap.dedent("""
        from typing import TYPE_CHECKING
        import velorium
        if TYPE_CHECKING:
            from velorium import RunInfo

        reader = velorium.RawReader("run.d")
        info: "RunInfo" = reader.run_info()
        name: str = info["instrument"]["name"]
        spectrum = reader.read_spectrum(0)
        mz: list[float] = spectrum.mz
        level: int = spectrum.ms_level
        for s in velorium.iter_spectra("run.d"):
            rt: float = s.retention_time_sec
        bad: str = spectrum.ms_level
    """))
    result = run_mypy("mypy", "--strict", "--no-incremental", str(program), cwd=tmp_path)
    # Exactly the one deliberate mistake is reported.
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, result.stdout
    assert "use.py:15" in errors[0] and "int" in errors[0] and "str" in errors[0]


def test_type_checker_sees_acquisition(tmp_path):
    program = tmp_path / "use_acquisition.py"
    program.write_text(textwrap.dedent("""
        import pickle
        import velorium

        acq = velorium.Acquisition("run.d", prefer="centroid")
        first: velorium.Spectrum = acq[0]
        some: list[velorium.Spectrum] = acq[1:5]
        for s in acq.spectra(ms_level=2, rt_range=(60.0, 120.0)):
            mz: list[float] = s.mz
        indices: list[int] = acq.select(rt_range=(0.0, 1.0))
        where: int = acq.index_of(57) + acq.nearest(90.0, ms_level=1) + len(acq)
        offsets = acq.peak_table(ms_level=1)["offsets"]
        copy = pickle.loads(pickle.dumps(acq))
        wrong: velorium.Spectrum = acq[1:2]
    """))
    result = run_mypy("mypy", "--strict", "--no-incremental", str(program), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Exactly the one deliberate mistake: a slice is a list of spectra.
    assert len(errors) == 1, result.stdout
    assert "use_acquisition.py:14" in errors[0] and "list[Spectrum]" in errors[0], errors[0]


def test_type_checker_sees_the_arrays_and_tables(tmp_path):
    program = tmp_path / "arrays.py"
    program.write_text(textwrap.dedent("""
        import numpy as np
        import numpy.typing as npt
        import velorium

        reader = velorium.RawReader("run.d")
        spectrum = reader.read_spectrum(0)
        mz: npt.NDArray[np.float64] = spectrum.mz_array
        intensity: npt.NDArray[np.float32] = spectrum.intensity_array
        offsets: npt.NDArray[np.uint64] = reader.peak_table()["offsets"]
        levels: npt.NDArray[np.uint32] = reader.scan_table()["ms_level"]
        polarity: npt.NDArray[np.int8] = reader.scan_table()["polarity"]
        wrong: npt.NDArray[np.float32] = spectrum.mz_array
    """))
    result = run_mypy("mypy", "--strict", "--no-incremental", str(program), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, result.stdout
    assert "arrays.py:13" in errors[0] and "float64" in errors[0], errors[0]
