"""Independent decoders used by the writer tests."""

from __future__ import annotations

import struct


def decode_rle(stream: bytes, n: int) -> list[int]:
    """Decode a run-length stream (from the marker on) into n intensities.

    Written from the stream rules alone: width starts at 4; a word >= 0 sets the
    current point and advances; a negative word w with k = -w - 1 advances by
    k >> 2 and sets the width to 1 << (k & 3). Raises AssertionError on any
    inconsistency (so a bad stream fails the test loudly).
    """
    assert len(stream) >= 8
    marker, start = struct.unpack_from("<Ii", stream, 0)
    assert marker == 0x9002FF00
    assert start <= 0 and -start <= n
    out = [0] * n
    width, pos, cur = 4, 8, -start
    while pos < len(stream):
        assert pos + width <= len(stream), "truncated word"
        w = int.from_bytes(stream[pos : pos + width], "little", signed=True)
        pos += width
        if w >= 0:
            assert cur < n, "data word after the last point"
            out[cur] = w
            cur += 1
        else:
            k = -w - 1
            assert cur + (k >> 2) <= n, "skip past the last point"
            cur += k >> 2
            width = 1 << (k & 3)
    return out
