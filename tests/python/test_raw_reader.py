import inspect
import math
import pathlib
import struct
import threading

import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, default_masscal_xml, DefaultCalEntry, Calibration, devices_xml
from conftest import write_scans

RUN_INFO_KEYS = [
    "source_file_name", "source_file_format", "native_id_format", "instrument", "instrument_serial_number",
    "software_name", "software_version", "acquisition_software_name", "acquisition_software_version",
    "start_timestamp", "mobility_array_kind", "analyzers", "extra",
]
SCAN_KEYS = [
    "scan_id", "retention_time_min", "ms_level", "min_x", "max_x", "tic", "base_peak_mz", "base_peak_intensity",
    "calibration_id", "ion_polarity", "calibration_source", "mrm_channel_id", "target_mz", "collision_energy",
    "profile_params", "centroid_params",
]


def test_module_surface():
    assert velorium.__all__[:4] == ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra"]
    assert "Acquisition" in velorium.__all__[4:]  # added names come after the specified ones
    assert velorium.__doc__ is None
    assert str(inspect.signature(velorium.RawReader)) == "(path)"
    assert str(inspect.signature(velorium.iter_spectra)) == "(path)"
    assert velorium.iter_spectra.__doc__ == "Decode spectra one at a time without buffering the whole acquisition."
    R = velorium.RawReader
    assert not R.__doc__  # only the signature
    assert str(inspect.signature(R.read_spectrum)) == "(self, /, scan_index)"
    for name in ("run_info", "read_chromatograms"):
        assert str(inspect.signature(getattr(R, name))) == "(self, /)"
        assert getattr(R, name).__doc__ is None
    assert R.device_info.__doc__ == "Instrument name and model decoded from Devices.xml, when available."
    assert R.scan_index.__doc__ == "The decoded MSScan.bin header and scan records."
    for cls in (velorium.RawReader, velorium.Spectrum, velorium.SpectrumIter):
        assert cls.__module__ == "velorium"
    with pytest.raises(TypeError):
        velorium.Spectrum()
    with pytest.raises(TypeError):
        velorium.SpectrumIter()


def test_decodes_every_spectrum_as_written(qtof_run):
    folder, acq = qtof_run
    reader = velorium.RawReader(str(folder))
    assert reader.scan_count == len(acq.scans)
    assert repr(reader) == f"RawReader('{folder}', {len(acq.scans)} scans)"
    for i in range(reader.scan_count):
        exp = acq.expected(i)
        s = reader.read_spectrum(i)
        assert s.index == i
        assert s.scan_number == exp.scan_id
        assert s.native_id == f"scanId={exp.scan_id}"
        assert s.ms_level == exp.ms_level
        assert s.retention_time_sec == exp.retention_time_min * 60.0
        assert s.analyzer == "tofms"
        assert s.polarity == {0: "positive", 1: "negative"}.get(exp.ion_polarity)
        if exp.profile_mz is not None and len(exp.profile_mz) > 0:
            assert s.scan_mode == "profile"
            assert s.mz == exp.profile_mz.tolist()
            assert s.intensity == exp.profile_intensity.astype(float).tolist()
        else:
            assert s.scan_mode == "centroid"
            assert s.mz == exp.centroid_mz.tolist()
            assert s.intensity == exp.centroid_intensity.astype(float).tolist()
        assert s.reported_total_ion_current == exp.tic
        assert s.low_mz == exp.min_x and s.high_mz == exp.max_x
        if exp.ms_level >= 2:
            assert s.precursor["target_mz"] == exp.target_mz
            assert s.precursor["collision_energy"] == exp.collision_energy
        else:
            assert s.precursor is None


def test_read_spectrum_accepts_any_integer_index(qtof_run):
    reader = velorium.RawReader(path=str(qtof_run[0]))
    n = reader.scan_count
    assert reader.read_spectrum(scan_index=n - 1).index == n - 1
    assert reader.read_spectrum(True).index == 1  # any integer index conversion
    with pytest.raises(RuntimeError) as info:
        reader.read_spectrum(n)
    assert info.value.args == (f"scan {n} out of range",)
    # Every call is a new, independent copy.
    a, b = reader.read_spectrum(0), reader.read_spectrum(0)
    assert a is not b and a.mz == b.mz


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((-1,), {}, OverflowError, None),
    ((2**70,), {}, OverflowError, None),
    (("0",), {}, TypeError, "scan_index"),
    ((1.0,), {}, TypeError, "scan_index"),
    ((), {}, TypeError, None),
    ((0, 1), {}, TypeError, None),
    ((), {"index": 0}, TypeError, None),
])
def test_read_spectrum_argument_errors(qtof_run, args, kwargs, error, message):
    reader = velorium.RawReader(str(qtof_run[0]))
    with pytest.raises(error, match=message):
        reader.read_spectrum(*args, **kwargs)


# The three ways of opening a run take the same path argument, except that
# Acquisition also takes path-like objects and bytes.
OPENERS = ["RawReader", "iter_spectra", "Acquisition"]


def open_with(api, *args, **kwargs):
    """Opens a run with one API and reads its first spectrum (iter_spectra
    reports a failure to open at its first next())."""
    opened = getattr(velorium, api)(*args, **kwargs)
    if api == "iter_spectra":
        return next(opened)
    return opened[0] if api == "Acquisition" else opened.read_spectrum(0)


def no_scan_index(tmp_path):
    (tmp_path / "x.d" / "AcqData").mkdir(parents=True)
    return str(tmp_path / "x.d")


PATH_ERRORS = [
    ("RawReader", lambda tmp: pathlib.Path(tmp), TypeError, "path"),
    ("iter_spectra", lambda tmp: pathlib.Path(tmp), TypeError, "path"),
    ("RawReader", lambda tmp: b"/tmp", TypeError, "path"),
    ("Acquisition", lambda tmp: 42, TypeError, "path"),
    ("RawReader", lambda tmp: "bad\udcff", UnicodeEncodeError, None),
    ("iter_spectra", lambda tmp: "\udc80", UnicodeEncodeError, None),
    # Cut at the null byte, the path would name another folder.
    *[(api, lambda tmp: str(tmp) + "\0x", ValueError, f"^{api}\\(\\) argument 'path' contains a null byte$")
      for api in OPENERS],
    *[(api, lambda tmp: str(tmp / "missing.d"), RuntimeError, "^parse error: AcqData directory not found$")
      for api in OPENERS],
    *[(api, no_scan_index, RuntimeError, "^I/O error: No such file or directory$") for api in OPENERS],
]


@pytest.mark.parametrize("api,argument,error,message", PATH_ERRORS,
                         ids=[f"{case[0]}-{i}" for i, case in enumerate(PATH_ERRORS)])
def test_path_argument_errors(tmp_path, api, argument, error, message):
    with pytest.raises(error, match=message):
        open_with(api, argument(tmp_path))


@pytest.mark.parametrize("api", OPENERS)
def test_path_argument_by_keyword_and_missing(qtof_run, api):
    assert open_with(api, path=str(qtof_run[0])).index == 0
    with pytest.raises(TypeError):
        getattr(velorium, api)()


def test_one_bad_spectrum_fails_the_construction(tmp_path):
    records = [
        ScanRecord(1, 0.1, calibration_id=1, descriptors=[Descriptor(3, 0, 12, 1)]),
        ScanRecord(2, 0.2, calibration_id=1, descriptors=[Descriptor(3, 0, 12, 2)]),  # 2 peaks in 12 bytes
    ]
    folder = write_scans(tmp_path / "bad.d", records, stride=220, files={"MSPeak.bin": struct.pack("<df", 100.0, 5.0)})
    with pytest.raises(RuntimeError) as info:
        velorium.RawReader(str(folder))
    assert info.value.args == ("vendor parser error: scanId=2: centroid block: parse error: Truncated MSPeak.bin block",)


def test_scan_index_without_records_fails(tmp_path):
    folder = tmp_path / "empty.d"
    (folder / "AcqData").mkdir(parents=True)
    (folder / "AcqData" / "MSScan.bin").write_bytes(struct.pack("<I", 257) + bytes(84) + struct.pack("<I", 92))
    with pytest.raises(RuntimeError, match="Cannot determine record stride for payload len 0"):
        velorium.RawReader(str(folder))


def test_run_info_and_device_info(qtof_run, tmp_path):
    folder, acq = qtof_run
    reader = velorium.RawReader(str(folder))
    info = reader.run_info()
    assert list(info) == RUN_INFO_KEYS
    assert info["source_file_name"] == "qtof.d"
    assert info["source_file_format"] == {"accession": "MS:1001509", "name": "Agilent MassHunter format"}
    assert list(info["source_file_format"]) == ["accession", "name"]
    assert info["native_id_format"] == {"accession": "MS:1001508", "name": "Agilent MassHunter nativeID format"}
    assert info["instrument"] == {"accession": "MS:1002786", "name": "6530A Q-TOF LC/MS"}
    assert info["software_name"] == "velorium" and info["software_version"] == velorium.__version__
    for key in ("instrument_serial_number", "acquisition_software_name", "acquisition_software_version",
                "mobility_array_kind"):
        assert info[key] is None
    assert info["start_timestamp"] == acq.acquired_time
    assert info["analyzers"] == []
    assert list(info["extra"]) == ["velorium.device_model", "velorium.device_name", "velorium.msscan_header_size",
                                   "velorium.msscan_stride"]
    assert info["extra"]["velorium.msscan_stride"] == "284"
    again = reader.run_info()
    assert again == info and again is not info
    again["extra"].clear()
    assert reader.run_info()["extra"] == info["extra"]

    device = reader.device_info()
    assert device == {"name": "QTOF", "model": "G6530A"} and list(device) == ["name", "model"]

    bare = write_scans(tmp_path / "bare.d", [ScanRecord(1, 0.5)], stride=196)
    plain = velorium.RawReader(str(bare))
    assert plain.device_info() is None
    assert plain.run_info()["extra"] == {"velorium.msscan_header_size": "92", "velorium.msscan_stride": "196"}
    assert plain.run_info()["start_timestamp"] is None
    assert plain.run_info()["instrument"] == {"accession": "MS:1000461", "name": "Agilent QQQ"}


def test_scan_index(qtof_run, tmp_path):
    folder, acq = qtof_run
    index = velorium.RawReader(str(folder)).scan_index()
    assert list(index) == ["global_header_size", "stride", "records"]
    assert index["stride"] == 284
    assert len(index["records"]) == len(acq.scans)
    for i, record in enumerate(index["records"]):
        exp = acq.expected(i)
        assert list(record) == SCAN_KEYS
        assert record["scan_id"] == exp.scan_id
        assert record["calibration_id"] == exp.calibration_id
        assert record["calibration_source"] == "mass_cal_record"
        assert record["mrm_channel_id"] is None
        for key in ("profile_params", "centroid_params"):
            if record[key] is not None:
                assert list(record[key]) == ["format_id", "offset", "byte_count", "point_count",
                                             "uncompressed_byte_count"]
        if record["centroid_params"] is not None:
            assert record["centroid_params"]["uncompressed_byte_count"] is None

    cal = Calibration(2.0, 0.0, 0.0, 1e6)
    files = {"DefaultMassCal.xml": default_masscal_xml([DefaultCalEntry(1, cal)])}
    folder = write_scans(tmp_path / "d.d", [ScanRecord(1, 0.5, calibration_id=1), ScanRecord(2, 0.6, calibration_id=9)],
                         stride=220, files=files)
    records = velorium.RawReader(str(folder)).scan_index()["records"]
    assert [r["calibration_source"] for r in records] == ["default_mass_cal", None]
    assert records[0]["profile_params"] is None and records[0]["centroid_params"] is None


def test_chromatograms(qtof_run):
    folder, acq = qtof_run
    reader = velorium.RawReader(str(folder))
    chromatograms = reader.read_chromatograms()
    assert [c["id"] for c in chromatograms] == ["TIC", "BPC"]
    tic, bpc = chromatograms
    assert list(tic) == ["index", "id", "chromatogram_type", "precursor_mz", "product_mz", "time_sec", "intensity"]
    assert tic["index"] == 0 and bpc["index"] == 1
    assert tic["chromatogram_type"] == {"accession": "MS:1000235", "name": "total ion current chromatogram"}
    assert bpc["chromatogram_type"] == {"accession": "MS:1000628", "name": "basepeak chromatogram"}
    ms1 = [acq.expected(i) for i in range(len(acq.scans)) if acq.expected(i).ms_level == 1]
    f32 = lambda v: struct.unpack("<f", struct.pack("<f", v))[0]  # noqa: E731
    assert tic["time_sec"] == [f32(e.retention_time_min * 60.0) for e in ms1]
    assert tic["intensity"] == [f32(e.tic) for e in ms1]
    assert bpc["intensity"] == [f32(e.base_peak_intensity) for e in ms1]
    assert tic["time_sec"] is not bpc["time_sec"]
    assert reader.read_chromatograms() == chromatograms


def test_chromatograms_are_safe_to_compute_from_several_threads(qtof_run):
    folder, _ = qtof_run
    reader = velorium.RawReader(str(folder))
    expected = reader.read_chromatograms()
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(reader.read_chromatograms())
                reader.read_spectrum(0)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(r == expected for r in results) and len(results) == 12


def test_triple_quadrupole_run(qqq_run):
    folder, acq = qqq_run
    reader = velorium.RawReader(str(folder))
    assert reader.run_info()["instrument"] == {"accession": "MS:1003526", "name": "6410A Triple Quadrupole LC/MS"}
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        exp = acq.expected(i)
        assert s.analyzer == "tqms"
        assert s.extra["velorium.mrm_channel_id"] == str(exp.mrm_channel_id)
        assert s.mz == exp.centroid_mz.tolist()
        if s.ms_level >= 2:
            assert s.precursor["target_mz"] is None
            assert s.precursor["precursor_native_id"] == f"mrm_channel={exp.mrm_channel_id}"
    assert all(r["calibration_source"] is None for r in reader.scan_index()["records"])
