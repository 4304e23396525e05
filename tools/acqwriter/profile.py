"""MSProfile.bin blocks.

Every profile block starts from a 16-byte axis header (f64 x0, f64 dx; point
i sits at flight time x0 + i * dx). Two encodings exist:

* LZF: the compressed form of the axis header followed by one i32 intensity
  per point.
* Run-length: stored as is: the axis header, the marker 0x9002FF00, an i32
  start field (minus the index of the first point addressed), then a stream of
  little-endian signed words. The word width starts at 4 bytes. A word >= 0 is
  the intensity of the current point (which then advances by one); a word < 0
  is a control word: with k = ~word, the current point advances by k >> 2
  and the following words are 1 << (k & 3) bytes wide. Points that no data
  word sets are 0.

A reader tells the two apart by probing offset 16 of the stored block for the
marker and checking that the stored axis is valid with x0 > 0. An LZF block
whose compressed bytes happen to look like that would be misread, so
``profile_lzf_block`` never returns such a block.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

from .lzf import lzf_compress, lzf_literal_only

__all__ = [
    "RLE_MARKER",
    "axis_header",
    "profile_uncompressed_size",
    "profile_lzf_payload",
    "profile_lzf_block",
    "looks_like_run_length",
    "DataWord",
    "ControlWord",
    "RawBytes",
    "control_word_value",
    "profile_rle_block",
    "profile_rle_encode",
]

RLE_MARKER = 0x9002FF00
_WIDTH_CODE = {1: 0, 2: 1, 4: 2, 8: 3}
_INT_CODE = {1: "b", 2: "h", 4: "i", 8: "q"}


def axis_header(x0: float, dx: float) -> bytes:
    return struct.pack("<dd", x0, dx)


def profile_uncompressed_size(point_count: int) -> int:
    """The decompressed length of a profile block of point_count points."""
    return 16 + 4 * point_count


def _is_numpy(a: Any) -> bool:
    return hasattr(a, "dtype") and hasattr(a, "tobytes")


def _i32_bytes(values: Any) -> bytes:
    if _is_numpy(values):
        import numpy as np

        arr = np.asarray(values)
        if arr.dtype.kind not in "iub":
            raise TypeError(f"profile intensities must be integers, got dtype {arr.dtype}")
        if arr.size and (arr.min() < -(2**31) or arr.max() > 2**31 - 1):
            raise ValueError("profile intensity outside the i32 range")
        return arr.astype("<i4").tobytes()
    vals = list(values)
    try:
        return struct.pack(f"<{len(vals)}i", *vals)
    except struct.error as exc:
        raise ValueError(f"profile intensities must be i32 integers: {exc}") from None


def profile_lzf_payload(x0: float, dx: float, intensities_i32: Any) -> bytes:
    """The uncompressed form of an LZF profile block (axis header + i32 intensities)."""
    return axis_header(x0, dx) + _i32_bytes(intensities_i32)


def looks_like_run_length(block: bytes) -> bool:
    """True when a reader's probe would take this stored block for a run-length block."""
    if len(block) < 20:
        return False
    (marker,) = struct.unpack_from("<I", block, 16)
    if marker != RLE_MARKER:
        return False
    x0, dx = struct.unpack_from("<dd", block, 0)
    return math.isfinite(x0) and math.isfinite(dx) and dx > 0 and x0 > 0


def profile_lzf_block(
    x0: float,
    dx: float,
    intensities_i32: Any,
    *,
    literal_only: bool = False,
    trailing: bytes = b"",
) -> tuple[bytes, int]:
    """An LZF profile block and its uncompressed_byte_count.

    literal_only: store the payload as LZF literal runs without calling liblzf.
    trailing: extra uncompressed bytes after the intensities (a reader ignores
    bytes past the last intensity; they count in uncompressed_byte_count).
    A block that a reader's run-length probe would misclassify is re-encoded
    with a different literal split.
    """
    payload = profile_lzf_payload(x0, dx, intensities_i32) + bytes(trailing)
    block = lzf_literal_only(payload) if literal_only else lzf_compress(payload)
    if looks_like_run_length(block):
        for first in range(1, 32):
            block = lzf_literal_only(payload, first_run=first)
            if not looks_like_run_length(block):
                break
        else:  # pragma: no cover - the split moves the probed bytes; this cannot repeat 31 times
            raise RuntimeError("could not store the profile block unambiguously")
    return block, len(payload)


@dataclass(frozen=True)
class DataWord:
    """An intensity (>= 0), written at the current width unless width is given."""

    value: int
    width: int | None = None


@dataclass(frozen=True)
class ControlWord:
    """Skip `skip` points and make the following words `next_width` bytes wide.

    It is written at the current width unless `width` is given.
    """

    skip: int
    next_width: int
    width: int | None = None


@dataclass(frozen=True)
class RawBytes:
    """Bytes put into the stream verbatim; the tracked width does not change."""

    data: bytes


def control_word_value(skip: int, next_width: int) -> int:
    """The (negative) value of a control word: ~((skip << 2) | width code)."""
    if next_width not in _WIDTH_CODE:
        raise ValueError(f"word width must be 1, 2, 4 or 8, got {next_width}")
    if skip < 0:
        raise ValueError("skip must be >= 0")
    return ~((skip << 2) | _WIDTH_CODE[next_width])


def _word(value: int, width: int) -> bytes:
    if width not in _WIDTH_CODE:
        raise ValueError(f"word width must be 1, 2, 4 or 8, got {width}")
    try:
        return value.to_bytes(width, "little", signed=True)
    except OverflowError:
        raise ValueError(f"word value {value} does not fit {width} signed bytes") from None


def profile_rle_block(
    x0: float,
    dx: float,
    start: int,
    words: Iterable[DataWord | ControlWord | RawBytes],
    *,
    marker: int = RLE_MARKER,
) -> bytes:
    """A run-length profile block from an explicit word list.

    start: the stored start field, 0 or minus the index of the first point the
    stream addresses (any i32 is written, to allow broken blocks). The width
    is tracked as a reader would track it (4 bytes at first, changed by each
    control word) and every word is written at that width unless it names its
    own. The matching uncompressed_byte_count is profile_uncompressed_size(n).
    """
    out = bytearray(axis_header(x0, dx))
    out += struct.pack("<Ii", marker & 0xFFFFFFFF, start)
    width = 4
    for w in words:
        if isinstance(w, RawBytes):
            out += w.data
        elif isinstance(w, DataWord):
            if w.value < 0:
                raise ValueError("a data word is >= 0; use RawBytes for anything else")
            out += _word(w.value, w.width or width)
        elif isinstance(w, ControlWord):
            out += _word(control_word_value(w.skip, w.next_width), w.width or width)
            width = w.next_width
        else:
            raise TypeError(f"not a stream word: {w!r}")
    return bytes(out)


# ---------------------------------------------------------------------------
# Compact encoder


def _width_needed(v: int) -> int:
    if v < 0x80:
        return 1
    if v < 0x8000:
        return 2
    if v < 0x80000000:
        return 4
    return 8


def _max_k(width: int) -> int:
    return (1 << (8 * width - 1)) - 1


def _runs_python(values: Sequence[int]) -> list[tuple[int, int, int]]:
    """(start, length, class) runs; class 0 = zeros, else the width needed."""
    runs: list[tuple[int, int, int]] = []
    start = 0
    prev = None
    for i, v in enumerate(values):
        if v < 0:
            raise ValueError(f"run-length intensities must be >= 0 (point {i} is {v})")
        c = 0 if v == 0 else _width_needed(v)
        if c != prev:
            if prev is not None:
                runs.append((start, i - start, prev))
            start, prev = i, c
    if prev is not None:
        runs.append((start, len(values) - start, prev))
    return runs


def _runs_numpy(arr: Any) -> list[tuple[int, int, int]]:
    import numpy as np

    n = arr.size
    if n == 0:
        return []
    if arr.min() < 0:
        i = int(np.flatnonzero(arr < 0)[0])
        raise ValueError(f"run-length intensities must be >= 0 (point {i} is {int(arr[i])})")
    cls = np.where(arr == 0, 0, np.where(arr < 0x80, 1, np.where(arr < 0x8000, 2, np.where(arr < 0x80000000, 4, 8))))
    cls = cls.astype(np.int8)
    edges = np.flatnonzero(cls[1:] != cls[:-1]) + 1
    starts = np.concatenate(([0], edges))
    lengths = np.diff(np.concatenate((starts, [n])))
    return list(zip(starts.tolist(), lengths.tolist(), cls[starts].tolist()))


def _merge_single_zeros(runs: list[tuple[int, int, int]]) -> list[tuple[int, int, int]]:
    """A lone zero between data costs a word either way; keep it as data (class 1)."""
    out: list[list[int]] = []
    for i, (s, n, c) in enumerate(runs):
        if c == 0 and n == 1 and 0 < i < len(runs) - 1:
            c = 1
        if out and out[-1][2] == c:
            out[-1][1] += n
        else:
            out.append([s, n, c])
    return [tuple(r) for r in out]  # type: ignore[misc]


def profile_rle_encode(x0: float, dx: float, intensities: Any) -> tuple[bytes, int]:
    """A compact run-length block for non-negative integer intensities.

    Leading zeros are skipped through the start field, inner zero runs of two
    or more points through control words, trailing zeros are left implicit,
    and the word width follows the values (switching down only when it pays).
    Returns (block, uncompressed_byte_count = 16 + 4 * point count). The axis
    must be valid with x0 > 0, since a reader would not take the block for
    run-length otherwise.
    """
    if not (math.isfinite(x0) and math.isfinite(dx) and dx > 0 and x0 > 0):
        raise ValueError(f"a run-length block needs finite x0 > 0 and dx > 0, got x0={x0!r}, dx={dx!r}")
    numpy_input = _is_numpy(intensities)
    if numpy_input:
        import numpy as np

        arr = np.asarray(intensities)
        if arr.dtype.kind not in "iub":
            raise TypeError(f"run-length intensities must be integers, got dtype {arr.dtype}")
        if arr.dtype.kind == "u" and arr.size and int(arr.max()) > 2**63 - 1:
            raise ValueError("run-length intensity above 2**63 - 1")
        arr = arr.astype(np.int64)
        n = int(arr.size)
        runs = _runs_numpy(arr)
    else:
        vals = [int(v) for v in intensities]
        if any(v > 2**63 - 1 for v in vals):
            raise ValueError("run-length intensity above 2**63 - 1")
        n = len(vals)
        runs = _runs_python(vals)
    runs = _merge_single_zeros(runs)

    start_field = 0
    if runs and runs[0][2] == 0:
        if len(runs) == 1:  # all zeros: no words at all
            runs = []
        else:
            start_field = -runs[0][1]
            runs = runs[1:]
    if runs and runs[-1][2] == 0:
        runs = runs[:-1]

    out = bytearray(axis_header(x0, dx))
    out += struct.pack("<Ii", RLE_MARKER, start_field)
    width = 4

    def emit_control(skip: int, target: int) -> None:
        nonlocal width
        while True:
            k = (skip << 2) | _WIDTH_CODE[target]
            if k <= _max_k(width):
                out.extend(_word(~k, width))
                width = target
                return
            wider = {1: 2, 2: 4, 4: 8}[width]
            chunk = min(skip, (_max_k(width) - _WIDTH_CODE[wider]) >> 2)
            out.extend(_word(~((chunk << 2) | _WIDTH_CODE[wider]), width))
            skip -= chunk
            width = wider

    def emit_data(s: int, length: int) -> None:
        if numpy_input:
            out.extend(arr[s : s + length].astype("<i%d" % width).tobytes())
        else:
            out.extend(struct.pack(f"<{length}{_INT_CODE[width]}", *vals[s : s + length]))

    first = True
    i = 0
    while i < len(runs):
        s, length, need = runs[i]
        if need == 0:
            # An inner zero run: one control word skips it and sets the width of
            # the data run that follows (trailing zeros were dropped above).
            s, length_next, need_next = runs[i + 1]
            emit_control(length, need_next)
            emit_data(s, length_next)
            i += 2
            first = False
            continue
        if first:
            if need != width:
                emit_control(0, need)
        elif need > width:
            emit_control(0, need)
        elif need < width and length * (width - need) > width + need:
            # Narrower words pay for the two width changes around them.
            emit_control(0, need)
        emit_data(s, length)
        first = False
        i += 1
    return bytes(out), profile_uncompressed_size(n)
