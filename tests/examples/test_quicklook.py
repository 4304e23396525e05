"""The quick look of examples/quicklook.py: what a new user runs first."""

import io
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import quicklook

import velorium

QUICKLOOK = Path(__file__).resolve().parents[2] / "examples" / "quicklook.py"

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_quicklook(*args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, str(QUICKLOOK), *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def peak_rows(out: str) -> list[list[str]]:
    """The rows of the peak table: the lines after its rule, up to the next blank line."""
    lines = out.split("Most intense MS1 peaks", 1)[1].splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() and set(line.strip()) <= {"-", " "}) + 1
    rows = []
    for line in lines[start:]:
        if not line.strip():
            break
        rows.append(line.split())
    return rows


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == PNG_SIGNATURE
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


# --- The whole command -------------------------------------------------------


def test_sample_run_prints_the_summary_and_writes_the_figure(tmp_path, sample):
    res = run_quicklook(cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert res.stderr == ""  # no progress bar when stderr is not a terminal, no warnings
    out = res.stdout
    reader = velorium.RawReader(str(sample))
    levels = [reader.read_spectrum(i).ms_level for i in range(reader.scan_count)]
    info = reader.run_info()
    assert f"Scans            {reader.scan_count} " in out
    for level in sorted(set(levels)):
        assert f"  MS{level:<12} {levels.count(level):>5}" in out
    assert info["instrument"]["name"] in out
    assert info["start_timestamp"] in out
    rts = [r["retention_time_min"] * 60 for r in reader.scan_index()["records"]]
    assert f"Retention time   {min(rts):.2f} - {max(rts):.2f} s" in out
    table = peak_rows(out)
    assert [row[0] for row in table] == [str(i) for i in range(1, 11)]
    intensities = [float(row[2].replace(",", "")) for row in table]
    assert intensities == sorted(intensities, reverse=True)
    # The first row is the most intense MS1 point of the whole run.
    top = max(max(s.intensity) for s in velorium.iter_spectra(str(sample)) if s.ms_level == 1)
    assert intensities[0] == top
    figure = tmp_path / "quicklook.png"
    assert "Wrote quicklook.png" in out
    width, height = png_size(figure)
    assert width >= 1000 and height >= 800
    assert figure.stat().st_size > 50_000  # four panels of data, not an empty canvas
    assert sorted(p.name for p in tmp_path.iterdir()) == ["quicklook.png", "sample.mzML"]


def test_the_mzml_copy_opens_as_printed(tmp_path, sample):
    res = run_quicklook(sample, "--no-plot", "--mzml", tmp_path / "copy.mzML", cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    reader = velorium.RawReader(str(sample))
    assert f"Wrote {tmp_path / 'copy.mzML'} (indexed mzML 1.1, {reader.scan_count} spectra)" in res.stdout
    printed = res.stdout.split("Open it with pyopenms:\n", 1)[1]
    assert printed.splitlines()[-1].strip() == f"pyopenms.MzMLFile().load({str(tmp_path / 'copy.mzML')!r}, experiment)"
    from xml.etree import ElementTree

    ns = "{http://psi.hupo.org/ms/mzml}"
    ids = [e.get("id") for e in ElementTree.parse(tmp_path / "copy.mzML").getroot().iter(f"{ns}spectrum")]
    assert ids == [reader.read_spectrum(i).native_id for i in range(reader.scan_count)]
    pyopenms = pytest.importorskip("pyopenms", reason="pyopenms is not installed here")
    namespace = {"pyopenms": pyopenms}
    exec(printed.replace("    ", ""), namespace)  # the printed lines, as a user would paste them
    assert namespace["experiment"].getNrSpectra() == reader.scan_count
    assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.mzML"]
    res = run_quicklook(sample, "--no-plot", "--no-mzml", cwd=tmp_path)
    assert res.returncode == 0 and "mzML" not in res.stdout
    res = run_quicklook(sample, "--no-plot", "--mzml", tmp_path / "no" / "x.mzML", cwd=tmp_path)
    assert res.returncode == 1 and res.stdout.count("\n") > 0
    assert res.stderr.splitlines() == [
        f"quicklook: error: {tmp_path / 'no' / 'x.mzML'}: cannot write the mzML copy: "
        f"[Errno 2] No such file or directory: '{tmp_path / 'no' / 'x.mzML'}'"]


def test_path_and_out_arguments(tmp_path, sample):
    out = tmp_path / "figures" / "run.png"
    out.parent.mkdir()
    res = run_quicklook(sample, "--out", out, "--top", 3, cwd=tmp_path)
    assert res.returncode == 0, res.stderr
    assert png_size(out)[0] > 0
    assert not (tmp_path / "quicklook.png").exists()
    assert [row[0] for row in peak_rows(res.stdout)] == ["1", "2", "3"]


def make_bad_inputs(tmp_path: Path) -> dict[str, Path]:
    empty = tmp_path / "empty.d"
    empty.mkdir()
    broken = tmp_path / "broken.d"
    (broken / "AcqData").mkdir(parents=True)
    (broken / "AcqData" / "MSScan.bin").write_bytes(b"\x01\x01\x00\x00 not a scan index")
    no_index = tmp_path / "noindex.d"
    (no_index / "AcqData").mkdir(parents=True)
    plain = tmp_path / "notes.txt"
    plain.write_text("not an acquisition\n")
    return {"missing": tmp_path / "missing.d", "empty": empty, "broken": broken,
            "no_index": no_index, "file": plain}


@pytest.mark.parametrize("kind", ["missing", "empty", "broken", "no_index", "file"])
def test_not_an_acquisition_gives_one_line_and_status_1(tmp_path, kind):
    bad = make_bad_inputs(tmp_path)[kind]
    res = run_quicklook(bad, cwd=tmp_path)
    assert res.returncode == 1
    assert res.stdout == ""
    lines = res.stderr.splitlines()
    assert len(lines) == 1, res.stderr
    assert lines[0].startswith("quicklook: error: ") and str(bad) in lines[0]
    assert not (tmp_path / "quicklook.png").exists()


def test_unwritable_figure_is_one_line_error(tmp_path, sample):
    res = run_quicklook(sample, "--out", tmp_path / "no" / "such" / "dir.png", cwd=tmp_path)
    assert res.returncode == 1
    assert res.stderr.count("\n") == 1 and "cannot write" in res.stderr and "Traceback" not in res.stderr


# --- The pass over the spectra ----------------------------------------------


def test_summary_agrees_with_the_reader(sample):
    s = quicklook.summarize(velorium.iter_spectra(str(sample)))
    reader = velorium.RawReader(str(sample))
    assert s.scans == reader.scan_count
    tic, bpc = reader.read_chromatograms()
    assert tic["id"] == "TIC" and bpc["id"] == "BPC"
    np.testing.assert_array_equal(np.float32(s.tic_rt), np.float32(tic["time_sec"]))
    np.testing.assert_array_equal(np.float32(s.tic), np.float32(tic["intensity"]))
    np.testing.assert_array_equal(np.float32(s.bpc), np.float32(bpc["intensity"]))
    # Shown: the MS1 scan with the largest TIC and the most intense MS2 scan of its cycle.
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    top = max((sp for sp in spectra if sp.ms_level == 1), key=lambda sp: sp.total_ion_current)
    assert s.best_ms1.index == top.index
    cycle = []
    for sp in spectra[top.index + 1:]:
        if sp.ms_level == 1:
            break
        cycle.append(sp)
    assert cycle, "the sample's top MS1 scan is followed by MS2 scans"
    assert s.best_ms2.index == max(cycle, key=lambda sp: sp.total_ion_current).index
    assert s.points == sum(len(sp) for sp in spectra)


def test_summary_of_runs_without_ms2_or_without_ms1():
    class Fake:
        def __init__(self, level, rt, ints, mode="profile"):
            self.ms_level, self.retention_time_sec, self.scan_mode = level, rt, mode
            self.intensity = list(ints)
            self.mz = [100.0 + i for i in range(len(ints))]
            self.mz_array = np.asarray(self.mz, dtype=np.float64)
            self.intensity_array = np.asarray(self.intensity, dtype=np.float32)
            self.polarity, self.low_mz, self.high_mz = "positive", None, None
            self.scan_number = self.index = int(rt)
            self.total_ion_current = float(sum(ints))
            self.base_peak_intensity = max(ints) if ints else None
            self.precursor = None

        def __len__(self):
            return len(self.mz)

    only_ms1 = quicklook.summarize([Fake(1, 1, [0, 5, 0]), Fake(1, 2, [0, 9, 1])])
    assert only_ms1.best_ms2 is None and only_ms1.best_ms1.retention_time_sec == 2
    assert only_ms1.bpc == [5, 9]
    only_ms2 = quicklook.summarize([Fake(2, 1, [3, 4], "centroid"), Fake(2, 2, [])])
    assert only_ms2.best_ms1 is None and only_ms2.best_ms2.retention_time_sec == 1
    assert only_ms2.tic == [] and only_ms2.candidates == []
    assert only_ms2.levels == {2: {"centroid": 1, "profile": 1}}
    # The top MS1 scan's cycle has no MS2 scan: the first MS2 scan after it is shown ...
    gap = quicklook.summarize([Fake(1, 1, [9]), Fake(1, 2, [1]), Fake(2, 3, [5]), Fake(2, 4, [7]),
                               Fake(1, 5, [2]), Fake(2, 6, [8])])
    assert gap.best_ms1.retention_time_sec == 1 and gap.best_ms2.retention_time_sec == 3
    # ... or, with no MS2 scan after it, the run's most intense one.
    lonely = quicklook.summarize([Fake(1, 1, [1]), Fake(2, 2, [50]), Fake(2, 3, [70]), Fake(1, 4, [0, 9, 0])])
    assert lonely.best_ms1.retention_time_sec == 4 and lonely.best_ms2.retention_time_sec == 3
    # The MS2 scan shown belongs to the top MS1 scan's cycle even when a later one is more intense.
    paired = quicklook.summarize([Fake(1, 1, [9]), Fake(2, 2, [5]), Fake(2, 3, [6]), Fake(1, 4, [1]),
                                  Fake(2, 5, [99])])
    assert paired.best_ms1.retention_time_sec == 1 and paired.best_ms2.retention_time_sec == 3


# --- Peaks -------------------------------------------------------------------


def test_profile_peaks_are_local_maxima_at_the_parabola_vertex():
    mz = np.linspace(100.0, 101.0, 11)  # spacing 0.1
    y = np.zeros(11)
    y[2:5] = [4.0, 8.0, 4.0]  # symmetric: vertex on the middle point, m/z 100.3
    y[7:10] = [6.0, 8.0, 0.0]  # asymmetric: vertex pulled towards the higher neighbour
    peaks = quicklook.pick_peaks(mz, y, profile=True, limit=5)
    assert len(peaks) == 2
    (m1, h1, tol1), (m2, h2, _) = sorted(peaks)
    assert m1 == pytest.approx(100.3) and h1 == 8.0 and tol1 == pytest.approx(0.1)
    # Parabola through (-1, 6), (0, 8), (1, 0): vertex at 0.5 * (6 - 0) / (6 - 16 + 0) = -0.3.
    assert m2 == pytest.approx(100.8 - 0.03, abs=1e-9) and h2 == 8.0
    assert quicklook.pick_peaks(mz, y, profile=True, limit=1)[0][1] == 8.0
    assert quicklook.pick_peaks(mz, np.zeros(11), profile=True, limit=3) == []
    assert quicklook.pick_peaks([], [], profile=True, limit=3) == []


def test_centroid_peaks_are_the_points_by_intensity():
    peaks = quicklook.pick_peaks([200.0, 300.0, 400.0], [5.0, 0.0, 7.0], profile=False, limit=5)
    assert [(m, h) for m, h, _ in peaks] == [(400.0, 7.0), (200.0, 5.0)]
    assert peaks[0][2] == pytest.approx(400.0 * 20e-6)


def test_merge_keeps_the_apex_of_each_ion():
    P = quicklook.Peak
    peaks = [P(500.00, 10.0, 1.0, 1, 0.1), P(500.05, 30.0, 2.0, 2, 0.1), P(500.30, 20.0, 2.0, 2, 0.1),
             P(700.0, 5.0, 3.0, 3, 0.1)]
    merged = quicklook.merge_peaks(peaks, limit=10)
    assert [(p.mz, p.intensity) for p in merged] == [(500.05, 30.0), (500.30, 20.0), (700.0, 5.0)]
    assert len(quicklook.merge_peaks(peaks, limit=2)) == 2


# --- Text helpers ------------------------------------------------------------


def test_progress_bar_draws_only_on_a_terminal():
    quiet = io.StringIO()
    bar = quicklook.Progress(3, "x", stream=quiet)
    assert list(bar.wrap("abc")) == ["a", "b", "c"]
    bar.close()
    assert quiet.getvalue() == "" and bar.count == 3
    shown = io.StringIO()
    bar = quicklook.Progress(4, "x", stream=shown, enabled=True, width=8, min_interval=0.0)
    bar.update(2)
    assert "[####----] 2/4  50%" in shown.getvalue()
    bar.update(2)
    bar.close()
    assert shown.getvalue().endswith("\n") and "4/4 100%" in shown.getvalue()


def test_table_and_sizes():
    table = quicklook.format_table(("#", "m/z"), [("1", "100.5"), ("10", "2.25")], indent="")
    assert table.splitlines() == [" #    m/z", "--  -----", " 1  100.5", "10   2.25"]
    assert quicklook.human_bytes(512) == "512 B"
    assert quicklook.human_bytes(55 * 2**20) == "55.0 MiB"


def test_ion_chromatograms_of_the_most_intense_peaks(sample):
    s = quicklook.summarize(velorium.iter_spectra(str(sample)))
    peaks = quicklook.merge_peaks(s.candidates, quicklook.XIC_IONS)
    ions = quicklook.ion_chromatograms(velorium.Acquisition(str(sample)), peaks)
    assert ions.values.shape == (len(peaks), len(s.tic_rt)) and ions.rt_sec.tolist() == s.tic_rt
    assert ions.half_width == max(p.tolerance for p in peaks)
    for row, peak in zip(ions.values, peaks):
        # The window around the apex holds the apex point itself, and more.
        at_apex = row[s.tic_rt.index(peak.rt_sec)]
        assert at_apex >= peak.intensity and row.max() < s.tic[int(row.argmax())]
    assert quicklook.ion_chromatograms(velorium.Acquisition(str(sample)), []) is None
