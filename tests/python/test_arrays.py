"""NumPy views of the decoded peaks and the whole-run tables: the same values
as the lists bit for bit, no copy, read-only, alive as long as any view of
them, and the same outcome as decoding the run one spectrum at a time."""

import gc
import math
import os
import shutil
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, peak_block_format3, synthetic_run, write_acquisition
from conftest import ALL_LAYOUTS, write_scans

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
SPECIAL_MZ = [100.5, -0.0, NAN_PAYLOAD, math.inf, 5e-324, -math.inf]
SPECIAL_INTENSITY = [7.0, -0.0, math.nan, 1e-40, -3.5, math.inf]


@pytest.fixture(scope="module", params=ALL_LAYOUTS)
def layout(request, layout_run):
    return layout_run(request.param)


@pytest.fixture(scope="module")
def special_run(tmp_path_factory):
    """Centroid spectra with NaN (with a payload), -0.0, infinities and a
    subnormal, an empty spectrum, in the triple-quadrupole layout."""
    peaks = peak_block_format3(SPECIAL_MZ, SPECIAL_INTENSITY)
    records = [
        ScanRecord(1, 0.5, descriptors=[Descriptor(3, 0, len(peaks), len(SPECIAL_MZ))]),
        ScanRecord(2, 0.6, descriptors=[Descriptor(3, 0, 0, 0)]),
        ScanRecord(3, 0.7, ms_level=2, descriptors=[Descriptor(3, 12, len(peaks) - 12, len(SPECIAL_MZ) - 1)]),
    ]
    folder = write_scans(tmp_path_factory.mktemp("special") / "special.d", records, stride=196,
                         files={"MSPeak.bin": peaks})
    return folder


def bits64(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def assert_same_bits(spectrum):
    mz, intensity = spectrum.mz_array, spectrum.intensity_array
    assert mz.dtype == np.float64 and intensity.dtype == np.float32
    assert mz.shape == (len(spectrum),) and intensity.shape == (len(spectrum),)
    # The lists widen the 32-bit intensities exactly as astype does.
    assert np.array_equal(mz.view(np.uint64), bits64(spectrum.mz))
    assert np.array_equal(intensity.astype(np.float64).view(np.uint64), bits64(spectrum.intensity))


def test_arrays_are_the_lists_bit_for_bit_in_every_layout(layout):
    folder, acq = layout
    reader = velorium.RawReader(str(folder))
    streamed = list(velorium.iter_spectra(str(folder)))
    assert len(streamed) == reader.scan_count == len(acq.scans)
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        assert_same_bits(s)
        assert_same_bits(streamed[i])
        exp = acq.expected(i)
        if s.scan_mode == "profile":
            want_mz, want_intensity = exp.profile_mz, exp.profile_intensity
        else:
            want_mz, want_intensity = exp.centroid_mz, exp.centroid_intensity
        assert np.array_equal(s.mz_array.view(np.uint64), np.asarray(want_mz, dtype=np.float64).view(np.uint64))
        assert np.array_equal(s.intensity_array.view(np.uint32),
                              np.asarray(want_intensity, dtype=np.float32).view(np.uint32))
        # The store and the one-by-one decoding agree on everything else too.
        for name in ("total_ion_current", "base_peak_mz", "base_peak_intensity", "precursor", "extra",
                     "scan_mode", "polarity", "retention_time_sec"):
            assert repr(getattr(s, name)) == repr(getattr(streamed[i], name)), name
        assert repr(s) == repr(streamed[i])


def test_special_values_survive_bit_for_bit(special_run):
    reader = velorium.RawReader(str(special_run))
    first = reader.read_spectrum(0)
    assert_same_bits(first)
    assert first.mz_array.view(np.uint64)[2] == 0x7FF8000000000123  # the payload
    assert np.signbit(first.mz_array[1]) and np.signbit(first.intensity_array[1])
    assert math.isnan(first.intensity_array[2])
    # The effective values over arrays that hold NaN: the most intense peak
    # is the infinity; the TIC sums through the NaN.
    assert first.base_peak_intensity == math.inf and first.base_peak_mz == -math.inf
    assert math.isnan(first.total_ion_current)
    empty = reader.read_spectrum(1)
    assert empty.mz_array.shape == (0,) and empty.intensity_array.dtype == np.float32
    assert math.copysign(1.0, empty.total_ion_current) == -1.0  # the sum of nothing is -0.0
    assert_same_bits(reader.read_spectrum(2))
    for s in velorium.iter_spectra(str(special_run)):
        assert_same_bits(s)


def test_no_copy_read_only_and_alive_after_their_owners(qtof_run):
    folder, _ = qtof_run
    reader = velorium.RawReader(str(folder))
    table = reader.peak_table()
    offsets = table["offsets"]
    s = reader.read_spectrum(3)
    a, b = s.mz_array, s.mz_array
    assert a is not b and np.shares_memory(a, b)
    assert np.shares_memory(s.intensity_array, s.intensity_array)
    lo, hi = int(offsets[3]), int(offsets[4])
    assert hi - lo == len(s) > 0
    assert np.shares_memory(s.mz_array, table["mz"][lo:hi])
    assert np.shares_memory(s.intensity_array, table["intensity"][lo:hi])
    assert not np.shares_memory(s.mz_array, table["mz"][hi:])
    # Two spectra of one scan share too: read_spectrum does not copy.
    assert np.shares_memory(reader.read_spectrum(3).mz_array, s.mz_array)
    for array in (s.mz_array, s.intensity_array, table["mz"], table["intensity"], table["offsets"]):
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0] = 1
        with pytest.raises(ValueError):
            array.setflags(write=True)
    with pytest.raises(AttributeError):
        s.mz_array = np.zeros(3)
    # The views outlive the reader, the spectrum and the table.
    keep_mz, keep_intensity = s.mz_array, table["intensity"]
    want_mz, want_intensity = list(s.mz), keep_intensity.tolist()
    del reader, s, table, a, b, offsets
    gc.collect()
    assert keep_mz.tolist() == want_mz
    assert keep_intensity.tolist() == want_intensity
    # A streamed spectrum's arrays outlive it too.
    streamed = next(iter(velorium.iter_spectra(str(folder))))
    arr, want = streamed.mz_array, streamed.mz
    assert np.shares_memory(arr, streamed.mz_array)
    del streamed
    gc.collect()
    assert arr.tolist() == want


def test_peak_table_is_the_spectra_end_to_end(layout):
    folder, _ = layout
    reader = velorium.RawReader(str(folder))
    table = reader.peak_table()
    assert list(table) == ["mz", "intensity", "offsets"]
    offsets = table["offsets"]
    assert offsets.dtype == np.uint64 and offsets.shape == (reader.scan_count + 1,)
    assert offsets[0] == 0 and offsets[-1] == table["mz"].size == table["intensity"].size
    assert np.all(np.diff(offsets.astype(np.int64)) >= 0)
    mz = np.concatenate([reader.read_spectrum(i).mz_array for i in range(reader.scan_count)])
    assert np.array_equal(mz.view(np.uint64), table["mz"].view(np.uint64))
    for i in range(reader.scan_count):
        assert offsets[i + 1] - offsets[i] == len(reader.read_spectrum(i))


SCAN_TABLE = [
    ("index", np.int64), ("scan_number", np.uint32), ("ms_level", np.uint32), ("retention_time_sec", np.float64),
    ("polarity", np.int8), ("scan_mode", np.int8), ("has_profile", np.bool_), ("has_centroid", np.bool_),
    ("point_count", np.uint64), ("total_ion_current", np.float64), ("base_peak_mz", np.float64),
    ("base_peak_intensity", np.float64), ("low_mz", np.float64), ("high_mz", np.float64),
    ("precursor_mz", np.float64), ("collision_energy", np.float64),
]


def same(a, b):
    """Equal, with None and NaN standing for an absent value."""
    a = math.nan if a is None else float(a)
    b = math.nan if b is None else float(b)
    return (math.isnan(a) and math.isnan(b)) or a == b


def test_scan_table_says_what_the_index_and_the_spectra_say(layout, special_run):
    for folder in (layout[0], special_run):
        reader = velorium.RawReader(str(folder))
        table = reader.scan_table()
        assert [(k, v.dtype) for k, v in table.items()] == [(k, np.dtype(t)) for k, t in SCAN_TABLE]
        n = reader.scan_count
        assert all(v.shape == (n,) for v in table.values())
        records = reader.scan_index()["records"]
        for i in range(n):
            s, r = reader.read_spectrum(i), records[i]
            row = {k: v[i].item() for k, v in table.items()}
            assert row["index"] == s.index == i
            assert row["scan_number"] == s.scan_number and row["ms_level"] == s.ms_level
            assert row["retention_time_sec"] == s.retention_time_sec
            assert row["polarity"] == {"positive": 1, "negative": -1, None: 0}[s.polarity]
            assert row["scan_mode"] == {"profile": 0, "centroid": 1}[s.scan_mode]
            assert row["has_profile"] == (r["profile_params"] is not None)
            assert row["has_centroid"] == (r["centroid_params"] is not None)
            assert row["point_count"] == len(s)
            assert same(row["total_ion_current"], s.total_ion_current)
            assert same(row["base_peak_mz"], s.base_peak_mz)
            assert same(row["base_peak_intensity"], s.base_peak_intensity)
            assert same(row["low_mz"], s.low_mz) and same(row["high_mz"], s.high_mz)
            precursor = s.precursor or {}
            assert same(row["precursor_mz"], precursor.get("target_mz"))
            assert same(row["collision_energy"], precursor.get("collision_energy"))
        # New arrays on every call, which the caller may keep.
        assert not np.shares_memory(table["retention_time_sec"], reader.scan_table()["retention_time_sec"])


def test_pandas_one_liner(qtof_run):
    pd = pytest.importorskip("pandas")
    reader = velorium.RawReader(str(qtof_run[0]))
    frame = pd.DataFrame(reader.scan_table())
    assert len(frame) == reader.scan_count
    assert list(frame.columns) == [name for name, _ in SCAN_TABLE]
    assert frame["ms_level"].tolist() == [reader.read_spectrum(i).ms_level for i in range(reader.scan_count)]


def test_chromatograms_from_the_store_match_the_spectra(layout):
    folder, _ = layout
    reader = velorium.RawReader(str(folder))
    chromatograms = reader.read_chromatograms()
    ms1 = [s for s in velorium.iter_spectra(str(folder)) if s.ms_level == 1]
    f32 = lambda values: np.asarray(values, dtype=np.float32).astype(np.float64).tolist()  # noqa: E731
    if not ms1:
        assert chromatograms == []
        return
    tic, bpc = chromatograms
    assert tic["time_sec"] == f32([s.retention_time_sec for s in ms1]) == bpc["time_sec"]
    assert tic["intensity"] == f32([s.total_ion_current for s in ms1])
    assert bpc["intensity"] == f32([s.base_peak_intensity or 0.0 for s in ms1])
    assert reader.read_chromatograms() == chromatograms


def test_damaged_runs_fail_as_decoding_in_order_does(qtof_run, tmp_path):
    """The error of the first failing scan, as iter_spectra meets it, and no
    partly built reader."""
    folder, acq = qtof_run
    index = velorium.RawReader(str(folder)).scan_index()["records"]
    for broken in ([2, 9], [9], [len(index) - 1]):
        damaged = tmp_path / f"damaged{broken[0]}_{len(broken)}.d"
        damaged.mkdir()
        acqdata = damaged / "AcqData"
        shutil.copytree(folder / "AcqData", acqdata)
        profile = bytearray((acqdata / "MSProfile.bin").read_bytes())
        peak = bytearray((acqdata / "MSPeak.bin").read_bytes())
        for i in broken:
            for key, data in (("profile_params", profile), ("centroid_params", peak)):
                p = index[i][key]
                if p is not None and p["byte_count"] > 0:
                    data[p["offset"]:p["offset"] + p["byte_count"]] = b"\xff" * p["byte_count"]
        (acqdata / "MSProfile.bin").write_bytes(bytes(profile))
        (acqdata / "MSPeak.bin").write_bytes(bytes(peak))
        with pytest.raises(RuntimeError) as raised:
            velorium.RawReader(str(damaged))
        with pytest.raises(RuntimeError) as streamed:
            for _ in velorium.iter_spectra(str(damaged)):
                pass
        assert str(raised.value) == str(streamed.value)
        assert str(raised.value).startswith(f"vendor parser error: scanId={index[broken[0]]['scan_id']}:")


def test_the_interpreter_lock_is_released_while_a_reader_opens_and_decodes(qtof_run, tmp_path):
    """MSScan.bin is a named pipe that only this interpreter's main thread
    writes, after a second thread has started RawReader on it: the main
    thread runs only if the constructor released the lock while it waits."""
    folder, _ = qtof_run
    run = tmp_path / "piped.d"
    shutil.copytree(folder, run)
    image = (run / "AcqData" / "MSScan.bin").read_bytes()
    (run / "AcqData" / "MSScan.bin").unlink()
    os.mkfifo(run / "AcqData" / "MSScan.bin")
    program = textwrap.dedent(f"""
        import sys, threading
        sys.setswitchinterval(1000)  # no forced hand-over of the lock
        import velorium
        result = []
        worker = threading.Thread(target=lambda: result.append(velorium.RawReader({str(run)!r}).scan_count))
        worker.start()
        with open({str(run / "AcqData" / "MSScan.bin")!r}, "wb") as pipe:
            pipe.write({image!r})
        worker.join()
        print(result)
    """)
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"[{velorium.RawReader(str(folder)).scan_count}]\n"


def test_numpy_is_needed_only_for_arrays_and_tables(qtof_run):
    folder, _ = qtof_run
    program = textwrap.dedent(f"""
        import sys
        sys.modules["numpy"] = None  # import numpy fails
        import velorium
        reader = velorium.RawReader({str(folder)!r})
        s = reader.read_spectrum(0)
        assert len(s.mz) == len(s) > 0
        for call in (lambda: s.mz_array, lambda: s.intensity_array, reader.peak_table, reader.scan_table):
            try:
                call()
            except ImportError as e:
                assert "NumPy is needed" in str(e), e
            else:
                raise AssertionError("no ImportError")
        print("ok")
    """)
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr


def mappings():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def test_stores_are_released_with_their_last_view(tmp_path):
    """Each RawReader maps its store (this one is large enough for its own
    mapping); the mapping goes with the last object that holds it (reader,
    spectrum, array or table), whatever it is."""
    folder = tmp_path / "large.d"
    write_acquisition(folder, synthetic_run(scans=10, points=80000, spectra="profile", encoding="lzf", seed=4,
                                            compounds=4, background_ions=4))
    path = str(folder)
    velorium.RawReader(path).peak_table()  # NumPy and the module fully loaded
    gc.collect()
    before = mappings()
    kept = []
    for i in range(200):
        reader = velorium.RawReader(path)
        s = reader.read_spectrum(i % reader.scan_count)
        holders = [reader, s, s.mz_array, reader.peak_table()["offsets"]]
        kept.append(holders[i % 4])  # one of them, alone, keeps the store
        del reader, s, holders
        if len(kept) > 5:
            kept.pop(0)
    assert mappings() >= before + 5  # the kept ones are still mapped
    kept.clear()
    gc.collect()
    assert mappings() <= before + 2, (before, mappings())


CLAIMS_CHILD = textwrap.dedent("""
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[1]), int(sys.argv[1])))
    import velorium
    for path in sys.argv[2:]:
        try:
            velorium.RawReader(path)
            print("ok")
        except RuntimeError as e:
            print(str(e))
""")


def test_claims_of_many_scans_cost_no_more_than_the_file_backs(tmp_path):
    """Scans whose descriptors claim 2^27 points each, under a 1.5 GiB
    address-space limit: the reader fails with the first failing scan's
    error, as decoding scan by scan does, never with MemoryError."""
    from acqwriter import Calibration, DefaultCalEntry, default_masscal_xml, profile_lzf_block

    block, ubc = profile_lzf_block(1000.0, 0.5, [1, 2, 3])
    xml = default_masscal_xml([DefaultCalEntry(1, Calibration(2.0, 0.0, 0.0, 1e9))])
    def good(scan_id):
        return ScanRecord(scan_id, 0.1, calibration_id=1, descriptors=[None, Descriptor(1, 0, len(block), 3, ubc)])

    n = (1 << 27) - 4
    cases = {
        # 2^27 peaks claimed in 36-byte blocks: nothing reserved for them.
        "peaks": ([good(1)] + [ScanRecord(2 + i, 0.2, descriptors=[Descriptor(3, 0, 36, 1 << 27)]) for i in range(40)],
                  "scanId=2: centroid block: parse error: Truncated MSPeak.bin block"),
        # 2^27 - 4 profile points with a 512 MiB uncompressed size, from a
        # block that is no LZF stream: 1.5 GiB each that only decoding refutes.
        "profile": ([good(1), good(2)] + [ScanRecord(3 + i, 0.2, calibration_id=1,
                                               descriptors=[None, Descriptor(1, 0, 2, n, 16 + 4 * n)])
                                    for i in range(6)],
                    "scanId=3: profile block: parse error: LZF"),
    }
    paths = []
    for name, (records, _) in cases.items():
        files = {"MSPeak.bin": bytes(36), "MSProfile.bin": block, "DefaultMassCal.xml": xml}
        paths.append(str(write_scans(tmp_path / f"{name}.d", records, stride=284, files=files)))
    child = subprocess.run([sys.executable, "-c", CLAIMS_CHILD, str(1536 << 20), *paths],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert len(lines) == len(cases), child.stdout
    for line, (name, (_, expected)) in zip(lines, cases.items()):
        assert expected in line, (name, line)
        # The same error as decoding in order.
        folder = tmp_path / f"{name}.d"
        with pytest.raises(RuntimeError) as streamed:
            for _ in velorium.iter_spectra(str(folder)):
                pass
        assert line == str(streamed.value)
