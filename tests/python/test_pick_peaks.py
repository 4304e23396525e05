"""velorium.pick_peaks on spectra rendered from known peak lists, its
arguments, and Acquisition(pick_peaks=...) against pick_peaks applied by
hand to the profile arrays."""

import array
import math
import pickle

import numpy as np
import pytest

import velorium
from acqwriter import random_peaks, render_profile, synthetic_run, write_acquisition

RESOLUTIONS = [10000, 20000, 40000, 60000]


def separated_peaks(seed, resolution, count=40, heights=(5.0, 1e5)):
    """Peaks at least ten widths apart, so that each stands alone."""
    rng = np.random.default_rng(seed)
    mz, h = random_peaks(rng, count * 3, mz_range=(120.0, 980.0), heights=heights)
    keep = [0]
    for i in range(1, mz.size):
        if mz[i] - mz[keep[-1]] > 10 * mz[i] / resolution:
            keep.append(i)
    return mz[keep][:count], h[keep][:count], rng


def nearest(values, targets):
    """Index into ascending `values` of the value nearest each target."""
    j = np.clip(np.searchsorted(values, targets), 1, len(values) - 1)
    return np.where(np.abs(values[j] - targets) < np.abs(values[j - 1] - targets), j, j - 1)


@pytest.mark.parametrize("resolution", RESOLUTIONS)
def test_noiseless_gaussians_found_at_their_apex(resolution):
    mz, h, _ = separated_peaks(1, resolution)
    s = render_profile(mz, h, resolution, mz_range=(100.0, 1000.0))
    pm, pi = velorium.pick_peaks(s.mz, s.intensity, min_snr=0.0)
    assert pm.size == mz.size
    assert np.max(np.abs(pm - mz) / mz * 1e6) < 0.05
    assert np.max(np.abs(pi - h) / h) < 0.01


def check_found(picked, truth, resolution):
    """Every true peak of height 20 or more (times the noise) is found within a
    quarter of its width, and no peak of 10 or more appears away from the
    true ones (within two widths of a true peak the noise on its flanks can
    make extra maxima)."""
    pm, pi = picked
    mz, h = truth.peak_mz, truth.peak_height
    strong = h >= 20 * truth.noise
    found = nearest(pm, mz)
    assert np.all(np.abs(pm[found] - mz)[strong] < 0.25 * (mz / resolution)[strong])
    away = np.abs(pm - mz[nearest(mz, pm)]) > 2 * pm / resolution
    assert not np.any(away & (pi >= 10 * truth.noise))


@pytest.mark.parametrize("zero_below", [0.0, 3.0], ids=["counts", "zero-runs"])
@pytest.mark.parametrize("resolution", RESOLUTIONS)
def test_noisy_peaks_found_and_none_invented(resolution, zero_below):
    """Poisson counts on a baseline of 1 (noise 1), optionally with the points
    below 3 zeroed as the instrument stores them, and then also with those
    zero runs dropped from the arrays (gaps in the m/z sampling)."""
    mz, h, rng = separated_peaks(2, resolution)
    s = render_profile(mz, h, resolution, mz_range=(100.0, 1000.0), baseline=1.0, rng=rng, zero_below=zero_below)
    check_found(velorium.pick_peaks(s.mz, s.intensity), s, resolution)
    if zero_below:
        nonzero = s.intensity > 0
        check_found(velorium.pick_peaks(s.mz[nonzero], s.intensity[nonzero]), s, resolution)


@pytest.mark.parametrize("separation, ratio, found", [
    (1.5, 1.0, 2), (1.5, 0.3, 2), (2.5, 0.1, 2), (0.5, 1.0, 1),
])
def test_overlapping_peaks(separation, ratio, found):
    """Two peaks `separation` widths apart: resolved ones are both found, each
    within a fifth of a width; unresolved ones give one peak between them."""
    resolution, first = 30000.0, 500.0
    second = first * (1 + separation / resolution)
    s = render_profile([first, second], [1e4, 1e4 * ratio], resolution, mz_range=(495.0, 505.0))
    pm, _ = velorium.pick_peaks(s.mz, s.intensity, min_snr=0.0)
    assert pm.size == found
    width = first / resolution
    if found == 2:
        assert np.all(np.abs(pm - [first, second]) < 0.2 * width)
    else:
        assert first < pm[0] < second


# --- arguments -----------------------------------------------------------------

def spectrum():
    s = render_profile([300.0, 301.5, 640.0], [500.0, 80.0, 2000.0], 20000, mz_range=(290.0, 650.0))
    return s.mz, s.intensity


@pytest.mark.parametrize("convert", [
    lambda m, i: (m, i),
    lambda m, i: (m, i.astype(np.float64)),
    lambda m, i: (array.array("d", m), array.array("f", i)),
    lambda m, i: (m.tolist(), i.tolist()),
    lambda m, i: (np.repeat(m, 2)[::2], np.repeat(i, 2)[::2]),
    lambda m, i: (memoryview(m), memoryview(i)),
], ids=["numpy", "float64-intensity", "array.array", "lists", "strided", "memoryview"])
def test_any_one_dimensional_array(convert):
    mz, intensity = spectrum()
    expected = velorium.pick_peaks(mz, intensity)
    got = velorium.pick_peaks(*convert(mz, intensity))
    assert got[0].dtype == np.float64 and got[1].dtype == np.float32
    assert expected[0].size == 3
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])


def test_integer_intensities_are_read_as_numbers():
    mz = np.arange(10, dtype=np.float64) + 100.0
    counts = np.array([0, 0, 1, 4, 1, 0, 0, 0, 0, 0], dtype=np.int32)
    pm, pi = velorium.pick_peaks(mz, counts, min_snr=0)
    assert pm.tolist() == [103.0] and pi.tolist() == [4.0]


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((np.zeros((2, 2)), np.zeros(4)), {}, ValueError, "'mz' must be one-dimensional"),
    (([1.0, 2.0], [1.0]), {}, ValueError, "2 m/z values but 1 intensities"),
    (([1.0, 3.0, 2.0], [1.0, 2.0, 1.0]), {}, ValueError, "m/z values must ascend, but value 2"),
    (([1.0, math.nan], [1.0, 2.0]), {}, ValueError, "m/z value 1 is NaN"),
    (("abc", [1.0]), {}, TypeError, "'mz' must be an array of numbers"),
    (([1.0, "x"], [1.0, 2.0]), {}, ValueError, "'mz' item 1 must be a number"),
    (([1.0], [1.0]), {"min_snr": -1.0}, ValueError, "min_snr must be finite and not negative"),
    (([1.0], [1.0]), {"min_intensity": math.inf}, ValueError, "min_intensity must be finite"),
    (([1.0], [1.0]), {"min_snr": "2"}, TypeError, "'min_snr' must be a number"),
    (([1.0], [1.0], 0.0), {}, TypeError, "positional argument"),
])
def test_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        velorium.pick_peaks(*args, **kwargs)


def test_non_finite_intensities_never_become_peaks():
    mz = np.arange(8, dtype=np.float64) + 100.0
    intensity = np.array([1, 2, 8, np.inf, 2, 0, np.nan, 5], dtype=np.float32)
    pm, pi = velorium.pick_peaks(mz, intensity, min_snr=0)
    assert np.all(np.isfinite(pm)) and np.all(np.isfinite(pi))
    assert pi.tolist() == [8.0]


# --- Acquisition ---------------------------------------------------------------

@pytest.fixture(scope="module", params=["both", "mixed"])
def run(request, tmp_path_factory):
    """Every scan with both blocks, or MS1 profile and MS2 centroid blocks."""
    acq = synthetic_run(scans=12, points=4000, ms2_share=0.34, seed=21, spectra=request.param, compounds=8,
                        background_ions=10, resolution=20000.0)
    folder = tmp_path_factory.mktemp("picking") / f"{request.param}.d"
    write_acquisition(folder, acq)
    return str(folder)


def expected_spectra(path, prefer, pick):
    """What each scan must be: the block prefer (or, under 'all', the profile)
    chooses, picked by hand with pick_peaks where it is a profile."""
    profile = velorium.Acquisition(path)
    centroid = velorium.Acquisition(path, prefer="centroid")
    source = centroid if prefer == "centroid" and pick != "all" else profile
    out = []
    for i in range(len(source)):
        s = source[i]
        if pick is not None and s.scan_mode == "profile":
            mz, intensity = velorium.pick_peaks(s.mz_array, s.intensity_array)
            out.append(("centroid", mz, intensity))
        else:
            out.append((s.scan_mode, s.mz_array, s.intensity_array))
    return out


def same(spectrum, expected):
    mode, mz, intensity = expected
    return (spectrum.scan_mode == mode and np.array_equal(spectrum.mz_array, mz)
            and np.array_equal(spectrum.intensity_array, intensity))


@pytest.mark.parametrize("pick", [None, "missing", "all"])
@pytest.mark.parametrize("prefer", ["profile", "centroid"])
def test_every_access_follows_the_setting(run, prefer, pick):
    acq = velorium.Acquisition(run, prefer=prefer, pick_peaks=pick)
    expected = expected_spectra(run, prefer, pick)
    assert all(same(acq[i], e) for i, e in enumerate(expected))
    assert all(same(s, e) for s, e in zip(acq, expected, strict=True))
    assert all(same(s, e) for s, e in zip(acq[1:9:3], expected[1:9:3], strict=True))
    selected = acq.select(ms_level=1)
    assert all(same(s, expected[i]) for s, i in zip(acq.spectra(ms_level=1), selected, strict=True))

    table = acq.peak_table()
    o = table["offsets"]
    for k, (_, mz, intensity) in enumerate(expected):
        np.testing.assert_array_equal(table["mz"][o[k]:o[k + 1]], mz)
        np.testing.assert_array_equal(table["intensity"][o[k]:o[k + 1]], intensity)

    scans = acq.scan_table()
    assert scans["scan_mode"].tolist() == [0 if e[0] == "profile" else 1 for e in expected]

    # The strongest centroid of the first MS1 scan: the XIC's maximum in its
    # window is that centroid's intensity wherever the scan's points are.
    first = selected[0]
    _, mz, intensity = expected[first]
    target = float(mz[np.argmax(intensity)])
    _, values = acq.xic([target], 1.0, aggregate="max")
    window = np.abs(mz - target) <= target * 1e-6
    assert values[0, 0] == intensity[window].max()


@pytest.mark.parametrize("pick", ["missing", "all"])
def test_picked_scans_in_scan_table_keep_the_profile_point_count(run, pick):
    picked = velorium.Acquisition(run, prefer="centroid", pick_peaks=pick).scan_table()
    plain = velorium.Acquisition(run, prefer="centroid" if pick == "missing" else "profile").scan_table()
    np.testing.assert_array_equal(picked["point_count"], plain["point_count"])


@pytest.mark.parametrize("kwargs, text", [
    ({}, "Acquisition({path!r}, 12 scans)"),
    ({"pick_peaks": "all"}, "Acquisition({path!r}, 12 scans, pick_peaks='all')"),
    ({"prefer": "centroid", "pick_peaks": "missing", "min_snr": 3.5, "min_intensity": 10},
     "Acquisition({path!r}, 12 scans, prefer='centroid', pick_peaks='missing', min_intensity=10.0, min_snr=3.5)"),
])
def test_repr_and_pickling_keep_the_setting(run, kwargs, text):
    acq = velorium.Acquisition(run, **kwargs)
    assert repr(acq) == text.format(path=run)
    again = pickle.loads(pickle.dumps(acq))
    assert repr(again) == repr(acq)
    assert (again.pick_peaks, again.min_snr, again.min_intensity) == (acq.pick_peaks, acq.min_snr, acq.min_intensity)
    assert same(again[0], (acq[0].scan_mode, acq[0].mz_array, acq[0].intensity_array))


@pytest.mark.parametrize("kwargs, error", [
    ({"pick_peaks": "some"}, ValueError),
    ({"pick_peaks": 1}, TypeError),
    ({"pick_peaks": "all", "min_snr": -2.0}, ValueError),
    ({"pick_peaks": "all", "min_intensity": math.nan}, ValueError),
])
def test_bad_settings(run, kwargs, error):
    with pytest.raises(error):
        velorium.Acquisition(run, **kwargs)
