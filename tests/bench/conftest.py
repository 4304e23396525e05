import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tools"))  # the acquisition writer


@pytest.fixture(scope="session")
def small_profile_run(tmp_path_factory) -> Path:
    """A small profile-only LZF acquisition, like the benchmark's large ones."""
    out = tmp_path_factory.mktemp("bench") / "small.d"
    subprocess.run([sys.executable, str(ROOT / "tools" / "write_acquisition.py"), str(out), "--scans", "12",
                    "--points", "3000", "--spectra", "profile", "--encoding", "lzf", "--seed", "5"],
                   check=True, capture_output=True)
    return out


@pytest.fixture
def report_of(tmp_path):
    """report_of({"name": result, ...}): the report of a run with those result
    files, as (summary rows by benchmark, goals missed by name, whole text)."""
    from velbench import report
    from velbench.common import write_json

    def render(results: dict):
        folder = tmp_path / "results"
        folder.mkdir(exist_ok=True)
        for name, content in results.items():
            write_json(folder / f"{name}.json", content)
        text = report.render(folder)
        rows = {}
        for line in report.summary_of(text).splitlines()[2:]:
            if not line.startswith("| "):
                break
            cells = [cell.strip() for cell in line.strip().strip("|").split(" | ")]
            rows[cells[0]] = cells[1:]
        misses = dict(re.findall(r"^- \*\*(.+?)\.\*\* (.*)$", text, re.MULTILINE))
        return rows, misses, text

    return render
