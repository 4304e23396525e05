"""Checks of the mzML files velorium writes, shared by the writer's and the
command's tests: the official schema, OpenMS' semantic validator, the PSI-MS
and unit ontologies, the index and the checksum."""

from __future__ import annotations

import hashlib
import re
from functools import lru_cache
from pathlib import Path

import pytest

from acqwriter import Descriptor, ScanRecord, peak_block_format3
from conftest import write_scans

NS = "{http://psi.hupo.org/ms/mzml}"


def openms_share() -> Path:
    pyopenms = pytest.importorskip("pyopenms", reason="pyopenms (schemas, ontology, validator) has no wheel here")
    return Path(pyopenms.__file__).parent / "share" / "OpenMS"


@lru_cache(maxsize=None)
def _schema(name: str):
    from lxml import etree

    return etree.XMLSchema(etree.parse(str(openms_share() / "SCHEMAS" / name)))


def schema_errors(path, indexed: bool = True) -> list[str]:
    """Errors of validation against the indexed mzML 1.1 schema (or the plain one)."""
    from lxml import etree

    schema = _schema("mzML_idx_1_10.xsd" if indexed else "mzML_1_10.xsd")
    ok = schema.validate(etree.parse(str(path)))
    return [] if ok else [str(e) for e in schema.error_log]


def semantic_errors(path) -> tuple[list[str], list[str]]:
    import pyopenms

    valid, errors, warnings = pyopenms.MzMLFile().isSemanticallyValid(str(path))
    errors = [str(e) for e in errors]
    assert valid == (not errors)
    return errors, [str(w) for w in warnings]


@lru_cache(maxsize=None)
def ontology(name: str) -> dict[str, tuple[str, bool]]:
    """accession -> (name, obsolete) of an OBO file shipped with pyopenms."""
    terms: dict[str, tuple[str, bool]] = {}
    accession = None
    term_name = None
    obsolete = False

    def close():
        if accession is not None and term_name is not None:
            terms[accession] = (term_name, obsolete)

    for line in (openms_share() / "CV" / name).read_text(encoding="utf-8").splitlines():
        if line.startswith("["):
            close()
            accession, term_name, obsolete = None, None, False
        elif line.startswith("id: "):
            accession = line[4:].strip()
        elif line.startswith("name: "):
            term_name = line[6:].strip()
        elif line.strip() == "is_obsolete: true":
            obsolete = True
    close()
    return terms


def cv_problems(path) -> list[str]:
    """Every cvParam and unit that does not name a live term of its ontology."""
    from lxml import etree

    known = {"MS": ontology("psi-ms.obo"), "UO": ontology("unit.obo")}
    problems = []
    for element in etree.parse(str(path)).iter(f"{NS}cvParam"):
        pairs = [(element.get("cvRef"), element.get("accession"), element.get("name"))]
        if element.get("unitAccession") is not None:
            pairs.append((element.get("unitCvRef"), element.get("unitAccession"), element.get("unitName")))
        for cv, accession, name in pairs:
            term = known.get(cv, {}).get(accession)
            if term is None:
                problems.append(f"{cv} {accession} {name}: not in the ontology")
            elif term[0] != name:
                problems.append(f"{accession}: named {name!r}, the ontology says {term[0]!r}")
            elif term[1]:
                problems.append(f"{accession} {name}: obsolete")
            if not accession.startswith(f"{cv}:"):
                problems.append(f"{accession}: cvRef {cv}")
    return problems


def index_problems(path) -> list[str]:
    """Checks the offsets of the index, indexListOffset and fileChecksum
    against the bytes of the file."""
    from lxml import etree

    data = Path(path).read_bytes()
    problems = []
    m = re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data[-2048:])
    if m is None:
        return ["no indexListOffset"]
    index_offset = int(m.group(1))
    if not data[index_offset:].startswith(b"<indexList "):
        problems.append(f"indexListOffset {index_offset} does not point at <indexList")
    root = etree.fromstring(data)
    ids = {
        "spectrum": [e.get("id") for e in root.iter(f"{NS}spectrum")],
        "chromatogram": [e.get("id") for e in root.iter(f"{NS}chromatogram")],
    }
    seen = {"spectrum": [], "chromatogram": []}
    for index in root.iter(f"{NS}index"):
        kind = index.get("name")
        for offset in index.iter(f"{NS}offset"):
            at = int(offset.text)
            ref = offset.get("idRef")
            seen[kind].append(ref)
            head = data[at:at + 200]
            opening = f'<{kind} index="'.encode()
            if not head.startswith(opening):
                problems.append(f"{kind} {ref}: offset {at} does not point at <{kind}")
                continue
            tag = etree.fromstring(head[: head.index(b">")] + b"/>")
            if tag.get("id") != ref:
                problems.append(f"{kind} {ref}: offset {at} points at {head[:80]!r}")
    for kind in ("spectrum", "chromatogram"):
        if seen[kind] != ids[kind]:
            problems.append(f"{kind} index lists {len(seen[kind])} ids, the file has {len(ids[kind])}")
    start = data.rindex(b"<fileChecksum>") + len(b"<fileChecksum>")
    stated = data[start:start + 40].decode()
    if hashlib.sha1(data[:start]).hexdigest() != stated:
        problems.append("fileChecksum does not match")
    return problems


def check_mzml(path, indexed: bool = True) -> None:
    """Schema, semantic validator, ontology, index and checksum, all at once."""
    assert schema_errors(path, indexed) == []
    errors, _ = semantic_errors(path)
    assert errors == []
    assert cv_problems(path) == []
    if indexed:
        assert index_problems(path) == []


def failing_run(folder, scans=6, bad=3):
    """A triple-quadrupole run whose scan `bad` claims more peaks than its block holds."""
    peaks = peak_block_format3([100.0, 200.0], [1.0, 2.0])
    records = [ScanRecord(i + 1, 0.1 * i, ms_level=1 + i % 2, target_mz=None if i % 2 == 0 else 150.5,
                          collision_energy=None if i % 2 == 0 else 12.0,
                          descriptors=[Descriptor(3, 0, len(peaks), 9 if i == bad else 2)]) for i in range(scans)]
    return write_scans(folder, records, stride=196, files={"MSPeak.bin": peaks})


def parse_mgf(text):
    blocks = []
    for chunk in text.split("BEGIN IONS\n")[1:]:
        body, rest = chunk.split("END IONS\n")
        assert rest.strip() == ""
        header, peaks = {}, []
        for line in body.splitlines():
            if "=" in line:
                key, value = line.split("=", 1)
                header[key] = value
            else:
                mz, intensity = line.split(" ")
                peaks.append((mz, intensity))
        blocks.append((header, peaks))
    return blocks
