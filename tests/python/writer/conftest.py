"""Writer tests: the acqwriter package on sys.path and the reference liblzf decompressor."""

from __future__ import annotations

import ctypes
import os
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
