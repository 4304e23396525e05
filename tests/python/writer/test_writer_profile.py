"""Profile blocks: LZF blocks against the reference liblzf, run-length streams against an
independent decoder, and the guard against blocks a reader would misclassify."""

from __future__ import annotations

import random
import struct
import zlib

import numpy as np
import pytest
from writer_helpers import decode_rle

from acqwriter import (
    ControlWord,
    DataWord,
    RawBytes,
    control_word_value,
    looks_like_run_length,
    lzf_available,
    lzf_literal_only,
    profile_lzf_block,
    profile_rle_block,
    profile_rle_encode,
)

X0, DX = 20123.5, 0.625


def payload(x0, dx, ints):
    return struct.pack("<dd", x0, dx) + struct.pack(f"<{len(ints)}i", *ints)


class TestLzfBlocks:
    @pytest.mark.parametrize("ints", [[], [0] * 1000, [5, -7, 2**31 - 1, -(2**31)] * 300,
                                      [random.Random(1).randrange(-99, 10**6) for _ in range(3000)]])
    @pytest.mark.parametrize("literal_only", [False, True])
    def test_block_decompresses_to_axis_and_intensities(self, lzf_decompress, ints, literal_only):
        if not literal_only and not lzf_available():
            pytest.skip("no LZF compressor")
        block, ubc = profile_lzf_block(X0, DX, ints, literal_only=literal_only)
        assert ubc == 16 + 4 * len(ints)
        assert lzf_decompress(block, ubc) == payload(X0, DX, ints)

    def test_numpy_and_list_intensities_give_the_same_block(self):
        ints = [3, 0, 0, 70000, 12]
        assert profile_lzf_block(X0, DX, ints, literal_only=True) == \
            profile_lzf_block(X0, DX, np.array(ints, dtype=np.int64), literal_only=True)

    def test_real_compression_shrinks_repetitive_data(self):
        if not lzf_available():
            pytest.skip("no LZF compressor")
        block, ubc = profile_lzf_block(X0, DX, [0] * 10000)
        assert len(block) < ubc // 20

    def test_literal_only_stream_has_no_back_references(self):
        data = bytes(range(256)) * 3
        for first in (1, 7, 32):
            enc = lzf_literal_only(data, first_run=first)
            pos, out = 0, b""
            while pos < len(enc):
                c = enc[pos]
                assert c < 32
                out += enc[pos + 1 : pos + 2 + c]
                pos += c + 2
            assert out == data and enc[0] == first - 1

    def test_trailing_bytes_count_in_uncompressed_size(self, lzf_decompress):
        block, ubc = profile_lzf_block(X0, DX, [1, 2], literal_only=True, trailing=b"\x09" * 5)
        assert ubc == 16 + 8 + 5
        assert lzf_decompress(block, ubc).endswith(b"\x09" * 5)

    def test_block_that_would_pass_the_run_length_probe_is_re_encoded(self, lzf_decompress):
        # With a first literal run of 32, stored bytes 16..19 are payload bytes 15..18:
        # dx's top byte 00, then the first intensity's bytes FF 02 90 -> the marker.
        # Stored bytes 0..15 read as x0 = [1F, x0 bytes 0..6] and dx = [x0 byte 7, dx bytes 0..6].
        x0 = struct.unpack("<d", bytes([1, 2, 3, 4, 5, 6, 0x40, 0x40]))[0]
        dx = struct.unpack("<d", bytes([9, 9, 9, 9, 9, 9, 0x3F, 0x00]))[0]  # tiny but positive
        ints = [0x019002FF, 4, 5, 6, 7, 8, 9]
        naive = lzf_literal_only(payload(x0, dx, ints))
        assert looks_like_run_length(naive)  # the hazard is real
        block, ubc = profile_lzf_block(x0, dx, ints, literal_only=True)
        assert not looks_like_run_length(block)
        assert lzf_decompress(block, ubc) == payload(x0, dx, ints)


class TestRunLengthBlocks:
    def test_documented_examples(self):
        blk = profile_rle_block(X0, DX, -3, [DataWord(7), DataWord(9)])
        assert blk[:16] == struct.pack("<dd", X0, DX)
        assert blk[16:20] == b"\x00\xff\x02\x90"
        assert decode_rle(blk[16:], 5) == [0, 0, 0, 7, 9]
        blk = profile_rle_block(X0, DX, 0, [ControlWord(1, 1), DataWord(12)])
        assert blk[24:28] == struct.pack("<i", -5) and blk[28:] == b"\x0c"
        assert decode_rle(blk[16:], 4) == [0, 12, 0, 0]

    def test_control_word_values(self):
        assert [control_word_value(0, w) for w in (1, 2, 4, 8)] == [-1, -2, -3, -4]
        assert control_word_value(1, 1) == -5
        with pytest.raises(ValueError):
            control_word_value(0, 3)

    def test_width_tracking_explicit_widths_and_raw_bytes(self):
        words = [ControlWord(0, 2), DataWord(300), ControlWord(2, 8), DataWord(2**40),
                 DataWord(1, width=4), RawBytes(b"\xff")]
        blk = profile_rle_block(X0, DX, 0, words)
        assert blk[24:] == (struct.pack("<i", -2) + struct.pack("<h", 300) + struct.pack("<h", ~((2 << 2) | 3))
                            + struct.pack("<q", 2**40) + struct.pack("<i", 1) + b"\xff")

    def test_word_that_does_not_fit_its_width_is_refused(self):
        with pytest.raises(ValueError):
            profile_rle_block(X0, DX, 0, [ControlWord(0, 1), DataWord(128)])
        with pytest.raises(ValueError):
            profile_rle_block(X0, DX, 0, [DataWord(-1)])


def sparse_signal(rng, n, big=False):
    v = np.zeros(n, dtype=np.int64)
    for _ in range(max(1, n // 400)):
        c = int(rng.integers(n))
        w = int(rng.integers(1, 40))
        h = int(rng.integers(1, 2**40 if big else 10**6))
        seg = slice(c, min(n, c + w))
        v[seg] = np.maximum(v[seg], h // (1 + np.abs(np.arange(seg.stop - seg.start) - w // 2)))
    noisy = rng.random(n) < 0.05
    v[noisy] += rng.integers(1, 30, size=int(noisy.sum()))
    return v


class TestRunLengthEncoder:
    @pytest.mark.parametrize("case", ["sparse", "big", "dense", "leading", "trailing", "zeros", "one",
                                      "long_gap", "alternating", "empty"])
    def test_encoder_round_trips_through_independent_decoder(self, case):
        rng = np.random.default_rng(zlib.crc32(case.encode()))
        n = 5000
        if case == "sparse":
            v = sparse_signal(rng, n)
        elif case == "big":
            v = sparse_signal(rng, n, big=True)
        elif case == "dense":
            v = rng.integers(1, 70000, size=n)
        elif case == "leading":
            v = np.concatenate((np.zeros(1234, np.int64), rng.integers(0, 300, size=n)))
        elif case == "trailing":
            v = np.concatenate((rng.integers(1, 300, size=50), np.zeros(n, np.int64)))
        elif case == "zeros":
            v = np.zeros(n, np.int64)
        elif case == "one":
            v = np.array([77], np.int64)
        elif case == "long_gap":  # skips beyond what 1- and 2-byte control words hold
            v = np.zeros(200000, np.int64)
            v[[3, 40000, 199998]] = [5, 2**33, 1]
        elif case == "alternating":
            v = np.tile(np.array([0, 0, 1, 200, 0, 70000, 5], np.int64), 300)
        else:
            v = np.zeros(0, np.int64)
        blk, ubc = profile_rle_encode(X0, DX, v)
        assert ubc == 16 + 4 * v.size
        assert blk[:16] == struct.pack("<dd", X0, DX)
        assert decode_rle(blk[16:], v.size) == v.tolist()
        assert profile_rle_encode(X0, DX, v.tolist()) == (blk, ubc)  # same bytes without numpy

    def test_encoding_is_compact(self):
        v = sparse_signal(np.random.default_rng(5), 20000)
        blk, _ = profile_rle_encode(X0, DX, v)
        nonzero = int((v > 0).sum())
        # Mostly one or two bytes per set point, plus a word per skip; far below 4 bytes per point.
        assert len(blk) < 24 + 3 * nonzero + 4 * 200
        assert len(blk) < v.size

    def test_zeros_only_and_leading_zeros_use_the_start_field(self):
        blk, _ = profile_rle_encode(X0, DX, [0, 0, 0])
        assert len(blk) == 24 and struct.unpack_from("<i", blk, 20)[0] == 0
        blk, _ = profile_rle_encode(X0, DX, [0, 0, 0, 9])
        assert struct.unpack_from("<i", blk, 20)[0] == -3

    @pytest.mark.parametrize("x0, dx, ints", [(0.0, 1.0, [1]), (-5.0, 1.0, [1]), (1.0, 0.0, [1]),
                                              (float("inf"), 1.0, [1]), (1.0, 1.0, [3, -1])])
    def test_encoder_refuses_what_would_not_read_back_as_run_length(self, x0, dx, ints):
        with pytest.raises(ValueError):
            profile_rle_encode(x0, dx, ints)


class TestCompressorBackends:
    def test_missing_compressor_is_a_clear_error_and_literal_blocks_still_work(self, monkeypatch):
        import acqwriter.lzf as mod

        monkeypatch.setattr(mod, "_backend_probed", True)
        monkeypatch.setattr(mod, "_backend", None)
        with pytest.raises(mod.LzfUnavailable, match="liblzf"):
            profile_lzf_block(X0, DX, [1, 2, 3])
        block, ubc = profile_lzf_block(X0, DX, [1, 2, 3], literal_only=True)
        assert ubc == 28 and block[0] == 27

    def test_pypi_module_is_used_when_liblzf_is_missing(self, monkeypatch):
        import sys
        import types

        import acqwriter.lzf as mod

        calls = []
        fake = types.ModuleType("lzf")

        def compress(data, max_len):
            calls.append((len(data), max_len))
            return lzf_literal_only(data)

        fake.compress = compress
        monkeypatch.setitem(sys.modules, "lzf", fake)
        monkeypatch.setattr(mod, "_load_ctypes", lambda: None)
        monkeypatch.setattr(mod, "_backend_probed", False)
        monkeypatch.setattr(mod, "_backend", None)
        assert mod.lzf_backend() == "pypi-lzf"
        block, ubc = profile_lzf_block(X0, DX, [4, 5])
        assert calls == [(ubc, mod.lzf_max_compressed_size(ubc))]
        assert block == lzf_literal_only(payload(X0, DX, [4, 5]))
