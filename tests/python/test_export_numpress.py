"""MS-Numpress arrays in the mzML: valid for the schema, OpenMS' validator and
the ontology; decoded by pyopenms' MSNumpressCoder, by pyteomics (with
pynumpress) and by pymzml's decoder within the codec's documented bound; and
the very bytes the reference encoder (pynumpress) gives at the fixed point
they carry. (pymzml 2.6's spectrum reader fails on every MS-Numpress array,
OpenMS' own files included, so its decoder is given the arrays' bytes.)"""

from __future__ import annotations

import base64
import struct
import zlib

import numpy as np
import pytest
from lxml import etree

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import NS, check_mzml

pynumpress = pytest.importorskip("pynumpress")  # in the test extra: CI has it

TERMS = {  # compression accession: (codec, zlib)
    "MS:1002312": ("linear", False), "MS:1002746": ("linear", True),
    "MS:1002314": ("slof", False), "MS:1002748": ("slof", True),
    "MS:1002313": ("pic", False), "MS:1002747": ("pic", True),
}


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    acq = synthetic_run(scans=16, points=1500, ms2_share=0.4, stride=284, spectra="mixed", encoding="mixed",
                        seed=5, compounds=5, background_ions=6)
    folder = tmp_path_factory.mktemp("numpress") / "np.d"
    write_acquisition(folder, acq)
    return folder, list(velorium.Acquisition(str(folder)))


def arrays_of(path):
    """Per spectrum: [(array name, codec or None, zlib, raw stored bytes)]."""
    out = []
    for spectrum in etree.parse(str(path)).getroot().iter(f"{NS}spectrum"):
        arrays = []
        for array in spectrum.iter(f"{NS}binaryDataArray"):
            accessions = {p.get("accession"): p.get("name") for p in array.findall(f"{NS}cvParam")}
            name = "mz" if "MS:1000514" in accessions else "intensity"
            codec, compressed = next((TERMS[a] for a in accessions if a in TERMS), (None, "MS:1000574" in accessions))
            stored = base64.b64decode(array.findtext(f"{NS}binary") or "")
            arrays.append((name, codec, compressed, zlib.decompress(stored) if compressed else stored))
        out.append(arrays)
    return out


def check_bound(codec, decoded, exact, fixed_point):
    decoded, exact = np.asarray(decoded, dtype=np.float64), np.asarray(exact, dtype=np.float64)
    assert decoded.shape == exact.shape
    if codec == "linear":
        bound = 0.5 / fixed_point * (1 + 1e-9) + 2 ** -50 * np.abs(exact)
        assert np.all(np.abs(decoded - exact) <= bound)
        assert 0.5 / fixed_point <= 2.4e-10 * max(exact.max(initial=0.0), 1.0)  # at the optimal fixed point
    elif codec == "slof":
        assert np.all(np.abs(np.log1p(decoded) - np.log1p(exact)) <= 0.5 / fixed_point * (1 + 1e-9) + 1e-12)
        relative = np.abs(decoded + 1 - (exact + 1)) / (exact + 1)
        assert np.all(relative <= 0.5 * np.log1p(exact.max(initial=0.0)) / 65535 * 1.001 + 1e-12)
        assert np.all(relative < 2e-4)
    else:
        assert np.all(np.abs(decoded - exact) <= 0.5)


OPTIONS = {
    "linear,slof": dict(numpress="linear,slof"),
    "linear,pic": dict(numpress=("linear", "pic")),
    "linear,slof without zlib": dict(numpress="linear,slof", compression=False),
    "slof alone": dict(numpress="slof"),
    "compact": dict(compact=True),
    "compact with selection and top": dict(compact=True, ms_level=1, threshold={"top": 200}),
}


@pytest.mark.parametrize("case", sorted(OPTIONS))
def test_numpress_arrays_are_valid_and_decode_within_their_bounds(run, tmp_path, case):
    from pyteomics import mzml

    folder, spectra = run
    options = OPTIONS[case]
    out = tmp_path / "np.mzML"
    acq = velorium.Acquisition(str(folder))
    acq.to_mzml(out, **options)
    check_mzml(out)
    want = [spectra[i] for i in acq.select(ms_level=options.get("ms_level"))]
    written = arrays_of(out)
    assert len(written) == len(want)

    with mzml.MzML(str(out)) as parsed:
        by_pyteomics = [(s["m/z array"], s["intensity array"]) for s in parsed]
    import pyopenms
    from pymzml.decoder import MSDecoder

    coder = pyopenms.MSNumpressCoder()
    codecs_seen = set()
    for arrays, spectrum, pyteomics_pair in zip(written, want, by_pyteomics):
        mz, intensity = np.asarray(spectrum.mz), np.asarray(spectrum.intensity, dtype=np.float64)
        if options.get("compact") or options.get("trim_zeros"):
            keep = intensity != 0
            keep[1:] |= intensity[:-1] != 0
            keep[:-1] |= intensity[1:] != 0
            mz, intensity = mz[keep], intensity[keep]
        if "threshold" in options:
            order = np.sort(np.argsort(-intensity, kind="stable")[:options["threshold"]["top"]])
            mz, intensity = mz[order], intensity[order]
        for (name, codec, compressed, raw), exact, by_teomics in zip(arrays, (mz, intensity), pyteomics_pair):
            assert compressed == options.get("compression", True)
            if codec is None:  # not asked for: stored exactly
                assert name == "mz" and options.get("numpress") == "slof"
                assert np.frombuffer(raw, dtype=np.float64).tobytes() == exact.tobytes()
                continue
            codecs_seen.add(codec)
            fixed_point = struct.unpack(">d", raw[:8])[0] if codec != "pic" else None
            # The reference decodes our bytes and, at the same fixed point, encodes them again byte for byte.
            decoded = getattr(pynumpress, f"decode_{codec}")(np.frombuffer(raw, dtype=np.uint8))
            again = (pynumpress.encode_pic(decoded) if codec == "pic"
                     else getattr(pynumpress, f"encode_{codec}")(decoded, fixed_point))
            assert bytes(again) == raw
            check_bound(codec, decoded, exact, fixed_point)
            # Three readers give the same values.
            config = pyopenms.NumpressConfig()
            config.np_compression = getattr(pyopenms.MSNumpressCoder.NumpressCompression, codec.upper())
            by_openms = []
            coder.decodeNP(base64.b64encode(zlib.compress(raw) if compressed else raw), by_openms, compressed,
                           config)
            assert np.array_equal(np.asarray(by_openms), decoded)
            assert np.array_equal(np.asarray(by_teomics, dtype=np.float64), decoded)
            by_mzml = getattr(MSDecoder, f"decode_{codec}")(np.frombuffer(raw, dtype=np.uint8))
            assert np.allclose(np.asarray(by_mzml, dtype=np.float64), decoded, rtol=1e-12, atol=0)
    wanted = {"linear", "slof"} if "pic" not in str(options.get("numpress")) else {"linear", "pic"}
    if options.get("numpress") == "slof":
        wanted = {"slof"}
    assert codecs_seen == wanted


def test_the_compact_output_is_read_by_pyopenms_as_a_whole(run, tmp_path):
    import pyopenms

    folder, spectra = run
    out = tmp_path / "compact.mzML.gz"
    velorium.Acquisition(str(folder)).to_mzml(out, compact=True)
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(out), experiment)
    assert [s.getNativeID() for s in experiment.getSpectra()] == [s.native_id for s in spectra]
    for got, want in zip(experiment.getSpectra(), spectra):
        intensity = np.asarray(want.intensity, dtype=np.float64)
        keep = intensity != 0
        keep[1:] |= intensity[:-1] != 0
        keep[:-1] |= intensity[1:] != 0
        mz, values = got.get_peaks()
        kept = np.asarray(want.mz)[keep]
        check_bound("linear", mz, kept, (2**31 - 1) / kept.max())  # the least fixed point of ascending m/z
        assert np.all(np.abs(values - intensity[keep]) <= 2e-4 * (intensity[keep] + 1))
