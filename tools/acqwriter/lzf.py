"""LZF compression for profile blocks.

Real compression uses the reference liblzf (Debian's ``liblzf.so.1``, loaded
with ctypes) or, when that library is missing, the PyPI ``lzf`` module.
``lzf_literal_only`` needs neither: it emits a valid LZF stream made only of
literal runs, which is enough for tests that must not depend on the library.
"""

from __future__ import annotations

import ctypes
import ctypes.util
from typing import Callable

__all__ = [
    "LzfUnavailable",
    "lzf_available",
    "lzf_backend",
    "lzf_compress",
    "lzf_literal_only",
    "lzf_max_compressed_size",
]

# Longest literal run one control byte can announce (control bytes 0..31).
MAX_LITERAL_RUN = 32

_LIBRARY_NAMES = ("liblzf.so.1", "liblzf.so")


class LzfUnavailable(RuntimeError):
    """Neither liblzf nor the PyPI ``lzf`` module could be loaded."""


def lzf_max_compressed_size(n: int) -> int:
    """Output buffer size that lzf_compress can never overflow for n input bytes.

    The worst case of the compressor is all literals: one control byte per
    32 input bytes, so n + ceil(n / 32) bytes; a generous margin is added.
    """
    return n + n // 16 + 64


def _load_ctypes() -> Callable[[bytes], bytes] | None:
    lib = None
    for name in _LIBRARY_NAMES:
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError:
            continue
    if lib is None:
        found = ctypes.util.find_library("lzf")
        if found:
            try:
                lib = ctypes.CDLL(found)
            except OSError:
                lib = None
    if lib is None:
        return None
    fn = lib.lzf_compress
    fn.restype = ctypes.c_uint
    fn.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_void_p, ctypes.c_uint]

    def compress(data: bytes) -> bytes:
        n = len(data)
        cap = lzf_max_compressed_size(n)
        if cap > 0xFFFFFFFF:
            raise ValueError(f"LZF input of {n} bytes is too large for liblzf")
        out = ctypes.create_string_buffer(cap)
        got = fn(data, n, out, cap)
        if got == 0:
            raise RuntimeError(f"lzf_compress failed on {n} bytes with a {cap}-byte buffer")
        return out.raw[:got]

    return compress


def _load_pypi() -> Callable[[bytes], bytes] | None:
    try:
        import lzf as pylzf  # type: ignore[import-not-found]
    except ImportError:
        return None

    def compress(data: bytes) -> bytes:
        out = pylzf.compress(data, lzf_max_compressed_size(len(data)))
        if out is None:
            raise RuntimeError(f"lzf.compress failed on {len(data)} bytes")
        return out

    return compress


_backend: tuple[str, Callable[[bytes], bytes]] | None = None
_backend_probed = False


def _get_backend() -> tuple[str, Callable[[bytes], bytes]] | None:
    global _backend, _backend_probed
    if not _backend_probed:
        _backend_probed = True
        fn = _load_ctypes()
        if fn is not None:
            _backend = ("liblzf", fn)
        else:
            fn = _load_pypi()
            if fn is not None:
                _backend = ("pypi-lzf", fn)
    return _backend


def lzf_available() -> bool:
    """True when real LZF compression can be done."""
    return _get_backend() is not None


def lzf_backend() -> str | None:
    """"liblzf", "pypi-lzf" or None."""
    b = _get_backend()
    return b[0] if b else None


def lzf_compress(data: bytes) -> bytes:
    """Compress with liblzf (or the PyPI module); raise LzfUnavailable if neither exists.

    An empty input gives an empty output (the library itself refuses it).
    """
    b = _get_backend()
    if b is None:
        raise LzfUnavailable(
            "LZF compression needs liblzf (Debian package liblzf1, loaded as "
            "liblzf.so.1) or the PyPI module 'lzf'; neither was found. "
            "Use literal_only=True to store uncompressed LZF literal runs instead."
        )
    if not data:
        return b""
    return b[1](bytes(data))


def lzf_literal_only(data: bytes, first_run: int = MAX_LITERAL_RUN) -> bytes:
    """Encode data as a valid LZF stream of literal runs only (no back references).

    first_run (1..32) is the length of the first run; later runs are 32 bytes
    long (the last one shorter). Output length is len(data) + ceil-ish(len/32).
    """
    if not 1 <= first_run <= MAX_LITERAL_RUN:
        raise ValueError("first_run must be between 1 and 32")
    data = bytes(data)
    out = bytearray()
    pos = 0
    run = first_run
    n = len(data)
    while pos < n:
        chunk = data[pos : pos + run]
        out.append(len(chunk) - 1)
        out += chunk
        pos += len(chunk)
        run = MAX_LITERAL_RUN
    return bytes(out)
