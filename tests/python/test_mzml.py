"""The mzML and MGF that Acquisition.to_mzml and to_mgf write: valid for the
schema, OpenMS' validator and the ontology, read back bit for bit by
pyteomics, pymzml and pyopenms, with a correct index and checksum."""

from __future__ import annotations

import re
import warnings
from pathlib import Path

import numpy as np
import pytest
from lxml import etree

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import NS, check_mzml, failing_run, index_problems, parse_mgf

# MS1 profile and MS2 centroid blocks of both encodings; both blocks in every
# scan with alternating polarity; a triple quadrupole (centroids, MRM
# precursors without a target m/z). From the shared runs.
RUNS = ["284-mixed-mixed", "284-both-mixed", "186-qqq"]


@pytest.fixture(scope="module", params=RUNS)
def run(request, layout_run):
    folder, _ = layout_run(request.param)
    reader = velorium.RawReader(str(folder))
    reference = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    return folder, reader, reference


def spectra_of(path):
    return etree.parse(str(path)).getroot().iter(f"{NS}spectrum")


def params_of(element):
    return {p.get("accession"): p.get("value") for p in element.findall(f"{NS}cvParam")}


@pytest.mark.parametrize("compression", [True, False])
def test_valid_for_schema_validator_and_ontology(run, tmp_path, compression):
    folder, _, _ = run
    out = tmp_path / "out.mzML"
    velorium.Acquisition(str(folder)).to_mzml(out, compression=compression)
    check_mzml(out)
    text = out.read_text()
    assert ("MS:1000574" in text) == compression and ("MS:1000576" in text) != compression
    assert list(tmp_path.iterdir()) == [out]  # no temporary file left


def our_offsets(path):
    root = etree.parse(str(path)).getroot()
    return {o.get("idRef"): int(o.text) for o in root.iter(f"{NS}offset")}


@pytest.mark.parametrize("compression", [True, False])
def test_pyteomics_reads_every_value_back(run, tmp_path, compression):
    from pyteomics import mzml

    folder, reader, reference = run
    out = tmp_path / "run.mzML"
    velorium.Acquisition(str(folder)).to_mzml(str(out), compression=compression)
    with mzml.MzML(str(out), use_index=True) as parsed:
        # pyteomics' own scan of the file finds the spectra where our index says.
        offsets = our_offsets(out)
        assert {k: int(v) for k, v in parsed.index["spectrum"].items()} == {
            s.native_id: offsets[s.native_id] for s in reference}
        spectra = list(parsed)
        assert parsed.get_by_id(reference[-1].native_id)["index"] == len(reference) - 1
    assert len(spectra) == len(reference)
    for i, (got, want) in enumerate(zip(spectra, reference)):
        assert got["index"] == i and got["id"] == want.native_id
        assert got["m/z array"].dtype == np.float64 and got["intensity array"].dtype == np.float32
        assert got["m/z array"].tobytes() == np.asarray(want.mz, dtype=np.float64).tobytes()
        assert got["intensity array"].tobytes() == np.asarray(want.intensity, dtype=np.float32).tobytes()
        assert got["ms level"] == want.ms_level
        assert got["scanList"]["scan"][0]["scan start time"] == want.retention_time_sec
        assert got["scanList"]["scan"][0]["scan start time"].unit_info == "second"
        assert ("positive scan" in got) == (want.polarity == "positive")
        assert ("negative scan" in got) == (want.polarity == "negative")
        assert (f"{want.scan_mode} spectrum") in got
        assert got["total ion current"] == want.total_ion_current
        assert got["base peak m/z"] == want.base_peak_mz
        assert got["base peak intensity"] == want.base_peak_intensity
        assert got.get("lowest observed m/z") == want.low_mz and got.get("highest observed m/z") == want.high_mz
        if want.ms_level >= 2:
            precursor = got["precursorList"]["precursor"][0]
            assert "collision-induced dissociation" in precursor["activation"]
            target = want.precursor["target_mz"]
            ions = precursor.get("selectedIonList", {}).get("selectedIon", [])
            assert [ion["selected ion m/z"] for ion in ions] == ([] if target is None else [target])
            energy = want.precursor["collision_energy"]
            assert precursor["activation"].get("collision energy") == energy
        else:
            assert "precursorList" not in got


def test_pyteomics_reads_the_embedded_index(tmp_path):
    from pyteomics import mzml

    # pyteomics reads an embedded index only when it is longer than its
    # parser's first read, and drops the entries of its last read: 900 scans.
    acq = synthetic_run(scans=900, points=10, ms2_share=0.5, stride=186, seed=4, compounds=2, background_ions=2)
    folder = tmp_path / "many.d"
    write_acquisition(folder, acq)
    out = tmp_path / "many.mzML"
    velorium.Acquisition(str(folder)).to_mzml(str(out))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a fallback from the embedded index is a warning
        with mzml.PreIndexedMzML(str(out)) as parsed:
            embedded = {k: int(v) for k, v in parsed.index["spectrum"].items()}
            assert len(embedded) > 500
            offsets = our_offsets(out)
            assert embedded == {k: offsets[k] for k in embedded}
            last = list(embedded)[-1]
            assert parsed.get_by_id(last)["id"] == last
    assert index_problems(out) == []


def test_pymzml_and_pyopenms_read_every_value_back(run, tmp_path):
    pymzml = pytest.importorskip("pymzml")
    pyopenms = pytest.importorskip("pyopenms")
    folder, reader, reference = run
    out = tmp_path / "run.mzML"
    velorium.Acquisition(str(folder)).to_mzml(str(out))

    got = list(pymzml.run.Reader(str(out)))
    assert len(got) == len(reference)
    for spectrum, want in zip(got, reference):
        assert spectrum.ms_level == want.ms_level
        assert spectrum.mz.tobytes() == np.asarray(want.mz, dtype=np.float64).tobytes()
        assert spectrum.i.astype(np.float32).tobytes() == np.asarray(want.intensity, dtype=np.float32).tobytes()
        assert spectrum.scan_time == (want.retention_time_sec, "second")
        if want.precursor is not None and want.precursor["target_mz"] is not None:
            assert [p["mz"] for p in spectrum.selected_precursors] == [want.precursor["target_mz"]]

    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(out), experiment)
    assert experiment.getNrSpectra() == len(reference)
    for spectrum, want in zip(experiment.getSpectra(), reference):
        # OpenMS sorts the peaks of a spectrum by m/z when it loads them.
        mz, intensity = spectrum.get_peaks()
        got_pairs = sorted(zip(mz.astype(np.float64).tolist(), intensity.astype(np.float32).tolist()))
        assert got_pairs == sorted(zip(want.mz, np.asarray(want.intensity, dtype=np.float32).tolist()))
        assert spectrum.getRT() == want.retention_time_sec
        assert spectrum.getMSLevel() == want.ms_level
        assert spectrum.getNativeID() == want.native_id
        polarity = spectrum.getInstrumentSettings().getPolarity()
        expected = {"positive": pyopenms.IonSource.Polarity.POSITIVE,
                    "negative": pyopenms.IonSource.Polarity.NEGATIVE}.get(want.polarity,
                                                                         pyopenms.IonSource.Polarity.POLNULL)
        assert polarity == expected
        precursors = spectrum.getPrecursors()
        assert len(precursors) == (1 if want.precursor is not None else 0)
        if want.precursor is not None and want.precursor["collision_energy"] is not None:
            assert precursors[0].getMetaValue("collision energy") == want.precursor["collision_energy"]
    chromatograms = {c.getNativeID(): c for c in experiment.getChromatograms()}
    expected = reader.read_chromatograms()
    assert sorted(chromatograms) == sorted(c["id"] for c in expected)
    for c in expected:
        times, values = chromatograms[c["id"]].get_peaks()
        assert times.astype(np.float32).tolist() == c["time_sec"]
        assert values.astype(np.float32).tolist() == c["intensity"]


def test_centroid_preference_writes_the_centroid_blocks(tmp_path, layout_run):
    folder, _ = layout_run("284-both-mixed")
    out = tmp_path / "c.mzML"
    velorium.Acquisition(str(folder), prefer="centroid").to_mzml(str(out))
    check_mzml(out)
    want = list(velorium.Acquisition(str(folder), prefer="centroid"))
    written = list(spectra_of(out))
    assert [params_of(s).keys() >= {"MS:1000127"} for s in written] == [True] * len(want)
    assert [int(s.get("defaultArrayLength")) for s in written] == [len(w.mz) for w in want]


def test_the_fallback_instrument_term_is_mended(tmp_path):
    acq = synthetic_run(scans=6, points=100, stride=186, seed=1, compounds=3, background_ions=3)
    folder = tmp_path / "nodevice.d"
    write_acquisition(folder, acq)
    (folder / "AcqData" / "Devices.xml").unlink()
    a = velorium.Acquisition(str(folder))
    assert a.run_info()["instrument"] == {"accession": "MS:1000461", "name": "Agilent QQQ"}  # unchanged
    out = tmp_path / "o.mzML"
    a.to_mzml(str(out))
    check_mzml(out)
    config = etree.parse(str(out)).getroot().find(f".//{NS}instrumentConfiguration")
    assert params_of(config) == {"MS:1000490": ""}
    users = {u.get("name"): u.get("value") for u in config.findall(f"{NS}userParam")}
    assert users == {"instrument model": "Agilent QQQ", "mass analyzer type": "quadrupole"}
    assert "MS:1000461" not in out.read_text()


@pytest.mark.parametrize("name", ["1 run & <x> 'q' \"dq\".d", "Prüfung – 東京.d", "9.d"])
def test_ids_are_xml_names_and_texts_escaped_whatever_the_folder_is_called(tmp_path, name):
    acq = synthetic_run(scans=4, points=50, stride=284, spectra="mixed", seed=3, compounds=2, background_ions=2)
    folder = tmp_path / name
    write_acquisition(folder, acq)
    out = tmp_path / "n.mzML"
    velorium.Acquisition(str(folder)).to_mzml(str(out))
    check_mzml(out)
    root = etree.parse(str(out)).getroot()
    run_id = root.find(f".//{NS}run").get("id")
    assert re.fullmatch(r"[A-Za-z_][A-Za-z0-9._-]*", run_id)
    location = root.find(f".//{NS}sourceFile").get("location")
    from urllib.parse import unquote, urlparse

    assert Path(unquote(urlparse(location).path)) == (folder / "AcqData").resolve()


def test_start_time_only_when_a_valid_date_time_and_polarity_only_when_known(tmp_path):
    cases = {"2024-05-17T10:42:07.1234567+02:00": True, "2024-02-29T00:00:00Z": True,
             "2023-02-29T00:00:00Z": False, "yesterday": False, "2024-05-17 10:42": False}
    for i, (text, valid) in enumerate(cases.items()):
        acq = synthetic_run(scans=3, points=40, stride=186, seed=1, compounds=2, background_ions=2,
                            acquired_time=text, polarity=3)
        folder = tmp_path / f"t{i}.d"
        write_acquisition(folder, acq)
        out = tmp_path / f"t{i}.mzML"
        velorium.Acquisition(str(folder)).to_mzml(str(out))
        check_mzml(out)
        run_element = etree.parse(str(out)).getroot().find(f".//{NS}run")
        assert run_element.get("startTimeStamp") == (text if valid else None), text
        for s in spectra_of(out):
            assert not {"MS:1000129", "MS:1000130"} & params_of(s).keys()


def test_a_failing_scan_fails_the_export_and_leaves_nothing(tmp_path):
    folder = failing_run(tmp_path / "bad.d")
    with pytest.raises(RuntimeError) as raw:
        velorium.RawReader(str(folder))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "old.mzML").write_text("old")
    for method, name in (("to_mzml", "old.mzML"), ("to_mgf", "new.mgf")):
        with pytest.raises(RuntimeError) as ours:
            getattr(velorium.Acquisition(str(folder)), method)(str(out_dir / name))
        assert ours.value.args == raw.value.args
    assert sorted(p.name for p in out_dir.iterdir()) == ["old.mzML"]
    assert (out_dir / "old.mzML").read_text() == "old"


def test_output_errors_are_oserrors_and_leave_nothing(tmp_path):
    acq = velorium.Acquisition(str(failing_run(tmp_path / "ok.d", bad=99)))
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(NotADirectoryError):
        acq.to_mzml(str(blocker / "o.mzML"))
    with pytest.raises(FileNotFoundError):
        acq.to_mgf(tmp_path / "missing" / "o.mgf")
    with pytest.raises(IsADirectoryError):
        acq.to_mzml(tmp_path)
    with pytest.raises(TypeError):
        acq.to_mzml(12)
    with pytest.raises(TypeError):
        acq.to_mzml(str(tmp_path / "o.mzML"), compression=True, extra=1)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "ok.d"]
    acq.to_mzml(str(tmp_path / "o.mzML"))
    acq.to_mzml(str(tmp_path / "o.mzML"), compression=False)  # replaces, as open(path, "w") would
    assert "MS:1000576" in (tmp_path / "o.mzML").read_text()


def mgf_title(folder, spectrum):
    """The default TITLE: RUN.SCAN.SCAN.CHARGE File:"FOLDER", NativeID:"ID" (no charge is known here)."""
    run = folder.name[:-2]
    return f'{run}.{spectrum.scan_number}.{spectrum.scan_number}. File:"{folder.name}", NativeID:"{spectrum.native_id}"'


def test_mgf_holds_every_msn_spectrum_with_exact_numbers(run, tmp_path):
    folder, _, reference = run
    out = tmp_path / "run.mgf"
    velorium.Acquisition(str(folder)).to_mgf(str(out))
    blocks = parse_mgf(out.read_text())
    msn = [s for s in reference if s.ms_level >= 2]
    assert len(blocks) == len(msn) > 0
    for (header, peaks), want in zip(blocks, msn):
        target = want.precursor["target_mz"]
        expected_keys = ["TITLE"] + (["PEPMASS"] if target is not None else []) + ["RTINSECONDS", "SCANS"]
        assert list(header) == expected_keys
        assert header["TITLE"] == mgf_title(folder, want)
        assert header["SCANS"] == str(want.scan_number)
        assert float(header["RTINSECONDS"]) == want.retention_time_sec
        if target is not None:
            assert float(header["PEPMASS"]) == target
        assert [float(mz) for mz, _ in peaks] == want.mz
        # Each intensity's text reads back to its exact 32-bit value, and is
        # the shortest that does.
        for (_, text), value in zip(peaks, want.intensity):
            assert np.float32(text) == np.float32(value)
            assert len(text) <= len(repr(float(np.float32(value)))) or text == str(np.float32(value))
    from pyteomics import mgf

    with mgf.read(str(out), use_index=False) as reader:
        read = list(reader)
    assert [r["params"]["title"] for r in read] == [mgf_title(folder, s) for s in msn]
    for r, want in zip(read, msn):
        assert r["m/z array"].tolist() == want.mz
