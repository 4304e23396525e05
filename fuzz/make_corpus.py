#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Every seed comes from the synthetic-acquisition writer in tools/acqwriter, in
the input layout of its target (see the comment at the top of each
*_fuzzer.cpp). Deterministic: the same writer gives the same files, so the
committed corpus changes only when this script or the writer does.

    python3 fuzz/make_corpus.py            rewrite fuzz/corpus/
    python3 fuzz/make_corpus.py OUT        write elsewhere
"""

from __future__ import annotations

import hashlib
import shutil
import struct
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))

import acqwriter as aw  # noqa: E402

ACQ_FILES = ["MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin", "DefaultMassCal.xml", "Devices.xml",
             "Contents.xml"]

CAL = aw.Calibration(3.5e-4, 0.12, 2000.0, 90000.0, (1e-3, -2e-8, 3e-13, 0.0, 0.0, 0.0), 0b10011)
PLAIN = aw.Calibration(3.5e-4, 0.12, 0.0, 0.0)


def u32(v: int) -> bytes:
    return struct.pack("<I", v & 0xFFFFFFFF)


class Corpus:
    def __init__(self, root: Path):
        self.root = root

    def add(self, target: str, data: bytes | str) -> None:
        if isinstance(data, str):
            data = data.encode("utf-8")
        d = self.root / target
        d.mkdir(parents=True, exist_ok=True)
        (d / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def msscan_seeds(c: Corpus) -> None:
    d = [aw.Descriptor(1, 0, 100, 20, 96), aw.Descriptor(2, 100, 240, 20)]
    for stride in aw.STRIDES:
        tof = stride in (284, 220, 216)
        recs = []
        for i in range(3):
            recs.append(aw.ScanRecord(
                scan_id=10 + i, retention_time_min=0.1 * i, ms_level=1 + (i == 2),
                tic=1e5 if tof else None, base_peak_mz=500.5 if tof else None,
                base_peak_intensity=2e4 if tof else None, calibration_id=1 if tof else None,
                ion_polarity=i % 2 if i < 2 else -1, mrm_channel_id=None if tof else 3,
                target_mz=400.0 if tof and i == 2 else None, collision_energy=20.0 if tof and i == 2 else None,
                min_x=100.0 if stride == 284 else None, max_x=1000.0 if stride == 284 else None,
                descriptors=d if stride == 284 else [d[i % 2]]))
        c.add("msscan", aw.msscan_bytes(recs, stride))
        c.add("msscan", aw.msscan_bytes(recs[:1], stride, header_size=128))
    c.add("msscan", aw.msscan_bytes([], 284))


def lzf_seeds(c: Corpus) -> None:
    samples = [b"", b"abc", b"a" * 40, bytes(range(256)) * 2, b"the quick brown fox " * 12,
               aw.profile_lzf_payload(1000.0, 0.5, [0, 0, 5, 9, 9, 9, 0, 0] * 8)]
    for s in samples:
        if s:
            c.add("lzf", u32(len(s)) + aw.lzf_compress(s))
            c.add("lzf", u32(len(s)) + aw.lzf_literal_only(s))
    c.add("lzf", u32(4) + bytes([0x00, 0x61, 0x20, 0x00]))
    c.add("lzf", u32(5) + bytes([0x00, 0x61, 0xE0, 0x01, 0x00]))
    c.add("lzf", u32(0x20000001))


def profile_seeds(c: Corpus) -> tuple[list[tuple[int, bytes, int]], list[bytes]]:
    """Seeds of profile_block and run_length; returns (n, block, ubc) of the blocks."""
    blocks: list[tuple[int, bytes, int]] = []
    intens = [0, 0, 3, 70, 900, 70, 3, 0, 0, 0, 12, 12, 12, 0] * 3
    block, ubc = aw.profile_lzf_block(20000.0, 0.5, intens)
    blocks.append((len(intens), block, ubc))
    block, ubc = aw.profile_lzf_block(20000.0, 0.5, intens, literal_only=True)
    blocks.append((len(intens), block, ubc))
    block, ubc = aw.profile_rle_encode(20000.0, 0.5, intens)
    blocks.append((len(intens), block, ubc))
    big = [0] * 30 + [1, 200, 70000, 2**31 - 1] + [0] * 20 + [5] * 4
    block, ubc = aw.profile_rle_encode(15000.0, 0.25, big)
    blocks.append((len(big), block, ubc))
    words = [aw.ControlWord(1, 1), aw.DataWord(12), aw.ControlWord(2, 2), aw.DataWord(300),
             aw.ControlWord(0, 8), aw.DataWord(2**40), aw.ControlWord(0, 4), aw.DataWord(7)]
    n = 8
    blocks.append((n, aw.profile_rle_block(30000.0, 1.0, -1, words), aw.profile_uncompressed_size(n)))
    blocks.append((5, aw.profile_rle_block(30000.0, 1.0, -3, [aw.DataWord(7), aw.DataWord(9)]),
                   aw.profile_uncompressed_size(5)))
    streams = []
    for n, block, ubc in blocks:
        for flags in (0, 2):
            c.add("profile_block", u32(n) + u32(ubc) + bytes([flags]) + block)
        if aw.looks_like_run_length(block):
            streams.append(u32(n) + block[16:])
            c.add("run_length", streams[-1])
    c.add("profile_block", u32(10) + u32(55) + bytes([0]) + blocks[0][1])
    c.add("profile_block", u32(0) + u32(0) + bytes([1]))
    c.add("run_length", u32(4) + u32(aw.RLE_MARKER) + struct.pack("<i", 0))
    return blocks, streams


def peak_seeds(c: Corpus) -> None:
    times = [21000.0, 21000.5, 22500.25, 40000.0]
    mzs = [101.5, 202.25, 505.0, 999.875]
    ints = [10.0, 2000.0, float("nan"), -1.0]
    f2 = aw.peak_block_format2(times, ints)
    f3 = aw.peak_block_format3(mzs, ints, trailing=b"\x01\x02\x03")
    for flags in (0, 1, 3):
        c.add("peak_block", bytes([0, flags]) + u32(len(times)) + f2)   # format 2
        c.add("peak_block", bytes([1, flags]) + u32(len(mzs)) + f3)     # format 3
    c.add("peak_block", bytes([0x80 + 4, 1]) + u32(1) + f3)             # format 4
    c.add("peak_block", bytes([1, 0]) + u32(0))


def masscal_seeds(c: Corpus) -> None:
    c.add("msmasscal", aw.masscal_bytes([CAL, PLAIN, None]))
    c.add("msmasscal", aw.masscal_bytes([aw.MassCalRecord([1.0, 2.0, 3.0, 4.0])]))
    c.add("msmasscal", aw.masscal_bytes([CAL, aw.MassCalRecord([1.0], count=11)]))
    c.add("msmasscal", aw.masscal_bytes([]))


def xml_seeds(c: Corpus) -> None:
    entries = [aw.DefaultCalEntry(1, CAL), aw.DefaultCalEntry(2, PLAIN)]
    c.add("defaultmasscal", aw.default_masscal_xml(entries))
    c.add("defaultmasscal", aw.default_masscal_xml(entries[:1], namespace="urn:x", prefix="cal", bom=2,
                                                   pad_text=True, reverse_values=True))
    c.add("defaultmasscal", aw.default_masscal_xml([aw.DefaultCalEntry(
        7, id_text="+7", steps=[aw.Step("Traditional", [1.0, 0.5]),
                               aw.Step("Polynomial", [(1, "0"), (2, "1e3"), (3, "nan"), (4, "-Inf")] +
                                       [(k, "0") for k in range(5, 9)], 3)])]))
    c.add("defaultmasscal", '<?xml version="1.0"?>\n<!DOCTYPE r [<!ENTITY e "x">]><r>&e;</r>')
    c.add("defaultmasscal", "<r><![CDATA[x]]><!-- c --><?pi x?></r>")
    c.add("devices_xml", aw.devices_xml())
    c.add("devices_xml", aw.devices_xml("TandemQuadrupole", "G6410A", namespace="urn:d", prefix="d", pad_text=True,
                                        extra_devices=[("QTOF", "G6550A")]))
    c.add("devices_xml", aw.devices_xml("QTOF", None, bom=1))
    c.add("contents_xml", aw.contents_xml("2024-05-17T10:42:07.1234567+02:00"))
    c.add("contents_xml", aw.contents_xml(" plain ", namespace="urn:c", prefix="c", pad_text=True))
    c.add("contents_xml", aw.contents_xml(None))
    c.add("contents_xml", "<Contents><AcquiredTime>a<![CDATA[b]]>c&amp;&#x41;</AcquiredTime></Contents>")


def numpress_seeds(c: Corpus) -> None:
    """Selector byte (see numpress_fuzzer.cpp), then encoded bytes or values."""
    # Encodings of a few m/z values (linear) and intensities (pic, slof).
    linear = bytes.fromhex("416b20364000000088a9c45411d5c6544f873c178c20a86aba63f195041ac4ae7061ea7418")
    pic = bytes.fromhex("887366454836647387c84ffff30424f0")
    slof = bytes.fromhex("40b287000000000000000000af19fa4e0d7efa4eaf190000862f00007acdf7ff")
    for selector, encoded in ((0, linear), (1, slof), (2, pic)):
        c.add("numpress", bytes([selector]) + encoded)
        c.add("numpress", bytes([selector]) + encoded[:len(encoded) // 2])
    c.add("numpress", bytes([0]) + linear[:8])
    mz = [100.0, 100.01, 100.021, 250.5, 250.51, 0.0, 1e300, -1.0]
    counts = [0.0, 3.0, 70.0, 900.5, 1e6, 3e38, -0.5, -2.0]
    c.add("numpress", bytes([3]) + struct.pack("<d", 21367996.0) + struct.pack(f"<{len(mz)}d", *mz))
    c.add("numpress", bytes([4]) + struct.pack("<d", 4743.0) + struct.pack(f"<{len(counts)}f", *counts))
    c.add("numpress", bytes([5]) + struct.pack(f"<{len(counts)}f", *counts))


def container(files: dict[str, bytes]) -> bytes:
    out = bytearray()
    for name, data in files.items():
        out += bytes([ACQ_FILES.index(name)]) + u32(len(data)) + data
    return bytes(out)


def acquisition_seeds(c: Corpus) -> None:
    runs = [
        dict(stride=284, encoding="mixed", spectra="both"),
        dict(stride=284, encoding="rle", spectra="profile", polarity="alternate"),
        dict(stride=220, encoding="lzf", centroid_format=3),
        dict(stride=216, encoding="lzf-literal", spectra="mixed", ms2_share=0.5),
        dict(stride=196),
        dict(stride=186, polarity=-1),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for k, kw in enumerate(runs):
            run = aw.synthetic_run(scans=3, points=24, compounds=2, background_ions=2, mrm_channels=2, seed=k,
                                   **kw)
            folder = Path(tmp) / f"run{k}.d"
            aw.write_acquisition(folder, run)
            files = {n: (folder / "AcqData" / n).read_bytes() for n in ACQ_FILES
                     if (folder / "AcqData" / n).exists()}
            c.add("acquisition", container(files))
            if k == 0:
                # Only the scan index: every other file absent.
                c.add("acquisition", container({"MSScan.bin": files["MSScan.bin"]}))


def main(argv: list[str]) -> int:
    out = Path(argv[1]) if len(argv) > 1 else HERE / "corpus"
    if out.exists():
        shutil.rmtree(out)
    c = Corpus(out)
    msscan_seeds(c)
    lzf_seeds(c)
    profile_seeds(c)
    peak_seeds(c)
    masscal_seeds(c)
    xml_seeds(c)
    numpress_seeds(c)
    acquisition_seeds(c)
    for d in sorted(out.iterdir()):
        files = list(d.iterdir())
        print(f"{d.name}: {len(files)} seeds, {sum(f.stat().st_size for f in files)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
