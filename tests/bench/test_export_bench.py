"""The export benchmark end to end on small acquisitions: every option is
measured, the sizes relate as the options promise, nothing is left behind."""

import sys

import pytest
from velbench import export


def test_export_benchmark_measures_every_option(small_profile_run, tmp_path):
    pytest.importorskip("pyopenms", reason="pyopenms is not installed here")
    work = tmp_path / "work"
    run = str(small_profile_run)
    r = export.run(sys.executable, run, run, str(work), reps=1)
    assert list(work.iterdir()) == []  # the files written are removed
    assert r["pyopenms_compact"]["spectra"] == 12 and len(r["pyopenms_rounds"]) == 1
    for where, options in (("sample", export.SAMPLE_OPTIONS), ("large", export.OPTIONS)):
        ratio = r["size_ratio"][where]
        assert set(ratio) == set(options)
        # Trimming drops zeros; the compact encodings shrink what is left.
        assert ratio["compact"] < ratio["trim-zeros"] < ratio["default"]
        assert ratio["top-150"] < ratio["default"] and ratio["mz-32"] < ratio["default"]
    assert set(r["rss_difference"]) == set(export.OPTIONS)
    assert r["compact_vs_default"]["wall"] > 0 and r["pyopenms_vs_compact"]["cpu"] > 0
