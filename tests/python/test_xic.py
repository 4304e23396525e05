"""xic(): extracted-ion chromatograms against a plain NumPy reference on the
writer's acquisitions, bit for bit."""

import array
import math
import os
import shutil

import numpy as np
import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, peak_block_format3
from conftest import write_scans

# Profile, centroids of flight times, both blocks with m/z centroids, and a
# triple quadrupole, from the shared runs.
RUNS = ["284-profile-mixed", "216-centroid", "284-both-format3", "186-qqq"]

# How each class is opened; the reference reads the spectra it would read.
SOURCES = {
    "acquisition": lambda path: velorium.Acquisition(path),
    "acquisition-centroid": lambda path: velorium.Acquisition(path, prefer="centroid"),
    "rawreader": lambda path: velorium.RawReader(path),
}


@pytest.fixture(scope="module", params=RUNS)
def run_path(request, layout_run):
    return str(layout_run(request.param)[0])


@pytest.fixture(scope="module", params=sorted(SOURCES))
def source(request, run_path):
    return SOURCES[request.param](run_path)


def spectrum(source, index):
    return source[index] if isinstance(source, velorium.Acquisition) else source.read_spectrum(index)


def selected(source, ms_level=1, rt_range=None):
    """The scan indices a selection takes, from the scan index."""
    out = []
    for i, record in enumerate(source.scan_index()["records"]):
        rt = record["retention_time_min"] * 60.0
        if ms_level is not None and record["ms_level"] != ms_level:
            continue
        if rt_range is not None and not rt_range[0] <= rt <= rt_range[1]:
            continue
        out.append(i)
    return out


def reference(source, targets, tolerance, unit="ppm", ms_level=1, rt_range=None, aggregate="sum"):
    """Every target against every point of every selected spectrum, in spectrum order."""
    indices = selected(source, ms_level, rt_range)
    rt = np.array([spectrum(source, i).retention_time_sec for i in indices], dtype=np.float64)
    values = np.zeros((len(targets), len(indices)))
    for s, i in enumerate(indices):
        sp = spectrum(source, i)
        mz = np.array(sp.mz, dtype=np.float64)
        intensity = np.array(sp.intensity, dtype=np.float32).astype(np.float64)
        for t, m in enumerate(targets):
            w = tolerance * m * 1e-6 if unit == "ppm" else tolerance
            inside = intensity[(mz >= m - w) & (mz <= m + w)]
            if aggregate == "sum":
                total = 0.0
                for v in inside.tolist():
                    total += v
                values[t, s] = total
            elif inside.size:
                values[t, s] = np.nan if np.isnan(inside).any() else inside.max()
    return rt, values


def assert_same_bits(got, want):
    assert got.dtype == np.float64 and got.shape == want.shape
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64)), np.argwhere(got != want)[:5]


def targets_from(source, count=60, seed=0):
    """Exact point values (the strongest points of a few spectra), values next
    to them, duplicates, overlapping pairs, out-of-range values, in no order."""
    rng = np.random.default_rng(seed)
    indices = selected(source, ms_level=None)
    exact = []
    for i in indices[:: max(1, len(indices) // 4)]:
        sp = spectrum(source, i)
        if len(sp.mz):
            order = np.argsort(sp.intensity)[::-1][:count // 6]
            exact.extend(np.array(sp.mz)[order].tolist())
    targets = exact + [m * (1 + 3e-6) for m in exact[::2]] + [m + 1e-4 for m in exact[::3]]
    targets += exact[:5] + [0.0, 1.0, 1e5, 3.5e3]
    rng.shuffle(targets)
    return targets


@pytest.mark.parametrize("aggregate", ["sum", "max"])
@pytest.mark.parametrize("unit,tolerances", [("ppm", [0.0, 5.0, 80.0]), ("mz", [0.0, 0.004, 0.5])])
def test_every_cell_is_the_reference(source, unit, tolerances, aggregate):
    targets = targets_from(source)
    for ms_level in (1, 2, None):
        for tolerance in tolerances:
            rt, values = source.xic(targets, tolerance, unit=unit, ms_level=ms_level, aggregate=aggregate)
            want_rt, want = reference(source, targets, tolerance, unit, ms_level, None, aggregate)
            assert_same_bits(rt, want_rt)
            assert_same_bits(values, want)
            if ms_level == 1:
                assert np.count_nonzero(values) > len(rt)  # the windows do catch points


def test_selection_and_positional_arguments(source):
    records = source.scan_index()["records"]
    times = sorted({r["retention_time_min"] * 60.0 for r in records})
    low, high = times[2], times[-3]  # both ends are scan times: both included
    targets = targets_from(source, seed=1)
    rt, values = source.xic(targets, 20.0, "ppm", None, (low, high), "max")
    want_rt, want = reference(source, targets, 20.0, "ppm", None, (low, high), "max")
    assert rt[0] == low and rt[-1] == high
    assert_same_bits(rt, want_rt)
    assert_same_bits(values, want)
    if isinstance(source, velorium.Acquisition):
        assert rt.tolist() == [source[i].retention_time_sec for i in source.select(rt_range=(low, high))]
    after = times[-1] + 1.0
    for kwargs in (dict(ms_level=9), dict(ms_level=-1), dict(ms_level=2**40), dict(rt_range=(after, after + 5.0))):
        rt, values = source.xic(targets, 20.0, **kwargs)
        assert rt.shape == (0,) and values.shape == (len(targets), 0)
    rt, values = source.xic([], 20.0, ms_level=None)
    assert rt.shape == (len(records),) and values.shape == (0, len(records))


def test_targets_of_every_kind_give_the_same_result(source):
    base = [f + 0.5 for f in range(100, 1100, 7)] + targets_from(source, seed=2)
    rt, expected = source.xic(base, 300.0, ms_level=None)
    assert np.count_nonzero(expected)
    doubled = np.repeat(np.array(base), 2)
    forms = [
        tuple(base),
        (m for m in base),
        np.array(base),
        np.array(base, dtype=">f8"),
        doubled[::2],  # not contiguous
        np.array(base[::-1])[::-1],  # a negative stride
        np.stack([base, base], axis=1)[:, 1],
        array.array("d", base),
        memoryview(array.array("d", base)),
        [np.float64(m) for m in base],
    ]
    for form in forms:
        got_rt, got = source.xic(form, 300.0, ms_level=None)
        assert_same_bits(got_rt, rt)
        assert_same_bits(got, expected)
    integers = [int(m) for m in base]
    assert_same_bits(source.xic(np.array(integers), 300.0, ms_level=None)[1],
                     source.xic([float(m) for m in integers], 300.0, ms_level=None)[1])
    # float32 targets are widened, not reinterpreted
    narrow = np.array(base, dtype=np.float32)
    assert_same_bits(source.xic(narrow, 300.0, ms_level=None)[1],
                     source.xic(narrow.astype(np.float64).tolist(), 300.0, ms_level=None)[1])


BAD_ARGUMENTS = [
    (dict(targets=[100.0, math.nan]), ValueError, "'targets'"),
    (dict(targets=np.array([100.0, math.inf])), ValueError, "'targets'"),
    (dict(targets=[-1.0]), ValueError, "'targets'"),
    (dict(targets=np.zeros((2, 2))), ValueError, "'targets'"),
    (dict(targets=np.zeros((3, 2)).T), ValueError, "'targets'"),
    (dict(targets=np.float64(100.0)), TypeError, "'targets'"),
    (dict(targets="100"), TypeError, "'targets'"),
    (dict(targets=5.0), TypeError, "'targets'"),
    (dict(targets=[100.0, "a"]), TypeError, "'targets'"),
    (dict(targets=[[100.0]]), TypeError, "'targets'"),
    (dict(tolerance=math.nan), ValueError, "'tolerance'"),
    (dict(tolerance=-math.inf), ValueError, "'tolerance'"),
    (dict(tolerance=math.inf), ValueError, "'tolerance'"),
    (dict(tolerance=-0.5), ValueError, "'tolerance'"),
    (dict(tolerance="5"), TypeError, "'tolerance'"),
    (dict(unit="Da"), ValueError, "'unit'"),
    (dict(unit="PPM"), ValueError, "'unit'"),
    (dict(unit=None), TypeError, "'unit'"),
    (dict(aggregate="mean"), ValueError, "'aggregate'"),
    (dict(aggregate=max), TypeError, "'aggregate'"),
    (dict(ms_level=1.0), TypeError, "'ms_level'"),
    (dict(ms_level=True), TypeError, "'ms_level'"),
    (dict(rt_range=(5.0, 1.0)), ValueError, "'rt_range'"),
    (dict(rt_range=(math.nan, 1.0)), ValueError, "'rt_range'"),
    (dict(rt_range=(0.0, math.nan)), ValueError, "'rt_range'"),
    (dict(rt_range=(1.0,)), ValueError, "'rt_range'"),
    (dict(rt_range=(1.0, 2.0, 3.0)), ValueError, "'rt_range'"),
    (dict(rt_range="ab"), ValueError, "'rt_range'"),
    (dict(rt_range=5.0), ValueError, "'rt_range'"),
    (dict(rt_range=(0.0, "9")), ValueError, "'rt_range'"),
]


@pytest.mark.parametrize("kwargs,error,name", BAD_ARGUMENTS, ids=[str(i) for i in range(len(BAD_ARGUMENTS))])
def test_bad_arguments_name_themselves(source, kwargs, error, name):
    call = dict(targets=[100.0, 200.0], tolerance=10.0) | kwargs
    with pytest.raises(error, match=name):
        source.xic(**call)


def test_argument_count_and_names(source):
    with pytest.raises(TypeError):
        source.xic([100.0])
    with pytest.raises(TypeError):
        source.xic([100.0], 1.0, "ppm", 1, None, "sum", 7)
    with pytest.raises(TypeError):
        source.xic([100.0], 1.0, tol=3)
    # inf ends of rt_range are fine
    rt, _ = source.xic([100.0], 1.0, ms_level=None, rt_range=(-math.inf, math.inf))
    assert len(rt) == len(source.scan_index()["records"])


def test_thread_count_does_not_change_a_bit(source):
    cpus = os.sched_getaffinity(0)
    if len(cpus) < 2:
        pytest.skip("needs two CPUs")
    targets = targets_from(source, seed=3) * 3
    results = []
    try:
        for mask in ({min(cpus)}, cpus):
            os.sched_setaffinity(0, mask)  # the library decodes on as many threads as this thread may use
            results.append(source.xic(targets, 40.0, ms_level=None))
    finally:
        os.sched_setaffinity(0, cpus)
    (rt1, v1), (rt2, v2) = results
    assert_same_bits(rt1, rt2)
    assert_same_bits(v1, v2)


def handmade(tmp_path, spectra, bad=None):
    """A triple-quadrupole run of format-3 blocks: (m/z values, intensities) per scan."""
    blob = b""
    records = []
    for i, (mz, intensity) in enumerate(spectra):
        block = peak_block_format3(mz, intensity)
        count = len(mz) + (7 if i == bad else 0)
        records.append(ScanRecord(i + 1, 0.01 * i, ms_level=1, descriptors=[Descriptor(3, len(blob), len(block), count)]))
        blob += block
    return str(write_scans(tmp_path / "hand.d", records, stride=186, files={"MSPeak.bin": blob}))


def test_unsorted_spectra_and_nan_values(tmp_path):
    nan = math.nan
    # Scan 0: the points of 100 +- 1 ppm in spectrum order are 1e17, 1, 1, -1e17
    # (sum 0); in ascending m/z order they would be 1e17, -1e17, 1, 1 (sum 2).
    spectra = [
        ([99.99995, 300.0, 100.0, 200.0, 100.00005, nan, 99.99998], [1e17, 5.0, 1.0, 5.0, 1.0, 9.0, -1e17]),
        ([100.0, 100.0, 100.0, 200.0], [1e17, 1.0, -1e17, nan]),
        ([nan], [4.0]),
        ([], []),
        ([99.9999, 100.0001], [2.0, 3.0]),  # on the bounds of 100 +- 1 ppm, or just outside
    ]
    for name, make in SOURCES.items():
        source = make(handmade(tmp_path / name, spectra))
        targets = [100.0, 200.0, 300.0, 100.0, 50.0, 0.0]
        for tolerance, unit in ((1.0, "ppm"), (0.0, "mz"), (0.2, "mz")):
            for aggregate in ("sum", "max"):
                rt, values = source.xic(targets, tolerance, unit=unit, aggregate=aggregate)
                want_rt, want = reference(source, targets, tolerance, unit, 1, None, aggregate)
                assert_same_bits(rt, want_rt)
                np.testing.assert_array_equal(values, want)  # NaN where the reference has NaN
        _, sums = source.xic([100.0], 1.0)
        assert sums[0, :4].tolist() == [0.0, 0.0, 0.0, 0.0]
        _, peaks = source.xic([200.0], 0.0, unit="mz", aggregate="max")
        assert peaks[0, 0] == 5.0 and math.isnan(peaks[0, 1]) and peaks[0, 2:].tolist() == [0.0] * 3


def test_a_failing_block_raises_the_libraries_text(tmp_path):
    spectra = [([100.0, 200.0], [1.0, 2.0])] * 6
    for name in ("acquisition", "acquisition-centroid"):
        make = SOURCES[name]
        path = handmade(tmp_path / name, spectra, bad=3)
        source = make(path)
        with pytest.raises(RuntimeError) as single:
            source[3]
        times = [r["retention_time_min"] * 60.0 for r in source.scan_index()["records"]]
        for kwargs in (dict(), dict(rt_range=(times[3], times[3])), dict(ms_level=None)):
            with pytest.raises(RuntimeError) as ours:
                source.xic([100.0], 5.0, **kwargs)
            assert ours.value.args == single.value.args
        rt, values = source.xic([100.0, 200.0], 5.0, rt_range=(times[0], times[2]))  # the scans before it
        assert rt.shape == (3,) and values.tolist() == [[1.0] * 3, [2.0] * 3]


def test_rawreader_reads_its_decoded_peaks(tmp_path, layout_run):
    folder = tmp_path / "run.d"
    shutil.copytree(layout_run(RUNS[0])[0], folder)
    reader = velorium.RawReader(str(folder))
    acquisition = velorium.Acquisition(str(folder))
    targets = targets_from(reader, seed=4)
    expected = acquisition.xic(targets, 50.0, ms_level=None)
    for name in ("MSProfile.bin", "MSPeak.bin"):
        (folder / "AcqData" / name).unlink(missing_ok=True)
    got = reader.xic(targets, 50.0, ms_level=None)  # nothing left to decode from
    assert_same_bits(got[0], expected[0])
    assert_same_bits(got[1], expected[1])
    with pytest.raises(RuntimeError):
        acquisition.xic(targets, 50.0)
