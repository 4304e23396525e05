import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

SAMPLE = EXAMPLES / "data" / "sample.d"
QUICKLOOK = EXAMPLES / "quicklook.py"


@pytest.fixture(scope="session")
def sample() -> Path:
    assert (SAMPLE / "AcqData" / "MSScan.bin").is_file(), "the sample acquisition is missing"
    return SAMPLE
