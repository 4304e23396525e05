"""acqwriter: writer of synthetic Agilent-style acquisitions (".d" folders).

Used by velorium's tests, fuzz seed corpora, benchmarks and demo. Pure
Python; the byte builders need only the standard library (plus liblzf or the
PyPI ``lzf`` module for real LZF compression), the high-level model and the
synthetic generator need numpy.

Byte builders (each returns bytes, or (bytes, uncompressed_byte_count)):

    msscan_bytes(records, stride, header_size=92, magic=257, *,
                 header_size_field=None, header_fill=0, fill=0, trailing=b"")
    record_bytes(record, stride, fill=0)
        ScanRecord(scan_id, retention_time_min, ms_level=1, tic=None,
                   base_peak_mz=None, base_peak_intensity=None,
                   calibration_id=None, ion_polarity=0, mrm_channel_id=None,
                   target_mz=None, collision_energy=None, min_x=None,
                   max_x=None, descriptors=[], raw={})
        Descriptor(format_id, offset, byte_count, point_count,
                   uncompressed_byte_count=None)
    infer_stride(msscan_image) -> int | None

    profile_lzf_block(x0, dx, intensities_i32, *, literal_only=False,
                      trailing=b"") -> (block, uncompressed_byte_count)
    profile_rle_block(x0, dx, start, words, *, marker=0x9002FF00) -> block
        words: DataWord(value, width=None), ControlWord(skip, next_width,
               width=None), RawBytes(data)
    profile_rle_encode(x0, dx, intensities) -> (block, uncompressed_byte_count)
    lzf_compress(data), lzf_literal_only(data, first_run=32)

    peak_block_format2(flight_times, intensities_f32, *, trailing=b"")
    peak_block_format3(mzs, intensities_f32, *, trailing=b"")

    masscal_bytes(records, *, header=None, trailing=b"")
        records: MassCalRecord(coefficients, count=None), Calibration,
                 a list of values, or None (count 0)
    default_masscal_xml(entries, *, namespace=None, prefix=None, bom=0,
                        pad_text=False, indent="  ", xml_declaration=True,
                        value_format=repr, reverse_values=False) -> str
        DefaultCalEntry(id, calibration=None, traditional_flags=0,
                        id_text=None, steps=None)
        Step(formula, values, value_use_flags=0, number_of_coefficients=None)
    devices_xml(name="QTOF", model="G6530A", *, ...) -> str
    contents_xml(acquired_time, *, ...) -> str

Calibration:

    mz_at(t, a, t0, range_low, range_high, terms) -> float   (bit-exact)
    mz_at_array(t, a, t0, range_low, range_high, terms)       (numpy, same bits)
    terms_from_flags(value_use_flags, c1_to_c6) -> [(power, coefficient)]
    Calibration(a, t0, range_low, range_high, coefficients=(0.0,)*6,
                value_use_flags=0): .vector(), .terms, .mz_at(t), .mz_array(t)

Model and writer (numpy):

    Acquisition(scans, stride=284, calibration_entries=(), device=Device(...),
                acquired_time=..., header_size=92, files=None, ...)
    Scan(record, profile=None, centroids=None, calibration=None, masscal=None)
    Profile(x0, dx, intensities, encoding="lzf"|"lzf-literal"|"rle")
    Centroids(format_id, xs, intensities)
    write_acquisition(folder, acquisition, *, overwrite=False) -> WriteResult
    Acquisition.expected(i) -> ExpectedSpectrum (decoded m/z f64, intensity
        f32, retention time, polarity code, precursor, record fields)
    synthetic_run(scans=100, points=20000, ms2_share=0.25, stride=284,
                  encoding="lzf", seed=0, *, instrument=None, spectra=None,
                  centroid_format=2, target_size=None, ...) -> Acquisition
    render_profile(peak_mz, peak_height, resolution, *, cal=None,
                   mz_range=(100, 1600), dt=0.125, baseline=0.0, rng=None,
                   zero_below=0.0) -> TruthSpectrum (a profile spectrum of
        known Gaussian peaks on a time-of-flight axis, for peak pickers)

Example::

    import sys; sys.path.insert(0, "tools")
    from acqwriter import synthetic_run, write_acquisition

    run = synthetic_run(scans=20, points=5000, stride=284, encoding="mixed", seed=7)
    result = write_acquisition("/tmp/demo.d", run)
    print(result.summary())
    exp = run.expected(3)          # what a reader must decode for scan 3
    exp.profile_mz[:3], exp.profile_intensity[:3], exp.retention_time_s

    # A hand-made, one-record scan index in the 186-byte layout:
    from acqwriter import ScanRecord, Descriptor, msscan_bytes
    data = msscan_bytes([ScanRecord(1, 0.5, ion_polarity=-1,
                                    descriptors=[Descriptor(3, 0, 24, 2)])], 186)

Command line: ``python tools/write_acquisition.py OUT.d --scans 50 --points 8000``.
"""

from .calibration import (
    Calibration,
    MassCalRecord,
    int_power,
    masscal_bytes,
    mz_at,
    mz_at_array,
    powers_from_flags,
    terms_from_flags,
)
from .lzf import LzfUnavailable, lzf_available, lzf_backend, lzf_compress, lzf_literal_only
from .msscan import LAYOUTS, STRIDES, Descriptor, ScanRecord, infer_stride, msscan_bytes, record_bytes
from .peak import peak_block_format2, peak_block_format3
from .profile import (
    RLE_MARKER,
    ControlWord,
    DataWord,
    RawBytes,
    axis_header,
    control_word_value,
    looks_like_run_length,
    profile_lzf_block,
    profile_lzf_payload,
    profile_rle_block,
    profile_rle_encode,
    profile_uncompressed_size,
)
from .xmlfiles import DefaultCalEntry, Step, contents_xml, default_masscal_xml, devices_xml

__all__ = [
    "Calibration", "MassCalRecord", "int_power", "masscal_bytes", "mz_at", "mz_at_array",
    "powers_from_flags", "terms_from_flags",
    "LzfUnavailable", "lzf_available", "lzf_backend", "lzf_compress", "lzf_literal_only",
    "LAYOUTS", "STRIDES", "Descriptor", "ScanRecord", "infer_stride", "msscan_bytes", "record_bytes",
    "peak_block_format2", "peak_block_format3",
    "RLE_MARKER", "ControlWord", "DataWord", "RawBytes", "axis_header", "control_word_value",
    "looks_like_run_length", "profile_lzf_block", "profile_lzf_payload", "profile_rle_block",
    "profile_rle_encode", "profile_uncompressed_size",
    "DefaultCalEntry", "Step", "contents_xml", "default_masscal_xml", "devices_xml",
    # numpy-based, imported on first use:
    "Acquisition", "Scan", "Profile", "Centroids", "Device", "LazyScans", "ExpectedSpectrum",
    "WriteResult", "write_acquisition", "expected_spectrum", "synthetic_run", "main",
    "TruthSpectrum", "tof_calibration", "render_profile", "random_peaks",
]

_LAZY = {
    "Acquisition": "model", "Scan": "model", "Profile": "model", "Centroids": "model", "Device": "model",
    "LazyScans": "model", "ExpectedSpectrum": "model", "WriteResult": "model", "write_acquisition": "model",
    "expected_spectrum": "model", "synthetic_run": "synthetic", "main": "cli",
    "TruthSpectrum": "rendering", "tof_calibration": "rendering", "render_profile": "rendering",
    "random_peaks": "rendering",
}


def __getattr__(name: str):
    # The model and generator import numpy; load them only when asked for so
    # that the byte builders work without it.
    mod = _LAZY.get(name)
    if mod is None:
        raise AttributeError(f"module 'acqwriter' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{mod}", __name__), name)
    globals()[name] = value
    return value
