"""Shared helpers for the writer tests: the package on sys.path and small
independent decoders (reference liblzf, run-length streams) to check the
writer's output against."""

from __future__ import annotations

import ctypes
import os
import struct
import sys

import pytest

TOOLS = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "tools"))
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)


def _load_liblzf():
    for name in ("liblzf.so.1", "liblzf.so"):
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        fn = lib.lzf_decompress
        fn.restype = ctypes.c_uint
        fn.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]
        return fn
    return None


_LZF_DECOMPRESS = _load_liblzf()


@pytest.fixture
def lzf_decompress():
    """liblzf's own lzf_decompress: (data, expected_len) -> bytes of exactly that length."""
    if _LZF_DECOMPRESS is None:
        pytest.skip("liblzf.so.1 is not installed")

    def run(data: bytes, expected: int) -> bytes:
        out = ctypes.create_string_buffer(expected + 1)
        got = _LZF_DECOMPRESS(data, len(data), out, expected + 1)
        assert got == expected, f"lzf_decompress gave {got} bytes, expected {expected}"
        return out.raw[:got]

    return run


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
