"""The export options end to end: every option alone and in the combinations
users would use gives mzML that passes the indexed-mzML schema, OpenMS'
semantic validator and the ontology, and reads back with pyteomics, pymzml
and pyopenms (exactly where nothing lossy was asked for); the processing
keeps exactly the points it should; one selection gives the same scans to
the writer, select(), xic() and the command; the MGF's default title is
parsed back; bad options fail before anything is written; the published
file is flushed to the disk around the rename."""

from __future__ import annotations

import gzip
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import check_mzml

VELORIUM = Path(sys.executable).parent / "velorium"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """MS1 profile spectra (mostly zeros) and MS2 centroids, alternating polarity."""
    acq = synthetic_run(scans=24, points=800, ms2_share=0.4, stride=284, spectra="mixed", encoding="mixed",
                        polarity="alternate", seed=11, compounds=5, background_ions=6)
    folder = tmp_path_factory.mktemp("export") / "alt run.d"
    write_acquisition(folder, acq)
    return folder, list(velorium.Acquisition(str(folder)))


# --- The processing, as the points it keeps ----------------------------------

def trimmed(intensity):
    nonzero = intensity != 0
    keep = nonzero.copy()
    keep[1:] |= nonzero[:-1]
    keep[:-1] |= nonzero[1:]
    return keep


def most_intense(intensity, count):
    rank = np.where(np.isnan(intensity), -np.inf, intensity)
    order = np.argsort(-rank, kind="stable")[:count]
    keep = np.zeros(len(intensity), dtype=bool)
    keep[order] = True
    return keep


def processed(spectrum, trim_zeros=False, threshold=None, compact=False):
    mz = np.asarray(spectrum.mz, dtype=np.float64)
    intensity = np.asarray(spectrum.intensity, dtype=np.float32)
    steps = []
    if trim_zeros or compact:
        steps.append(trimmed)
    threshold = threshold or {}
    if "absolute" in threshold:
        steps.append(lambda i: i >= threshold["absolute"])
    if "top" in threshold:
        steps.append(lambda i: most_intense(i, threshold["top"]))
    for step in steps:
        keep = step(intensity)
        mz, intensity = mz[keep], intensity[keep]
    return mz, intensity


def read_pyteomics(path):
    from pyteomics import mzml

    source = gzip.open(path, "rb") if str(path).endswith(".gz") else str(path)
    with mzml.MzML(source) as parsed:
        return [(s["id"], s["m/z array"], s["intensity array"]) for s in parsed]


def plain_copy(path, tmp_path):
    """The mzML inside a .gz, for the validators that read plain files."""
    if not str(path).endswith(".gz"):
        return path
    plain = tmp_path / "plain.mzML"
    with gzip.open(path, "rb") as src, open(plain, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return plain


CASES = {
    "default": {},
    "no compression": dict(compression=False),
    "trim zeros": dict(trim_zeros=True),
    "absolute threshold": dict(threshold={"absolute": 40.0}),
    "top": dict(threshold={"top": 25}),
    "trim and both thresholds": dict(trim_zeros=True, threshold={"absolute": 5.0, "top": 60}),
    "32-bit m/z": dict(mz_precision=32),
    "selection": dict(ms_level=[1, 2], rt_range=(1.0, 9.0), polarity="positive"),
    "gzip": {},
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_every_option_is_valid_and_reads_back(run, tmp_path, case):
    folder, spectra = run
    options = CASES[case]
    out = tmp_path / ("run.mzML.gz" if case == "gzip" else "run.mzML")
    acq = velorium.Acquisition(str(folder))
    acq.to_mzml(out, **options)
    assert [p.name for p in tmp_path.iterdir()] == [out.name]
    plain = plain_copy(out, tmp_path)
    check_mzml(plain)

    selection = {k: options[k] for k in ("ms_level", "rt_range", "polarity") if k in options}
    want = [spectra[i] for i in acq.select(**selection)]
    assert 0 < len(want) <= len(spectra)
    got = read_pyteomics(out)
    assert [g[0] for g in got] == [w.native_id for w in want]
    changed = 0
    for (_, mz, intensity), spectrum in zip(got, want):
        want_mz, want_intensity = processed(spectrum, options.get("trim_zeros", False), options.get("threshold"))
        if options.get("mz_precision") == 32:
            want_mz = want_mz.astype(np.float32)  # the nearest 32-bit float of each value
        assert mz.tobytes() == want_mz.tobytes()
        assert intensity.astype(np.float32).tobytes() == want_intensity.tobytes()
        changed += len(want_mz) != len(spectrum.mz)
    assert (changed > 0) == bool({"trim_zeros", "threshold"} & options.keys())

    import pymzml
    import pyopenms

    assert [s.ID for s in pymzml.run.Reader(str(plain))] == [w.scan_number for w in want]
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(out), experiment)
    assert [s.getNativeID() for s in experiment.getSpectra()] == [w.native_id for w in want]
    for s, (_, mz, intensity) in zip(experiment.getSpectra(), got):
        assert s.size() == len(mz)


def test_the_summary_and_chromatograms_describe_the_acquisition(run, tmp_path):
    from pyteomics import mzml

    folder, spectra = run
    acq = velorium.Acquisition(str(folder))
    full, top = tmp_path / "full.mzML", tmp_path / "top.mzML"
    acq.to_mzml(full)
    acq.to_mzml(top, threshold={"top": 3})
    with mzml.MzML(str(full)) as a, mzml.MzML(str(top)) as b:
        for x, y in zip(a, b):
            assert len(y["m/z array"]) <= 3
            for key in ("total ion current", "base peak m/z", "base peak intensity"):
                assert x[key] == y[key]
        assert [c["intensity array"].tolist() for c in a.iterfind("chromatogram")] == \
            [c["intensity array"].tolist() for c in b.iterfind("chromatogram")]


# --- One selection everywhere -------------------------------------------------

SELECTIONS = [
    (dict(ms_level=np.uint8(2)), ["--ms-level", "2"]),
    (dict(ms_level=[1, 2]), ["--ms-level", "1,2"]),
    (dict(ms_level=range(2, 2**32)), ["--ms-level", "2-"]),
    (dict(ms_level=np.array([np.int64(1)]), rt_range=(2.0, 8.5)), ["--ms-level", "1", "--rt-range", "2.0,8.5"]),
    (dict(ms_level=None, polarity="negative"), ["--polarity", "negative"]),
    (dict(ms_level=None, scan_range=(np.uint16(4), 15)), ["--scan-range", "4,15"]),
    (dict(ms_level=1, rt_range=(0.0, 100.0), polarity="positive", scan_range=(1, 10)),
     ["--ms-level", "1", "--rt-range", "0,100", "--polarity", "positive", "--scan-range", "1,10"]),
]


@pytest.mark.parametrize("kwargs,flags", SELECTIONS, ids=[" ".join(f) for _, f in SELECTIONS])
def test_one_selection_for_the_writer_select_xic_and_the_command(run, tmp_path, kwargs, flags):
    folder, spectra = run
    acq = velorium.Acquisition(str(folder))
    indices = acq.select(**kwargs)
    assert indices == [i for i in range(len(spectra)) if matches(spectra[i], kwargs)]
    assert indices, "each case selects something"
    ids = [spectra[i].native_id for i in indices]
    assert [s.native_id for s in acq.spectra(**kwargs)] == ids
    rt, _ = acq.xic([500.0], 10.0, **kwargs)
    assert rt.tolist() == [spectra[i].retention_time_sec for i in indices]
    reader = velorium.RawReader(str(folder))
    assert reader.xic([500.0], 10.0, **kwargs)[0].tolist() == rt.tolist()

    out = tmp_path / "api.mzML"
    acq.to_mzml(out, **kwargs)
    assert [s[0] for s in read_pyteomics(out)] == ids
    if VELORIUM.is_file():
        done = subprocess.run([str(VELORIUM), "convert", str(folder), "-o", str(tmp_path / "cli.mzML"), *flags],
                              capture_output=True, text=True)
        assert (done.returncode, done.stderr) == (0, "")
        assert (tmp_path / "cli.mzML").read_bytes() == out.read_bytes()


def matches(spectrum, kwargs):
    level = kwargs.get("ms_level")
    if level is not None and spectrum.ms_level not in ([level] if isinstance(level, (int, np.integer)) else level):
        return False
    low, high = kwargs.get("rt_range") or (-np.inf, np.inf)
    first, last = kwargs.get("scan_range") or (0, 2**32)
    return (low <= spectrum.retention_time_sec <= high and int(first) <= spectrum.scan_number <= last
            and kwargs.get("polarity", spectrum.polarity) == spectrum.polarity)


# --- MGF ------------------------------------------------------------------------

TPP_TITLE = re.compile(r'^(?P<run>.+)\.(?P<scan>\d+)\.(?P=scan)\.(?P<charge>\d*) '
                       r'File:"(?P<file>[^"]*)", NativeID:"(?P<native_id>[^"]*)"$')


def test_the_default_mgf_title_gives_run_scan_and_native_id_back(run, tmp_path):
    from pyteomics import mgf

    folder, spectra = run
    out = tmp_path / "run.mgf"
    velorium.Acquisition(str(folder)).to_mgf(out, trim_zeros=True)
    with mgf.read(str(out), use_index=False) as reader:
        read = list(reader)
    msn = [s for s in spectra if s.ms_level >= 2]
    assert len(read) == len(msn) > 0
    for block, spectrum in zip(read, msn):
        fields = TPP_TITLE.match(block["params"]["title"]).groupdict()
        assert fields == {"run": "alt run", "scan": str(spectrum.scan_number), "charge": "",
                          "file": "alt run.d", "native_id": spectrum.native_id}
        assert block["m/z array"].tolist() == processed(spectrum, trim_zeros=True)[0].tolist()

    custom = tmp_path / "custom.mgf"
    velorium.Acquisition(str(folder)).to_mgf(custom, mgf_title="{native_id} at {rt} s", ms_level=1, rt_range=(0, 3))
    with mgf.read(str(custom), use_index=False) as reader:
        titles = [b["params"]["title"] for b in reader]
    assert titles == [f"{s.native_id} at {s.retention_time_sec!r} s" for s in spectra
                      if s.ms_level == 1 and s.retention_time_sec <= 3]


# --- Bad options --------------------------------------------------------------

BAD_OPTIONS = [
    ("to_mzml", dict(mz_precision=16), ValueError, "'mz_precision'"),
    ("to_mzml", dict(mz_precision=True), TypeError, "'mz_precision'"),
    ("to_mzml", dict(threshold={"top": 0}), ValueError, "'threshold'"),
    ("to_mzml", dict(threshold={"absolute": float("nan")}), ValueError, "'threshold'"),
    ("to_mzml", dict(threshold={"lowest": 3}), ValueError, "'threshold'"),
    ("to_mzml", dict(threshold=5), TypeError, "'threshold'"),
    ("to_mzml", dict(compact=True, compression=False), ValueError, "contradict"),
    ("to_mzml", dict(rt_range=(9.0, 1.0)), ValueError, "'rt_range'"),
    ("to_mzml", dict(polarity="up"), ValueError, "'polarity'"),
    ("to_mzml", dict(ms_level=[]), ValueError, "'ms_level'"),
    ("to_mzml", dict(ms_level=[1, True]), TypeError, "'ms_level'"),
    ("to_mzml", dict(scan_range=(5, 2)), ValueError, "'scan_range'"),
    ("to_mzml", dict(mgf_title="{scan}"), TypeError, "mgf_title"),
    ("to_mgf", dict(mz_precision=32), TypeError, "mz_precision"),
    ("to_mgf", dict(numpress="linear"), TypeError, "numpress"),
    ("to_mzml", dict(numpress="linear,zip"), ValueError, "'numpress'"),
    ("to_mzml", dict(numpress=["linear", 3]), TypeError, "'numpress'"),
    ("to_mzml", dict(numpress="linear", mz_precision=32), ValueError, "contradicts"),
    ("to_mgf", dict(mgf_title="{scan}.{nope}"), ValueError, "unknown field"),
    ("to_mgf", dict(mgf_title=7), TypeError, "'mgf_title'"),
]


@pytest.mark.parametrize("method,kwargs,error,match", BAD_OPTIONS, ids=[str(i) for i in range(len(BAD_OPTIONS))])
def test_bad_options_raise_and_write_nothing(run, tmp_path, method, kwargs, error, match):
    folder, _ = run
    with pytest.raises(error, match=match):
        getattr(velorium.Acquisition(str(folder)), method)(tmp_path / "x.out", **kwargs)
    assert list(tmp_path.iterdir()) == []


PATH_FORMS = [
    (lambda p: str(p), None, None),
    (lambda p: os.fsencode(p), None, None),
    (lambda p: p, None, None),
    (lambda p: 3, TypeError, r"^to_\w+\(\) argument 'path' must be str, bytes or os.PathLike, not int$"),
    (lambda p: str(p) + "\0", ValueError, r"^to_\w+\(\) argument 'path' contains a null byte$"),
]


@pytest.mark.parametrize("method", ["to_mzml", "to_mgf"])
@pytest.mark.parametrize("form,error,match", PATH_FORMS, ids=["str", "bytes", "pathlike", "int", "null"])
def test_path_forms(run, tmp_path, method, form, error, match):
    folder, _ = run
    write = getattr(velorium.Acquisition(str(folder)), method)
    target = tmp_path / "out"
    if error is None:
        write(form(target), ms_level=None)
        assert target.stat().st_size > 0
    else:
        with pytest.raises(error, match=match):
            write(form(target))
        assert list(tmp_path.iterdir()) == []


CLI_USAGE_ERRORS = [
    ["--numpress", "linear,slof", "--format", "mgf"],
    ["--mz-precision", "32", "--format", "mgf"],
    ["--compact", "--format", "mgf"],
    ["--mgf-title", "{scan}"],
    ["--mgf-title", "{scan", "--format", "mgf"],
    ["--rt-range", "5,1"],
    ["--rt-range", "nan,1"],
    ["--rt-range", "5"],
    ["--ms-level", "3-1"],
    ["--ms-level", "two"],
    ["--polarity", "up"],
    ["--scan-range", "9,2"],
    ["--threshold", "top=0"],
    ["--threshold", "absolute=-1"],
    ["--threshold", "median=3"],
    ["--threshold", "top=3", "--threshold", "top=4"],
    ["--mz-precision", "16"],
    ["--compact", "--no-compression"],
    ["--numpress", "linear", "--mz-precision", "32"],
    ["--compact", "--numpress", "linear,pic"],
    ["--numpress", "slof,pic"],
    ["--numpress", "zip"],
]


@pytest.mark.skipif(not VELORIUM.is_file(), reason="the velorium command is not installed")
@pytest.mark.parametrize("flags", CLI_USAGE_ERRORS, ids=[" ".join(f) for f in CLI_USAGE_ERRORS])
def test_command_usage_errors_write_nothing(run, tmp_path, flags):
    folder, _ = run
    out = tmp_path / "out"  # two inputs: a folder the command would create
    done = subprocess.run([str(VELORIUM), "convert", str(folder), str(folder), "-o", str(out), *flags],
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith("velorium: error: ")
    assert list(tmp_path.iterdir()) == []


# --- Durability ---------------------------------------------------------------

@pytest.mark.skipif(not VELORIUM.is_file() or shutil.which("strace") is None, reason="needs the command and strace")
def test_the_file_and_its_folder_reach_the_disk_around_the_rename(run, tmp_path):
    folder, _ = run
    log = tmp_path / "trace"
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,fsync,rename,renameat2,link", "-o", str(log),
                           str(VELORIUM), "convert", str(folder), "-o", str(out_dir / "x.mzML")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    calls = [" ".join(line.split()[1:]) for line in log.read_text().splitlines() if " = " in line]
    temporary = next(c for c in calls if c.startswith("openat(") and ".x.mzML." in c and "O_CREAT" in c)
    temporary_fd = temporary.rsplit("= ", 1)[1]
    renamed = next(i for i, c in enumerate(calls) if c.startswith(("rename(", "renameat2(")) and "x.mzML" in c)
    synced = [i for i, c in enumerate(calls) if c == f"fsync({temporary_fd}) = 0"]
    assert synced and synced[0] < renamed  # the data before the name
    folder_fd = next(c.rsplit("= ", 1)[1] for c in calls[renamed:]
                     if c.startswith("openat(") and "O_DIRECTORY" in c and str(out_dir) in c)
    assert f"fsync({folder_fd}) = 0" in calls[renamed:]  # then the name
