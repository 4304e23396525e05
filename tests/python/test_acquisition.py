"""velorium.Acquisition against RawReader and the writer's expectations, on
every scan-record layout."""

import math
import pathlib
import pickle
import random
import shutil
import struct
import threading
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context

import numpy as np
import pytest

import velorium
from acquisition_child import read_in_child
from acqwriter import Descriptor, ScanRecord, peak_block_format3
from conftest import ALL_LAYOUTS, LAYOUTS, SPECTRUM_PROPERTIES, write_scans

# What a centroid preference may change in a spectrum; everything else
# comes from the scan record.
PEAK_PROPERTIES = {"scan_mode", "mz", "intensity", "total_ion_current", "base_peak_mz", "base_peak_intensity"}


@pytest.fixture(scope="module", params=ALL_LAYOUTS)
def layout(request, layout_run):
    folder, run = layout_run(request.param)
    reader = velorium.RawReader(str(folder))
    reference = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    return folder, run, reader, reference


def fields(s, skip=()):
    return {name: getattr(s, name) for name in SPECTRUM_PROPERTIES if name not in skip}


def test_every_spectrum_equals_raw_reader(layout):
    folder, run, reader, reference = layout
    acq = velorium.Acquisition(str(folder))
    assert len(acq) == reader.scan_count == len(run.scans)
    for i in range(len(acq)):
        s = acq[i]
        assert isinstance(s, velorium.Spectrum)
        assert fields(s) == fields(reference[i]), i
        assert fields(acq[i - len(acq)]) == fields(reference[i])
    assert [fields(s) for s in acq] == [fields(s) for s in reference]
    assert [fields(s) for s in acq.spectra()] == [fields(s) for s in reference]


def test_slices_follow_list_semantics(layout):
    folder, _, _, reference = layout
    acq = velorium.Acquisition(str(folder))
    expected = [fields(s) for s in reference]
    for key in [slice(None), slice(2, 9), slice(None, None, 3), slice(-4, None), slice(None, None, -2),
                slice(10, 2, -3), slice(5, 5), slice(100, 200), slice(-100, 3)]:
        assert [fields(s) for s in acq[key]] == expected[key], key


def test_metadata_without_decoding_equals_raw_reader(layout):
    folder, _, reader, _ = layout
    acq = velorium.Acquisition(str(folder))
    assert acq.run_info() == reader.run_info()
    assert acq.device_info() == reader.device_info()
    assert acq.scan_index() == reader.scan_index()
    assert acq.read_chromatograms() == reader.read_chromatograms()


def same_column(a, b):
    return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")


def test_scan_table_needs_no_data_file_and_matches_raw_reader(layout, tmp_path):
    folder, _, reader, _ = layout
    # Without the data files nothing could be decoded: the table comes from the scan index.
    bare = tmp_path / "bare.d"
    shutil.copytree(folder, bare)
    for name in ("MSProfile.bin", "MSPeak.bin"):
        (bare / "AcqData" / name).unlink(missing_ok=True)
    ours = velorium.Acquisition(str(bare)).scan_table()
    theirs = reader.scan_table()
    assert list(ours) == list(theirs)
    for name in ("index", "scan_number", "ms_level", "retention_time_sec", "polarity", "scan_mode", "has_profile",
                 "has_centroid", "point_count", "low_mz", "high_mz", "precursor_mz", "collision_energy"):
        assert same_column(ours[name], theirs[name]), name
    records = reader.scan_index()["records"]
    for name, key in (("total_ion_current", "tic"), ("base_peak_mz", "base_peak_mz"),
                      ("base_peak_intensity", "base_peak_intensity")):
        recorded = np.array([np.nan if r[key] is None else r[key] for r in records])
        assert same_column(ours[name], recorded), name

    centroid = velorium.Acquisition(str(bare), prefer="centroid").scan_table()
    expected_mode = np.where(ours["has_centroid"], 1, ours["scan_mode"]).astype(np.int8)
    assert same_column(centroid["scan_mode"], expected_mode)
    expected_points = [r["centroid_params"]["point_count"] if r["centroid_params"] else p
                       for r, p in zip(records, ours["point_count"])]
    assert same_column(centroid["point_count"], np.array(expected_points, dtype=np.uint64))


@pytest.mark.parametrize("prefer", ["profile", "centroid"])
def test_peak_table_holds_the_selected_spectra(layout, prefer):
    folder, _, _, _ = layout
    acq = velorium.Acquisition(str(folder), prefer=prefer)
    for level, rt in [(None, None), (1, None), (2, None), (None, (30.0, 1e9)), (99, None)]:
        table = acq.peak_table(ms_level=level, rt_range=rt)
        selected = acq.select(ms_level=level, rt_range=rt)
        offsets = table["offsets"]
        assert offsets.dtype == np.uint64 and len(offsets) == len(selected) + 1 and offsets[0] == 0
        assert table["mz"].dtype == np.float64 and table["intensity"].dtype == np.float32
        assert len(table["mz"]) == len(table["intensity"]) == offsets[-1]
        for k, i in enumerate(selected):
            s = acq[i]
            lo, hi = int(offsets[k]), int(offsets[k + 1])
            assert table["mz"][lo:hi].tolist() == s.mz and table["intensity"][lo:hi].tolist() == s.intensity


def test_centroid_preference_reads_the_centroid_block(layout):
    folder, run, _, reference = layout
    acq = velorium.Acquisition(str(folder), prefer="centroid")
    assert acq.prefer == "centroid"
    records = acq.scan_index()["records"]
    both = 0
    for i in range(len(acq)):
        s, exp = acq[i], run.expected(i)
        assert fields(s, PEAK_PROPERTIES) == fields(reference[i], PEAK_PROPERTIES)
        if records[i]["centroid_params"] is not None:
            assert exp.centroid_intensity is not None
            assert s.scan_mode == "centroid"
            assert s.mz == exp.centroid_mz.tolist()
            assert s.intensity == exp.centroid_intensity.astype(float).tolist()
            both += records[i]["profile_params"] is not None
        else:
            assert fields(s) == fields(reference[i])
    assert [fields(s) for s in acq.spectra()] == [fields(acq[i]) for i in range(len(acq))]
    if LAYOUTS[folder.name[:-2]].get("spectra") == "both":
        # The preference changed something: these scans read as profile by default.
        assert both == len(acq)
        assert all(s.scan_mode == "profile" for s in reference)


def selection_cases(reference):
    rts = sorted(s.retention_time_sec for s in reference)
    ranges = [None, (rts[3], rts[8]), (rts[5], rts[5]), (-math.inf, math.inf), [rts[0], rts[-1]],
              (rts[-1] + 1.0, rts[-1] + 2.0), (0, 0.0)]
    levels = [None, 1, 2, 0, 3, 99, 2**40, -1]
    return [(level, rt) for level in levels for rt in ranges]


def test_selections_equal_filtering_raw_reader(layout):
    folder, _, _, reference = layout
    acq = velorium.Acquisition(str(folder))
    seen_nonempty = seen_partial = False
    for level, rt in selection_cases(reference):
        expected = [s for s in reference
                    if (level is None or s.ms_level == level)
                    and (rt is None or rt[0] <= s.retention_time_sec <= rt[1])]
        seen_nonempty |= bool(expected)
        seen_partial |= 0 < len(expected) < len(reference)
        assert acq.select(ms_level=level, rt_range=rt) == [s.index for s in expected], (level, rt)
        if level is not None and rt is not None:
            assert acq.select(ms_level=np.int64(level), rt_range=np.array(rt)) == [s.index for s in expected]
        got = list(acq.spectra(ms_level=level, rt_range=rt))
        assert [fields(s) for s in got] == [fields(s) for s in expected], (level, rt)
    assert seen_nonempty and seen_partial


def test_lookups_by_scan_number_and_retention_time(layout):
    folder, _, _, reference = layout
    acq = velorium.Acquisition(str(folder))
    table = acq.scan_table()
    for s in reference:
        assert acq.index_of(s.scan_number) == s.index
        assert acq.index_of(scan_number=s.scan_number) == s.index
        assert acq.index_of(table["scan_number"][s.index]) == s.index  # NumPy's integers too
    for missing in (0, max(s.scan_number for s in reference) + 1, -5, 2**40):
        with pytest.raises(ValueError, match="scan number"):
            acq.index_of(missing)
    with pytest.raises(TypeError):
        acq.index_of(1.0)
    rng = random.Random(4)
    last = reference[-1].retention_time_sec
    for _ in range(50):
        t = rng.uniform(-5.0, last + 5.0)
        for level in (None, 1, 2):
            candidates = [s for s in reference if level is None or s.ms_level == level]
            if not candidates:
                with pytest.raises(ValueError):
                    acq.nearest(t, ms_level=level)
                continue
            best = min(candidates, key=lambda s: (abs(s.retention_time_sec - t), s.index))
            assert acq.nearest(t, ms_level=level) == best.index
    assert acq.nearest(reference[4].retention_time_sec) == 4
    with pytest.raises(ValueError):
        acq.nearest(1.0, ms_level=77)
    with pytest.raises(ValueError, match="NaN"):
        acq.nearest(math.nan)


@pytest.fixture(scope="module")
def qtof_acquisition(qtof_run):
    return velorium.Acquisition(str(qtof_run[0]))


@pytest.mark.parametrize("key,error", [
    (1.0, TypeError), ("1", TypeError), (None, TypeError), ((1,), TypeError), ([1], TypeError),
    (lambda n: n, IndexError), (lambda n: -n - 1, IndexError), (2**70, IndexError), (-(2**70), IndexError),
])
def test_bad_indexes(qtof_acquisition, key, error):
    if callable(key):  # relative to the length
        key = key(len(qtof_acquisition))
    with pytest.raises(error):
        qtof_acquisition[key]


def test_indexes_that_are_ints_and_a_zero_step(qtof_acquisition):
    assert qtof_acquisition[True].index == 1  # an int, as for lists
    with pytest.raises(ValueError, match="step"):
        qtof_acquisition[::0]


BAD_RT_RANGES = [
    ("abc", "two numbers"), (b"ab", "two numbers"), (5, "two numbers"), ((1.0,), "got 1 items"),
    ((1, 2, 3), "got 3 items"), ({1: 2, 3: 4}, "two numbers"), (("a", 2), "low end must be a number"),
    ((1, None), "high end must be a number"), ((math.nan, 2), "low end is NaN"),
    ((1, math.nan), "high end is NaN"), ((5.0, 3.0), "reversed: low end 5.0 is above high end 3.0"),
    ((math.inf, -math.inf), "reversed"),
]


@pytest.mark.parametrize("method", ["spectra", "select", "peak_table"])
@pytest.mark.parametrize("rt_range,message", BAD_RT_RANGES)
def test_bad_rt_ranges(qtof_acquisition, method, rt_range, message):
    with pytest.raises(ValueError, match=message):
        getattr(qtof_acquisition, method)(rt_range=rt_range)


@pytest.mark.parametrize("call", [
    lambda acq: acq.spectra(ms_level="1"), lambda acq: acq.spectra(ms_level=1.0), lambda acq: acq.spectra(ms_level=True),
    lambda acq: acq.spectra(1, (0, 1), 3), lambda acq: acq.spectra(level=1),
])
def test_bad_selection_arguments_are_type_errors(qtof_acquisition, call):
    with pytest.raises(TypeError):
        call(qtof_acquisition)


def mgf_bytes(acq, tmp_path, **options):
    target = tmp_path / f"{len(list(tmp_path.iterdir()))}.mgf"
    acq.to_mgf(target, ms_level=None, **options)
    return target.read_bytes()


# Every function reads an argument of one kind by the same rules: NumPy's
# scalars stand for Python's, bool is no number, a wrong type is a TypeError
# and a bad value a ValueError, naming the argument.
# (name, call(acquisition, value, tmp_path), NumPy value, Python value, bad value, error, message)
ARGUMENT_KINDS = [
    ("index_of", lambda acq, v, tmp: acq.index_of(v), np.uint16(3), 3, True, TypeError,
     r"^index_of\(\) argument 'scan_number' must be an int, not bool$"),
    ("ms_level", lambda acq, v, tmp: acq.select(ms_level=v), np.uint8(2), 2, True, TypeError, r"^select\(\) argument 'ms_level'"),
    ("scan_range", lambda acq, v, tmp: acq.select(scan_range=(v, 9)), np.int64(4), 4, True, ValueError,
     r"^select\(\) argument 'scan_range': first end must be an int, not bool$"),
    ("polarity", lambda acq, v, tmp: acq.select(polarity=v), np.str_("positive"), "positive", 1, TypeError,
     r"^select\(\) argument 'polarity' must be str or None, not int$"),
    ("retention_time_sec", lambda acq, v, tmp: acq.nearest(v), np.float16(2.5), 2.5, "2.5", TypeError,
     r"^nearest\(\) argument 'retention_time_sec' must be a number, not str$"),
    ("targets", lambda acq, v, tmp: acq.xic(v, 40.0)[1].tolist(), np.array([500, 700], dtype=np.int32), [500.0, 700.0],
     np.float64(500.0), TypeError, r"^xic\(\) argument 'targets' must be an array of numbers, not numpy.float64$"),
    ("mz", lambda acq, v, tmp: velorium.pick_peaks(v, [0.0, 5.0, 0.0], min_snr=0)[0].tolist(),
     np.array([1, 2, 3], dtype=np.int16), [1.0, 2.0, 3.0], np.float64(1.0), TypeError,
     r"^pick_peaks\(\) argument 'mz' must be an array of numbers, not numpy.float64$"),
    ("tolerance", lambda acq, v, tmp: acq.xic([500.0, 700.0], v)[1].tolist(), np.float32(40.0), 40.0, True, TypeError,
     r"^xic\(\) argument 'tolerance' must be a number, not bool$"),
    ("unit", lambda acq, v, tmp: acq.xic([500.0], 0.5, v)[1].tolist(), np.str_("mz"), "mz", "Da", ValueError,
     r"^xic\(\) argument 'unit' must be 'ppm' or 'mz', not 'Da'$"),
    ("aggregate", lambda acq, v, tmp: acq.xic([500.0], 40.0, aggregate=v)[1].tolist(), np.str_("max"), "max", None,
     TypeError, r"^xic\(\) argument 'aggregate' must be str, not NoneType$"),
    ("pick_peaks", lambda acq, v, tmp: repr(velorium.Acquisition(acq.path, pick_peaks=v)), np.str_("all"), "all",
     "some", ValueError, r"^pick_peaks must be None, 'missing' or 'all', not 'some'$"),
    ("min_snr", lambda acq, v, tmp: repr(velorium.Acquisition(acq.path, pick_peaks="all", min_snr=v)), np.float64(3.5),
     3.5, True, TypeError, r"^Acquisition\(\) argument 'min_snr' must be a number, not bool$"),
    ("min_intensity", lambda acq, v, tmp: velorium.pick_peaks([1.0, 2.0, 3.0], [0.0, 5.0, 0.0], min_intensity=v)[0].tolist(),
     np.int32(1), 1, False, TypeError, r"^pick_peaks\(\) argument 'min_intensity' must be a number, not bool$"),
    ("threshold top", lambda acq, v, tmp: mgf_bytes(acq, tmp, threshold={"top": v}), np.int8(5), 5, True, TypeError,
     r"^to_mgf\(\) argument 'threshold\['top'\]' must be an int, not bool$"),
    ("threshold absolute", lambda acq, v, tmp: mgf_bytes(acq, tmp, threshold={"absolute": v}), np.float32(2.5), 2.5,
     "2.5", TypeError, r"^to_mgf\(\) argument 'threshold\['absolute'\]' must be a number, not str$"),
    ("mz_precision", lambda acq, v, tmp: (acq.to_mzml(tmp / "p.mzML", mz_precision=v), (tmp / "p.mzML").stat().st_size),
     np.int16(32), 32, 16, ValueError, r"^to_mzml\(\) argument 'mz_precision' must be 32 or 64, not 16$"),
]


@pytest.mark.parametrize("call,numpy_value,value,bad,error,message", [case[1:] for case in ARGUMENT_KINDS],
                         ids=[case[0] for case in ARGUMENT_KINDS])
def test_one_rule_per_kind_of_argument(qtof_acquisition, tmp_path, call, numpy_value, value, bad, error, message):
    assert call(qtof_acquisition, numpy_value, tmp_path) == call(qtof_acquisition, value, tmp_path)
    with pytest.raises(error, match=message):
        call(qtof_acquisition, bad, tmp_path)


@pytest.mark.parametrize("kwargs,error,message", [
    (dict(prefer="Centroid"), ValueError, "prefer must be 'profile' or 'centroid', not 'Centroid'"),
    (dict(prefer=None), TypeError, "prefer"),
])
def test_bad_preferences(qtof_run, kwargs, error, message):
    with pytest.raises(error, match=message):
        velorium.Acquisition(str(qtof_run[0]), **kwargs)


def test_path_forms_repr_and_properties(qtof_run):
    folder, acq_written = qtof_run
    n = len(acq_written.scans)
    by_str = velorium.Acquisition(str(folder))
    by_path = velorium.Acquisition(pathlib.Path(folder))
    by_bytes = velorium.Acquisition(bytes(folder))
    for acq in (by_str, by_path, by_bytes):
        assert acq.path == str(folder) and isinstance(acq.path, str)
        assert len(acq) == n
        assert acq.prefer == "profile"
        assert repr(acq) == f"Acquisition({str(folder)!r}, {n} scans)"
    assert fields(by_path[3]) == fields(by_str[3])
    centroid = velorium.Acquisition(path=str(folder), prefer="centroid")
    assert repr(centroid) == f"Acquisition({str(folder)!r}, {n} scans, prefer='centroid')"
    quoted = "it's.d"
    with pytest.raises(RuntimeError):
        velorium.Acquisition(quoted)
    with pytest.raises(AttributeError):
        by_str.path = "x"
    assert "Acquisition" in velorium.__all__
    assert velorium.__all__[:4] == ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra"]


def test_open_failures_raise_as_raw_reader_does(tmp_path):
    (tmp_path / "empty.d").mkdir()
    bad = tmp_path / "bad.d" / "AcqData"
    bad.mkdir(parents=True)
    (bad / "MSScan.bin").write_bytes(b"\x01\x02\x03")
    noscan = tmp_path / "noscan.d" / "AcqData"
    noscan.mkdir(parents=True)
    norecords = tmp_path / "norecords.d" / "AcqData"
    norecords.mkdir(parents=True)
    (norecords / "MSScan.bin").write_bytes(struct.pack("<I", 257) + bytes(84) + struct.pack("<I", 92))
    for path in (tmp_path / "missing.d", tmp_path / "empty.d", tmp_path / "bad.d", tmp_path / "noscan.d",
                 tmp_path / "norecords.d"):
        with pytest.raises(RuntimeError) as raw:
            velorium.RawReader(str(path))
        with pytest.raises(RuntimeError) as ours:
            velorium.Acquisition(str(path))
        assert ours.value.args == raw.value.args


def test_a_bad_block_fails_only_its_own_spectrum(tmp_path):
    peaks = peak_block_format3([100.0, 200.0], [1.0, 2.0])
    records = [ScanRecord(i + 1, 0.1 * i, ms_level=1 + i % 2,
                          descriptors=[Descriptor(3, 0, len(peaks), 9 if i == 2 else 2)]) for i in range(6)]
    folder = str(write_scans(tmp_path / "f.d", records, stride=196, files={"MSPeak.bin": peaks}))
    with pytest.raises(RuntimeError) as raw:
        velorium.RawReader(folder)
    text = raw.value.args
    assert text[0].startswith("vendor parser error: scanId=3: centroid block:")
    acq = velorium.Acquisition(folder)
    assert len(acq) == 6
    for i in (2, -4):
        with pytest.raises(RuntimeError) as ours:
            acq[i]
        assert ours.value.args == text
    assert [acq[i].mz for i in (0, 1, 3, 4, 5)] == [[100.0, 200.0]] * 5
    with pytest.raises(RuntimeError) as ours:
        acq[1:4]
    assert ours.value.args == text
    assert [s.index for s in acq[3:]] == [3, 4, 5]

    it = acq.spectra()
    assert [next(it).index, next(it).index] == [0, 1]
    with pytest.raises(RuntimeError) as ours:
        next(it)
    assert ours.value.args == text
    with pytest.raises(StopIteration):
        next(it)
    assert [s.index for s in acq.spectra(ms_level=2)] == [1, 3, 5]  # the bad scan is MS1
    with pytest.raises(RuntimeError) as ours:
        acq.peak_table()
    assert ours.value.args == text
    assert acq.peak_table(ms_level=2)["offsets"].tolist() == [0, 2, 4, 6]
    with pytest.raises(RuntimeError) as ours:
        acq.read_chromatograms()
    assert ours.value.args == text
    assert len(acq.scan_index()["records"]) == 6  # the index needs no block


def test_iterators_are_independent_and_report_their_length(qtof_run):
    folder, run = qtof_run
    acq = velorium.Acquisition(str(folder))
    a, b = iter(acq), acq.spectra(ms_level=1)
    assert iter(a) is a
    assert a.__length_hint__() == len(acq)
    first = next(a)
    assert a.__length_hint__() == len(acq) - 1
    ms1 = list(b)
    assert [s.index for s in ms1] == acq.select(ms_level=1)
    assert b.__length_hint__() == 0
    rest = list(a)
    assert [first.index] + [s.index for s in rest] == list(range(len(acq)))
    with pytest.raises(TypeError):
        type(a)()


@pytest.mark.parametrize("prefer", ["profile", "centroid"])
def test_pickled_acquisition_reads_the_same_in_a_child_process(layout, prefer):
    folder, _, _, _ = layout
    acq = velorium.Acquisition(str(folder), prefer=prefer)
    copy = pickle.loads(pickle.dumps(acq))
    assert copy is not acq and repr(copy) == repr(acq) and copy.prefer == prefer
    indices = list(range(len(acq)))
    expected = (repr(acq), prefer, [(s.index, s.scan_mode, s.mz, s.intensity) for s in acq])
    with ProcessPoolExecutor(max_workers=1, mp_context=get_context("spawn")) as pool:
        assert pool.submit(read_in_child, acq, indices).result(timeout=120) == expected


def test_concurrent_threads_read_one_acquisition(layout):
    folder, _, _, reference = layout
    acq = velorium.Acquisition(str(folder))
    expected = [fields(s) for s in reference]
    errors = []
    barrier = threading.Barrier(8)

    def work(seed):
        try:
            rng = random.Random(seed)
            barrier.wait()
            for _ in range(40):
                i = rng.randrange(len(acq))
                assert fields(acq[i]) == expected[i]
            assert [fields(s) for s in acq.spectra()] == expected
            assert [fields(s) for s in acq[::2]] == expected[::2]
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[:3]


def test_one_iterator_shared_by_threads_hands_out_each_spectrum_once(qtof_run):
    folder, _ = qtof_run
    acq = velorium.Acquisition(str(folder))
    it = acq.spectra()
    seen, errors = [], []

    def drain():
        try:
            for s in it:
                seen.append(s.index)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=drain) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert sorted(seen) == list(range(len(acq)))
