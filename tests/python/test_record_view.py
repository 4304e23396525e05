import math

import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, peak_block_format3
from conftest import SPECTRUM_PROPERTIES as PROPERTIES, write_scans

PRECURSOR_KEYS = [
    "target_mz", "selected_mz", "isolation_width", "charge", "intensity", "collision_energy", "ce_is_nce",
    "precursor_native_id", "activation", "analyzer", "ccs",
]


def spectra_of(tmp_path, records, stride=196, peaks=b""):
    folder = write_scans(tmp_path / "s.d", records, stride=stride, files={"MSPeak.bin": peaks})
    reader = velorium.RawReader(str(folder))
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def test_class_surface():
    S = velorium.Spectrum
    assert S.__doc__ == ("A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                         "for compatibility with existing callers.")
    defined = [name for name, value in vars(S).items() if type(value).__name__ == "getset_descriptor"]
    # The specified properties in their order, then the array views.
    assert defined == PROPERTIES + ["mz_array", "intensity_array"]
    for name in defined:
        assert getattr(S, name).__doc__ is None


def test_properties_are_read_only_and_new_on_every_access(tmp_path):
    peaks = peak_block_format3([100.0, 200.0], [1.0, 2.0])
    (s,) = spectra_of(tmp_path, [ScanRecord(7, 1.0, descriptors=[Descriptor(3, 0, len(peaks), 2)])], peaks=peaks)
    for name in PROPERTIES:
        with pytest.raises(AttributeError):
            setattr(s, name, None)
        with pytest.raises(AttributeError):
            delattr(s, name)
    assert s.mz is not s.mz and s.extra is not s.extra and s.intensity is not s.intensity
    mz = s.mz
    mz.append(1.0)
    assert s.mz == [100.0, 200.0]
    assert len(s) == 2
    with pytest.raises(AttributeError):
        s.new_attribute = 1


def test_record_without_peaks(tmp_path):
    (s,) = spectra_of(tmp_path, [ScanRecord(1, 0.0)])
    assert len(s) == 0 and s.mz == [] and s.intensity == []
    assert s.base_peak_mz is None and s.base_peak_intensity is None
    assert s.reported_total_ion_current is None
    tic = s.total_ion_current
    assert tic == 0.0 and math.copysign(1.0, tic) == -1.0
    assert repr(s) == "Spectrum(0 peaks, RT 0.00s)"
    for name in ("acquisition_event_id", "filter", "ion_injection_time_ms", "inv_mobility", "faims_cv",
                 "inv_mobility_per_peak", "precursor", "low_mz", "reported_base_peak_mz"):
        assert getattr(s, name) is None, name
    assert s.polarity == "positive" and s.scan_mode == "centroid" and s.analyzer == "tqms"


def test_derived_values_and_reported_ones(tmp_path):
    peaks = peak_block_format3([100.0, 200.0, 300.0], [5.0, 9.0, 9.0])
    records = [
        # Stride 220 carries the recorded values: the TIC is used as is, the
        # base peak only when both halves are present.
        ScanRecord(1, 0.5, tic=42.0, base_peak_mz=555.0, base_peak_intensity=0.0, calibration_id=1,
                   descriptors=[Descriptor(3, 0, len(peaks), 3)]),
    ]
    (s,) = spectra_of(tmp_path, records, stride=220, peaks=peaks)
    assert s.total_ion_current == 42.0
    assert (s.base_peak_mz, s.base_peak_intensity) == (555.0, 0.0)
    assert s.reported_base_peak_mz == 555.0

    (t,) = spectra_of(tmp_path / "b", [ScanRecord(1, 0.5, descriptors=[Descriptor(3, 0, len(peaks), 3)])], peaks=peaks)
    assert t.total_ion_current == 23.0
    assert (t.base_peak_mz, t.base_peak_intensity) == (200.0, 9.0)  # the first of equal maxima


def test_precursor_dict(tmp_path):
    records = [ScanRecord(1, 0.5), ScanRecord(2, 0.6, ms_level=2, mrm_channel_id=7)]
    _, ms2 = spectra_of(tmp_path, records)
    p = ms2.precursor
    assert list(p) == PRECURSOR_KEYS
    assert p["ce_is_nce"] is False
    assert p["precursor_native_id"] == "mrm_channel=7"
    assert [k for k, v in p.items() if v is not None] == ["ce_is_nce", "precursor_native_id"]
    assert ms2.precursor is not ms2.precursor


def test_repr_rounding_and_non_finite_times(tmp_path):
    cases = [(61.237 / 60, "61.24"), (0.125 / 60, "0.12"), (float("nan"), "NaN"), (float("inf"), "inf"),
             (float("-inf"), "-inf"), (-0.0001, "-0.01")]
    records = [ScanRecord(i + 1, rt) for i, (rt, _) in enumerate(cases)]
    spectra = spectra_of(tmp_path, records)
    for s, (rt_min, text) in zip(spectra, cases):
        assert repr(s) == f"Spectrum(0 peaks, RT {text}s)"
        if math.isfinite(rt_min):
            assert repr(s) == f"Spectrum(0 peaks, RT {s.retention_time_sec:.2f}s)"


def test_extra_and_unknown_polarity(tmp_path):
    (s,) = spectra_of(tmp_path, [ScanRecord(1, 0.5, ion_polarity=-1, mrm_channel_id=3)])
    assert s.polarity is None
    assert list(s.extra) == sorted(s.extra)
    assert s.extra == {"velorium.ion_polarity": "-1", "velorium.mrm_channel_id": "3"}
