"""MSPeak.bin blocks (centroid lists), stored uncompressed, 12 bytes per peak.

Format 2 (time-of-flight): all flight times as f64, then all intensities as
f32. Format 3: interleaved (f64 m/z, f32 intensity) pairs.
"""

from __future__ import annotations

import struct
from typing import Any

__all__ = ["peak_block_format2", "peak_block_format3"]


def _as_list(values: Any) -> list:
    if hasattr(values, "tolist"):
        return values.tolist()
    return list(values)


def _f32_bytes(values: Any) -> bytes:
    if hasattr(values, "dtype") and hasattr(values, "tobytes"):
        import numpy as np

        return np.asarray(values).astype("<f4").tobytes()
    vals = _as_list(values)
    return struct.pack(f"<{len(vals)}f", *vals)


def _f64_bytes(values: Any) -> bytes:
    if hasattr(values, "dtype") and hasattr(values, "tobytes"):
        import numpy as np

        return np.asarray(values).astype("<f8").tobytes()
    vals = _as_list(values)
    return struct.pack(f"<{len(vals)}d", *vals)


def peak_block_format2(flight_times: Any, intensities_f32: Any, *, trailing: bytes = b"") -> bytes:
    """A format-2 block: n f64 flight times, then n f32 intensities.

    Intensities given as numpy float32 keep their exact bits (NaN payloads
    included); Python floats are rounded to the nearest f32.
    """
    xs = _f64_bytes(flight_times)
    ys = _f32_bytes(intensities_f32)
    if len(xs) // 8 != len(ys) // 4:
        raise ValueError(f"{len(xs) // 8} flight times but {len(ys) // 4} intensities")
    return xs + ys + bytes(trailing)


def peak_block_format3(mzs: Any, intensities_f32: Any, *, trailing: bytes = b"") -> bytes:
    """A format-3 block: n interleaved (f64 m/z, f32 intensity) records."""
    if hasattr(mzs, "dtype") and hasattr(intensities_f32, "dtype"):
        import numpy as np

        mz = np.asarray(mzs, dtype="<f8")
        it = np.asarray(intensities_f32).astype("<f4")
        if mz.shape != it.shape:
            raise ValueError(f"{mz.size} m/z values but {it.size} intensities")
        rec = np.empty(mz.size, dtype=np.dtype([("mz", "<f8"), ("i", "<f4")]))
        rec["mz"] = mz
        rec["i"] = it
        return rec.tobytes() + bytes(trailing)
    mz_list = _as_list(mzs)
    it_list = _as_list(intensities_f32)
    if len(mz_list) != len(it_list):
        raise ValueError(f"{len(mz_list)} m/z values but {len(it_list)} intensities")
    out = bytearray()
    for m, i in zip(mz_list, it_list):
        out += struct.pack("<df", m, i)
    return bytes(out) + bytes(trailing)
