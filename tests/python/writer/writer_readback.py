"""A small, independent reader of written acquisitions, used only to check the writer.

It follows the documented file layouts directly (its own offset table, its own
stride inference) and uses the reference liblzf for LZF blocks.
"""

from __future__ import annotations

import math
import struct
import xml.etree.ElementTree as ET
from pathlib import Path

from writer_helpers import decode_rle

from acqwriter import mz_at

WIDE = {"scan_id": (0, "I"), "retention_time_min": (12, "d"), "ms_level": (20, "H")}
TOF = {"tic": (28, "d"), "base_peak_mz": (36, "d"), "base_peak_intensity": (44, "d"),
       "calibration_id": (52, "i"), "ion_polarity": (64, "i")}
MSN = {"collision_energy": (76, "d"), "target_mz": (84, "d")}
LAYOUT = {
    284: ({**WIDE, **TOF, "min_x": (244, "d"), "max_x": (252, "d")}, True, (156, 220), False),
    220: ({**WIDE, **TOF}, True, (156,), False),
    216: ({**WIDE, **TOF}, True, (152,), False),
    196: ({**WIDE, "mrm_channel_id": (4, "I"), "ion_polarity": (64, "i")}, False, (144,), False),
    186: ({**WIDE, "mrm_channel_id": (4, "I"), "ion_polarity": (62, "h")}, False, (136,), True),
}


def read_msscan(data: bytes):
    assert struct.unpack_from("<I", data, 0)[0] == 257
    h = struct.unpack_from("<I", data, 88)[0]
    payload = data[h:]
    first = struct.unpack_from("<I", payload, 0)[0]
    stride = None
    for s in (284, 220, 216, 196, 186):
        if len(payload) % s == 0 and (len(payload) == s or (
                first < struct.unpack_from("<I", payload, s)[0] < min(first + 100000, 2**32 - 1)
                and struct.unpack_from("<H", payload, s + 20)[0] in (1, 2))):
            stride = s
            break
    assert stride is not None
    fields, has_msn, positions, compact = LAYOUT[stride]
    recs = []
    for i in range(len(payload) // stride):
        r = payload[i * stride : (i + 1) * stride]
        rec = {k: struct.unpack_from("<" + c, r, o)[0] for k, (o, c) in fields.items()}
        if has_msn and rec["ms_level"] >= 2:
            rec.update({k: struct.unpack_from("<" + c, r, o)[0] for k, (o, c) in MSN.items()})
        for p in positions:
            if compact:
                fid, off, bc, pc, ubc = struct.unpack_from("<HQIII", r, p)
            else:
                fid, off, bc, pc, ubc = struct.unpack_from("<IQIII", r, p)
            if fid == 1:
                rec["profile"] = (off, bc, pc, ubc)
            elif fid in (2, 3):
                rec["centroid"] = (fid, off, bc, pc)
        recs.append(rec)
    return stride, h, recs


def read_calibrations(acq: Path, recs):
    """Per scan: (a, t0, lo, hi, terms) from the scan's MSMassCal.bin record and the flags
    of the DefaultMassCal.xml entry its calibration_id names."""
    flags = {}
    defaults = {}
    xml = acq / "DefaultMassCal.xml"
    if xml.exists():
        root = ET.fromstring(xml.read_text("utf-8").lstrip("\ufeff").encode())
        for el in root.iter():
            if el.tag.rsplit("}", 1)[-1] != "DefaultCalibration":
                continue
            vals = {}
            for st in el:
                kids = {c.tag.rsplit("}", 1)[-1]: c for c in st}
                f = kids["CalibrationFormula"].text.strip()
                vals[f] = [float(v.text) for v in sorted(kids["Values"], key=lambda v: int(v.get("Number")))]
                if f == "Polynomial":
                    flags[int(el.get("DefaultCalibrationID"))] = int(kids["ValueUseFlags"].text)
            defaults[int(el.get("DefaultCalibrationID"))] = vals["Traditional"] + vals["Polynomial"]
    mc = (acq / "MSMassCal.bin").read_bytes() if (acq / "MSMassCal.bin").exists() else b""
    out = []
    for i, rec in enumerate(recs):
        cid = rec.get("calibration_id")
        vec = None
        if mc and 72 + 84 * (i + 1) <= len(mc):
            n = struct.unpack_from("<I", mc, 72 + 84 * i)[0]
            if n == 10:
                vec = list(struct.unpack_from("<10d", mc, 72 + 84 * i + 4))
        if cid not in flags:
            out.append(None)
            continue
        if vec is None:
            vec = defaults[cid]
        f = flags[cid]
        powers = [k for k in range(32) if f >> k & 1]
        out.append((vec[0], vec[1], vec[2], vec[3], [(p, vec[4 + j]) for j, p in enumerate(powers)], vec))
    return out


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def read_spectra(folder: Path, lzf_decompress):
    """[(record dict, profile (mz list, intensity list) or None, centroid (...) or None)]."""
    acq = folder / "AcqData"
    stride, header, recs = read_msscan((acq / "MSScan.bin").read_bytes())
    cals = read_calibrations(acq, recs)
    prof = (acq / "MSProfile.bin").read_bytes() if (acq / "MSProfile.bin").exists() else b""
    peak = (acq / "MSPeak.bin").read_bytes() if (acq / "MSPeak.bin").exists() else b""
    out = []
    for rec, cal in zip(recs, cals):
        p = c = None
        if "profile" in rec:
            off, bc, n, ubc = rec["profile"]
            blk = prof[off : off + bc]
            assert len(blk) == bc
            x0, dx = struct.unpack_from("<dd", blk, 0)
            if (len(blk) >= 20 and struct.unpack_from("<I", blk, 16)[0] == 0x9002FF00
                    and math.isfinite(x0) and math.isfinite(dx) and dx > 0 and x0 > 0):
                ints = decode_rle(blk[16:], n)
            else:
                raw = lzf_decompress(blk, ubc)
                x0, dx = struct.unpack_from("<dd", raw, 0)
                ints = list(struct.unpack_from(f"<{n}i", raw, 16))
            mzs = [mz_at(x0 + float(i) * dx, *cal[:5]) for i in range(n)] if cal else None
            p = (mzs, [f32(float(v)) for v in ints])
        if "centroid" in rec:
            fid, off, bc, n = rec["centroid"]
            blk = peak[off : off + bc]
            assert len(blk) >= 12 * n
            if fid == 2:
                xs = struct.unpack_from(f"<{n}d", blk, 0)
                ys = struct.unpack_from(f"<{n}f", blk, 8 * n)
                mzs = [mz_at(x, *cal[:5]) for x in xs] if cal else None
            else:
                pairs = [struct.unpack_from("<df", blk, 12 * i) for i in range(n)]
                mzs = [m for m, _ in pairs]
                ys = [y for _, y in pairs]
            c = (mzs, list(ys))
        out.append((rec, p, c, cal))
    return stride, header, out
