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


# Every scan-record layout, profile encoding, centroid format and block mix
# the writer makes: the runs that the tests of each way of reading share.
# Each test module picks the layouts it needs by name and gets them from the
# `layout_run` factory, which writes each one once per session.
LAYOUTS = {
    "284-both-mixed": dict(stride=284, spectra="both", encoding="mixed", centroid_format=2),
    "284-both-format3": dict(stride=284, spectra="both", encoding="lzf", centroid_format=3),
    "284-profile-rle": dict(stride=284, spectra="profile", encoding="rle"),
    "284-profile-mixed": dict(stride=284, spectra="profile", encoding="mixed", points=2500),
    "284-mixed-mixed": dict(stride=284, spectra="mixed", encoding="mixed", polarity=0),
    "284-centroid-literal": dict(stride=284, spectra="centroid", encoding="lzf-literal", centroid_format=3),
    "220-mixed-rle": dict(stride=220, spectra="mixed", encoding="rle", centroid_format=2),
    "216-mixed-lzf": dict(stride=216, spectra="mixed", encoding="lzf", centroid_format=3),
    "216-centroid": dict(stride=216, spectra="centroid"),
    "196-qqq": dict(stride=196, encoding="lzf", points=120),
    "186-qqq": dict(stride=186, encoding="lzf", points=120),
}
ALL_LAYOUTS = sorted(LAYOUTS)
# What every layout shares unless it says otherwise.
LAYOUT_DEFAULTS = dict(scans=16, points=600, ms2_share=0.34, compounds=6, background_ions=6, polarity="alternate")


@pytest.fixture(scope="session")
def layout_run(tmp_path_factory):
    """layout_run(name) -> (folder, the writer's run) of LAYOUTS[name], written once."""
    written = {}

    def get(name):
        if name not in written:
            params = LAYOUT_DEFAULTS | {"seed": ALL_LAYOUTS.index(name)} | LAYOUTS[name]
            folder = tmp_path_factory.mktemp("layouts") / f"{name}.d"
            run = synthetic_run(**params)
            write_acquisition(folder, run)
            written[name] = (folder, run)
        return written[name]

    return get


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
