"""Whole acquisitions: written folders read back independently and compared with the
writer's expected content; synthetic runs' consistency; overwrite safety; the CLI."""

from __future__ import annotations

import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from writer_readback import read_spectra

from acqwriter import (
    Acquisition,
    Calibration,
    Centroids,
    DefaultCalEntry,
    Descriptor,
    Profile,
    Scan,
    ScanRecord,
    infer_stride,
    lzf_available,
    synthetic_run,
    write_acquisition,
)
from acqwriter.cli import main, parse_size

TOOLS = Path(__file__).resolve().parents[3] / "tools"
LZF = "lzf" if lzf_available() else "lzf-literal"


def u64(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def u32(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_matches(run, stride, header, spectra):
    assert stride == run.stride and header == run.header_size
    assert len(spectra) == len(run.scans)
    for i, (rec, prof, cent, _cal) in enumerate(spectra):
        exp = run.expected(i)
        assert rec["scan_id"] == exp.scan_id
        assert rec["retention_time_min"] == exp.retention_time_min
        assert rec["ms_level"] == exp.ms_level and rec["ion_polarity"] == exp.ion_polarity
        for key in ("tic", "base_peak_mz", "base_peak_intensity", "calibration_id", "mrm_channel_id",
                    "target_mz", "collision_energy", "min_x", "max_x"):
            assert rec.get(key) == getattr(exp, key), (i, key)
        if exp.profile_intensity is None:
            assert prof is None
        else:
            assert np.array_equal(u32(prof[1]), u32(exp.profile_intensity))
            assert np.array_equal(u64(prof[0]), u64(exp.profile_mz)), i
        if exp.centroid_intensity is None:
            assert cent is None
        else:
            assert np.array_equal(u32(cent[1]), u32(exp.centroid_intensity))
            assert np.array_equal(u64(cent[0]), u64(exp.centroid_mz))


CAL = Calibration(4.1e-4, 1.25, 25000.0, 120000.0, (1e-3, -2e-9, 0.0, 0.0, 0.0, 0.0), 0b11)


def hand_made(stride):
    tof = stride in (284, 220, 216)
    scans = []
    for i in range(4):
        rec = ScanRecord(scan_id=10 + 3 * i, retention_time_min=0.1 * i, ms_level=1 + (i % 2),
                         ion_polarity=i % 2, tic=100.0 * i if tof else None, calibration_id=1 if tof else None,
                         mrm_channel_id=None if tof else i + 1, target_mz=500.5 + i, collision_energy=20.0)
        sc = Scan(rec, calibration=CAL if tof else None)
        if tof and (i != 1 or stride == 284):
            ints = np.array([0, 0, 5, 300, 70000, 2**31 - 1, 0, 0, 1] * 5, dtype=np.int64)
            sc.profile = Profile(20000.0 + i, 0.5, ints, encoding=("rle", LZF, "lzf-literal")[i % 3])
        if i == 1 or stride == 284 or not tof:
            fmt = 2 if tof and i != 3 else 3
            xs = np.array([30000.0, 45000.5, 119000.25]) if fmt == 2 else np.array([150.5, 300.25, 900.0])
            sc.centroids = Centroids(fmt, xs, np.array([1.5, np.nan, 3e6], dtype=np.float32))
        scans.append(sc)
    return Acquisition(scans, stride=stride, calibration_entries=[DefaultCalEntry(1, CAL)] if tof else [],
                       header_size=100, record_fill=0x5A)


@pytest.mark.parametrize("stride", [284, 220, 216, 196, 186])
def test_hand_made_acquisition_reads_back_as_expected(tmp_path, lzf_decompress, stride):
    run = hand_made(stride)
    res = write_acquisition(tmp_path / "run.d", run)
    assert_matches(run, *read_spectra(tmp_path / "run.d", lzf_decompress))
    assert res.scans == 4 and res.ms2_scans == 2
    names = set(res.files)
    if stride in (196, 186):
        assert names == {"MSScan.bin", "MSPeak.bin", "Devices.xml", "Contents.xml"}
    else:
        assert names == {"MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin", "DefaultMassCal.xml",
                         "Devices.xml", "Contents.xml"}
    for name, size in res.files.items():
        assert (tmp_path / "run.d" / "AcqData" / name).stat().st_size == size


def test_blocks_lie_back_to_back_and_profile_slot_is_selectable(tmp_path):
    run = hand_made(284)
    run.profile_slot = 1
    res = write_acquisition(tmp_path / "a.d", run)
    ends = {}
    for rec in res.records:
        prof, cent = rec.descriptors[1], rec.descriptors[0]
        assert prof.format_id == 1 and cent.format_id in (2, 3)
        for d in (prof, cent):
            assert d.offset == ends.get(d.format_id == 1, 0)
            ends[d.format_id == 1] = d.offset + d.byte_count
    assert ends[True] == res.files["MSProfile.bin"] and ends[False] == res.files["MSPeak.bin"]


@pytest.mark.parametrize("kw", [
    dict(stride=284, encoding="mixed", polarity="alternate"),
    dict(stride=220, encoding="rle", centroid_format=3),
    dict(stride=216, encoding=LZF, spectra="profile", ms2_share=0.5),
    dict(stride=196), dict(stride=186, ms2_share=1.0),
])
def test_synthetic_runs_read_back_bit_for_bit(tmp_path, lzf_decompress, kw):
    run = synthetic_run(scans=9, points=400, seed=4, **kw)
    write_acquisition(tmp_path / "s.d", run)
    assert_matches(run, *read_spectra(tmp_path / "s.d", lzf_decompress))


def test_synthetic_run_is_consistent_and_plausible(tmp_path, lzf_decompress):
    run = synthetic_run(scans=40, points=2000, ms2_share=0.25, encoding="mixed", seed=9, polarity="alternate")
    res = write_acquisition(tmp_path / "q.d", run)
    stride, _, spectra = read_spectra(tmp_path / "q.d", lzf_decompress)
    recs = [s[0] for s in spectra]
    # what a reader's stride inference relies on
    assert recs[0]["scan_id"] < recs[1]["scan_id"] < recs[0]["scan_id"] + 100000
    assert {r["ms_level"] for r in recs} == {1, 2} and res.ms2_scans == 10
    assert all(a["retention_time_min"] < b["retention_time_min"] for a, b in zip(recs, recs[1:]))
    encodings = {run.scans[i].profile.encoding for i in range(40)}
    assert encodings == {"lzf", "rle"}
    for rec, prof, cent, cal in spectra:
        mzs, ints = prof
        assert 49.9 < mzs[0] < 50.1 and 2999 < mzs[-1] < 3001
        assert rec["tic"] == float(sum(ints))
        j = int(np.argmax(ints))
        assert rec["base_peak_intensity"] == ints[j] and rec["base_peak_mz"] == mzs[j]
        # the per-scan record holds the same ten values as the entry its calibration_id names
        entry = run.calibration_entries[rec["calibration_id"] - 1].calibration
        assert cal[5] == entry.vector()
        if rec["ms_level"] == 2:
            assert 50 < rec["target_mz"] < 3000 and rec["collision_energy"] > 0
            assert all(m < rec["target_mz"] * 3 + 1 for m in cent[0])
    assert {r["calibration_id"] for r in recs} == {1, 2}


def test_qqq_run_has_channels_and_no_calibration_files(tmp_path):
    run = synthetic_run(scans=20, points=50, stride=186, ms2_share=0.5, mrm_channels=4)
    res = write_acquisition(tmp_path / "t.d", run)
    assert "MSMassCal.bin" not in res.files and "DefaultMassCal.xml" not in res.files
    dev = (tmp_path / "t.d" / "AcqData" / "Devices.xml").read_text()
    assert "TandemQuadrupole" in dev and "G6410A" in dev
    channels = {r.mrm_channel_id for r in res.records if r.ms_level == 2}
    assert channels <= {1, 2, 3, 4} and len(channels) > 1
    assert all(r.descriptors[0].format_id == 3 and r.descriptors[0].point_count == 50 for r in res.records)


def test_same_seed_same_bytes_other_seed_other_bytes(tmp_path):
    def files(seed, name):
        write_acquisition(tmp_path / name, synthetic_run(scans=6, points=300, seed=seed, encoding="mixed"))
        return {p.name: p.read_bytes() for p in (tmp_path / name / "AcqData").iterdir()}

    a, b, c = files(1, "a.d"), files(1, "b.d"), files(2, "c.d")
    assert a == b
    assert a["MSProfile.bin"] != c["MSProfile.bin"]


def test_target_size_sets_the_scan_count(tmp_path):
    run = synthetic_run(points=1000, target_size=600_000, spectra="profile", stride=216)
    res = write_acquisition(tmp_path / "z.d", run)
    assert 550_000 <= res.decoded_bytes <= 600_000 + 12 * 1000


def test_existing_files_are_protected_and_stale_ones_removed_on_overwrite(tmp_path):
    d = tmp_path / "o.d"
    write_acquisition(d, synthetic_run(scans=3, points=100))
    (d / "AcqData" / "MSPeriodicActuals.bin").write_bytes(b"keep")
    with pytest.raises(FileExistsError):
        write_acquisition(d, synthetic_run(scans=3, points=100))
    res = write_acquisition(d, synthetic_run(scans=3, points=100, stride=196), overwrite=True)
    left = {p.name for p in (d / "AcqData").iterdir()}
    assert left == set(res.files) | {"MSPeriodicActuals.bin"}
    assert "MSProfile.bin" not in left


def test_writer_refuses_a_scan_index_that_would_read_back_with_another_stride(tmp_path):
    # 71 records of 220 bytes are also 55 records of 284 bytes. With a first id of 0,
    # record 1's polarity 1 (u32 at 284) and the low bytes of its target m/z (u16 at 304)
    # pass as a plausible second 284-byte record.
    tm = struct.unpack("<d", struct.pack("<Q", struct.unpack("<Q", struct.pack("<d", 500.0))[0] | 1))[0]
    recs = [ScanRecord(i, 0.01 * i, ms_level=2 if i == 1 else 1, ion_polarity=1 if i == 1 else 0,
                       target_mz=tm if i == 1 else None) for i in range(71)]
    run = Acquisition([Scan(r) for r in recs], stride=220, device=None, acquired_time=None)
    with pytest.raises(ValueError, match="infer stride 284"):
        write_acquisition(tmp_path / "amb.d", run)
    recs[0].scan_id = 1000  # the same run with a sane first id is fine
    for i, r in enumerate(recs[1:], start=1):
        r.scan_id = 1000 + i
    write_acquisition(tmp_path / "ok.d", run)
    assert infer_stride((tmp_path / "ok.d" / "AcqData" / "MSScan.bin").read_bytes()) == 220


def test_both_blocks_need_two_descriptor_positions(tmp_path):
    sc = Scan(ScanRecord(1, 0.0), profile=Profile(2e4, 1.0, [1, 2], "lzf-literal"),
              centroids=Centroids(3, [100.0], [1.0]))
    with pytest.raises(ValueError, match="one descriptor position"):
        write_acquisition(tmp_path / "x.d", Acquisition([sc], stride=216))


def test_selected_files_and_prebuilt_blocks(tmp_path):
    sc = Scan(ScanRecord(1, 0.0), profile=Profile(2e4, 1.0, [0] * 4, block=b"junk", uncompressed_byte_count=3))
    res = write_acquisition(tmp_path / "f.d", Acquisition([sc], stride=220, files=frozenset({"MSScan.bin",
                                                                                            "MSPeak.bin"})))
    assert set(res.files) == {"MSScan.bin", "MSPeak.bin"} and res.files["MSPeak.bin"] == 0
    assert res.records[0].descriptors == [Descriptor(1, 0, 4, 4, 3)]


class TestCli:
    def test_writes_and_prints_one_summary_line(self, tmp_path, capsys):
        assert main([str(tmp_path / "c.d"), "--scans", "5", "--points", "200", "--encoding", "rle",
                     "--seed", "3"]) == 0
        out = capsys.readouterr().out.strip().splitlines()
        assert len(out) == 1 and "5 scans" in out[0] and "stride 284" in out[0]
        assert main([str(tmp_path / "c.d"), "--scans", "5"]) == 1  # exists, no --force
        err = capsys.readouterr().err
        assert err.startswith("write_acquisition.py: error: ") and "pass --force to replace" in err
        assert main([str(tmp_path / "c.d"), "--scans", "5", "--stride", "186", "--force"]) == 0

    def test_bad_arguments(self, tmp_path, capsys):
        with pytest.raises(SystemExit) as e:
            main([str(tmp_path / "d.d"), "--target-size", "lots"])
        assert e.value.code == 2
        assert main([str(tmp_path / "d.d"), "--stride", "186", "--spectra", "both"]) == 1
        assert "error" in capsys.readouterr().err

    @pytest.mark.parametrize("text, n", [("1G", 10**9), ("500M", 5 * 10**8), ("1.5GiB", 3 * 2**29),
                                         ("2e3", 2000), ("64kb", 64000), ("123", 123)])
    def test_sizes(self, text, n):
        assert parse_size(text) == n

    def test_script_runs_from_anywhere(self, tmp_path):
        r = subprocess.run([sys.executable, str(TOOLS / "write_acquisition.py"), "--help"], cwd=tmp_path,
                           capture_output=True, text=True)
        assert r.returncode == 0 and "--target-size" in r.stdout
