"""Centroided output: `velorium convert --centroid` / `--pick-peaks` and
Acquisition(pick_peaks=...).to_mzml/to_mgf write the spectra the acquisition
hands out, bit for bit, in files the schema and OpenMS' semantic validator
accept, each spectrum referring to the processing it went through."""

from __future__ import annotations

import numpy as np
import pytest
from lxml import etree

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import NS, check_mzml, parse_mgf
from test_cli import VELORIUM, run_cli

pytestmark = pytest.mark.skipif(not VELORIUM.is_file(), reason=f"the velorium command is not installed ({VELORIUM})")


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """"both": every scan has a profile and the instrument's centroids;
    "mixed": profile MS1 scans, centroid MS2 scans. Profiles sampled finely
    enough that their peaks span several points."""
    root = tmp_path_factory.mktemp("picking")
    folders = {}
    for i, (spectra, stride) in enumerate([("both", 284), ("mixed", 216)]):
        acq = synthetic_run(scans=12, points=12000, ms2_share=0.4, seed=7 + i, stride=stride, spectra=spectra,
                            mz_range=(100.0, 700.0), compounds=6, background_ions=10, resolution=8000.0)
        folders[spectra] = root / f"{spectra}.d"
        write_acquisition(folders[spectra], acq)
    return folders


# run, command options, Acquisition keywords, format
CASES = {
    "centroid, mixed": ("mixed", ["--centroid"], dict(prefer="centroid", pick_peaks="missing"), "mzml"),
    "pick, both, parameters": ("both", ["--pick-peaks", "--min-snr", "4", "--min-intensity", "50"],
                               dict(pick_peaks="all", min_snr=4.0, min_intensity=50.0), "mzml"),
    "pick over centroid, compact": ("mixed", ["--centroid", "--pick-peaks", "--compact"],
                                    dict(prefer="centroid", pick_peaks="all"), "mzml"),
    "pick, mgf": ("both", ["--pick-peaks", "--min-snr=3"], dict(pick_peaks="all", min_snr=3.0), "mgf"),
}


def picking_of_each_spectrum(path):
    """The user parameters of the peak picking each spectrum refers to (None: no picking)."""
    root = etree.parse(str(path)).getroot()
    picking = {p.get("id"): None for p in root.iter(f"{NS}dataProcessing")}
    for p in root.iter(f"{NS}dataProcessing"):
        for m in p.iter(f"{NS}processingMethod"):
            if any(c.get("accession") == "MS:1000035" for c in m.iter(f"{NS}cvParam")):
                assert m.get("softwareRef") == "velorium"
                picking[p.get("id")] = {u.get("name"): float(u.get("value")) for u in m.iter(f"{NS}userParam")}
    spectra = root.find(f".//{NS}spectrumList")
    return [picking[s.get("dataProcessingRef", spectra.get("defaultDataProcessingRef"))]
            for s in spectra.iter(f"{NS}spectrum")]


@pytest.mark.parametrize("case", sorted(CASES))
def test_centroided_output_is_what_the_acquisition_hands_out(runs, tmp_path, case):
    name, options, keywords, fmt = CASES[case]
    folder = runs[name]
    out = tmp_path / f"out.{fmt}"
    done = run_cli("convert", folder, "-o", out, "--format", fmt, *options)
    assert (done.returncode, done.stderr) == (0, "")
    acq = velorium.Acquisition(str(folder), **keywords)
    # Read before picking, under the block the picking reads.
    acquired = velorium.Acquisition(str(folder), prefer="profile" if keywords["pick_peaks"] == "all"
                                    else keywords.get("prefer", "profile"))
    # The same bytes from the Python method.
    again = tmp_path / f"again.{fmt}"
    getattr(acq, f"to_{fmt}")(again, **({"compact": True} if "--compact" in options else {}))
    assert again.read_bytes() == out.read_bytes()

    if fmt == "mgf":
        want = [s for s in acq if s.ms_level >= 2]
        blocks = parse_mgf(out.read_text())
        assert [len(p) for _, p in blocks] == [len(s.mz) for s in want]
        for (_, peaks), s in zip(blocks, want):
            assert np.array([float(m) for m, _ in peaks]).tobytes() == s.mz_array.tobytes()
            assert np.array([float(i) for _, i in peaks], dtype=np.float32).tobytes() == s.intensity_array.tobytes()
        return

    check_mzml(out)
    from pyteomics import mzml

    with mzml.MzML(str(out)) as parsed:
        got = [(s["id"], s["m/z array"], s["intensity array"], "centroid spectrum" in s) for s in parsed]
    assert [g[0] for g in got] == [s.native_id for s in acq]
    picked = [s.scan_mode == "profile" for s in acquired]
    assert any(picked) and (name == "both" or not all(picked))  # the instrument's centroids in "mixed"
    params = {"min_intensity": keywords.get("min_intensity", 0.0), "min_snr": keywords.get("min_snr", 2.0)}
    for (_, mz, intensity, centroid), s, was_picked, entry in zip(got, acq, picked, picking_of_each_spectrum(out)):
        assert centroid and s.scan_mode == "centroid"
        assert len(mz) > 0
        if "--compact" in options:  # MS-Numpress: within its fixed-point precision
            np.testing.assert_allclose(mz, s.mz_array, rtol=0, atol=1e-6)
            np.testing.assert_allclose(intensity, s.intensity_array, rtol=1e-3)
        else:
            assert mz.tobytes() == s.mz_array.tobytes()
            assert intensity.astype(np.float32).tobytes() == s.intensity_array.tobytes()
        assert entry == (params if was_picked else None)


@pytest.mark.parametrize("options, message", [
    (["--min-snr", "3"], "need --centroid or --pick-peaks"),
    (["--format", "mgf", "--min-intensity", "5"], "need --centroid or --pick-peaks"),
    (["--pick-peaks", "--min-snr=-1"], "min_snr"),
    (["--centroid", "--min-intensity", "inf"], "min_intensity"),
])
def test_picking_parameters_are_usage_errors_when_unused_or_invalid(runs, tmp_path, options, message):
    out = tmp_path / "out"
    done = run_cli("convert", runs["mixed"], "-o", out, *options)
    assert done.returncode == 2
    assert done.stderr.startswith("velorium: error: ") and message in done.stderr, done.stderr
    assert list(tmp_path.iterdir()) == []
