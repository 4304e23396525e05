import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import acqwriter  # noqa: E402
from acqwriter import synthetic_run, write_acquisition  # noqa: E402


@pytest.fixture(scope="session")
def qtof_run(tmp_path_factory):
    """A small Q-TOF run with profile and centroid blocks of both encodings."""
    acq = synthetic_run(scans=16, points=1500, ms2_share=0.25, stride=284, encoding="mixed", seed=3)
    folder = tmp_path_factory.mktemp("runs") / "qtof.d"
    write_acquisition(folder, acq)
    return folder, acq


@pytest.fixture(scope="session")
def qqq_run(tmp_path_factory):
    acq = synthetic_run(scans=10, points=40, ms2_share=0.5, stride=186, seed=5)
    folder = tmp_path_factory.mktemp("runs") / "qqq.d"
    write_acquisition(folder, acq)
    return folder, acq


# The properties of Spectrum, in the order the class defines them.
SPECTRUM_PROPERTIES = [
    "index", "scan_number", "native_id", "ms_level", "polarity", "scan_mode", "analyzer", "acquisition_event_id",
    "filter", "retention_time_sec", "total_ion_current", "reported_total_ion_current", "base_peak_mz",
    "reported_base_peak_mz", "base_peak_intensity", "reported_base_peak_intensity", "low_mz", "high_mz",
    "ion_injection_time_ms", "inv_mobility", "faims_cv", "precursor", "mz", "intensity", "inv_mobility_per_peak",
    "extra",
]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def write_scans(folder, records, stride=284, files=None):
    """An acquisition of hand-made scan records (no data files unless given)."""
    acq = folder / "AcqData"
    acq.mkdir(parents=True, exist_ok=True)
    (acq / "MSScan.bin").write_bytes(acqwriter.msscan_bytes(records, stride))
    for name, data in (files or {}).items():
        path = acq / name
        if isinstance(data, str):
            path.write_text(data, encoding="utf-8")
        else:
            path.write_bytes(data)
    return folder
