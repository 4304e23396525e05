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
