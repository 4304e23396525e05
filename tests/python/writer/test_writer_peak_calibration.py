"""Peak blocks, the m/z reference formula and MSMassCal.bin."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

from acqwriter import (
    Calibration,
    MassCalRecord,
    int_power,
    masscal_bytes,
    mz_at,
    mz_at_array,
    peak_block_format2,
    peak_block_format3,
    terms_from_flags,
)


class TestPeakBlocks:
    def test_format2_is_all_flight_times_then_all_intensities(self):
        ts, ys = [30000.5, 41000.25, 52000.0], [1.5, 2.5, 1e30]
        b = peak_block_format2(ts, ys)
        assert len(b) == 36
        assert struct.unpack_from("<3d", b, 0) == tuple(ts)
        assert struct.unpack_from("<3f", b, 24) == (1.5, 2.5, struct.unpack("<f", struct.pack("<f", 1e30))[0])

    def test_format3_is_interleaved_records(self):
        b = peak_block_format3([100.25, 200.5], [7.0, -3.0])
        assert len(b) == 24
        assert struct.unpack("<dfdf", b) == (100.25, 7.0, 200.5, -3.0)

    def test_numpy_input_keeps_f32_bits_and_matches_list_input(self):
        nan_bits = np.array([0x7FC12345, 0xFF800001], dtype=np.uint32).view(np.float32)
        xs = np.array([1.0, 2.0])
        for build in (peak_block_format2, peak_block_format3):
            b = build(xs, nan_bits)
            off = (16, 20) if build is peak_block_format2 else (8, 20)
            assert [struct.unpack_from("<I", b, o)[0] for o in off] == [0x7FC12345, 0xFF800001]
            plain = np.array([3.5, -0.0], dtype=np.float32)
            assert build(xs, plain) == build([1.0, 2.0], [3.5, -0.0])

    def test_mismatched_lengths_and_trailing(self):
        for build in (peak_block_format2, peak_block_format3):
            with pytest.raises(ValueError):
                build([1.0, 2.0], [1.0])
            assert build([], [], trailing=b"abc") == b"abc"


class TestMzAt:
    def test_no_terms_is_the_square_law_exactly(self):
        a, t0 = 4.1e-4, 1.25
        for t in (20000.0, 54321.123, 0.5):
            m = a * (t - t0)
            assert mz_at(t, a, t0, 0.0, 1e9, []) == m * m

    def test_flags_5_gives_powers_0_and_2(self):
        terms = terms_from_flags(5, [0.3, 2e-10, 0, 0, 0, 0])
        assert terms == [(0, 0.3), (2, 2e-10)]
        a, t0, t = 3.5e-4, 0.0, 40000.0
        m = a * t
        assert mz_at(t, a, t0, 10000.0, 90000.0, terms) == m * m - ((-0.0 + 0.3 * 1.0) + 2e-10 * (t * t))

    def test_bit_31_selects_power_31(self):
        terms = terms_from_flags(2**31, [1e-300, 0, 0, 0, 0, 0])
        assert terms == [(31, 1e-300)]
        assert int_power(1.5, 31) == 1.5**31  # exact in binary for this base

    def test_clamp_uses_range_for_polynomial_but_raw_time_for_square_law(self):
        terms = [(1, 1e-6)]
        a, t0 = 4e-4, 2.0
        below = mz_at(5000.0, a, t0, 10000.0, 20000.0, terms)
        assert below == (a * (5000.0 - t0)) ** 2 - (-0.0 + 1e-6 * 10000.0)
        above = mz_at(25000.0, a, t0, 10000.0, 20000.0, terms)
        assert above == (a * (25000.0 - t0)) ** 2 - (-0.0 + 1e-6 * 20000.0)

    def test_equal_range_ends_make_a_constant_correction(self):
        terms = [(0, 1e-3), (2, 1e-12)]
        for t in (1000.0, 50000.0, 99999.0):
            m = 4e-4 * t
            assert m * m - mz_at(t, 4e-4, 0.0, 30000.0, 30000.0, terms) == pytest.approx(1e-3 + 1e-12 * 9e8, rel=1e-12)

    def test_negative_a_gives_the_same_masses(self):
        terms = [(0, 1e-3), (1, 1e-9)]
        for t in (21000.0, 77777.7):
            assert mz_at(t, -2.0, 1.0, 0, 1e6, terms) == mz_at(t, 2.0, 1.0, 0, 1e6, terms)

    def test_nan_time_gives_nan_and_zero_power_of_nan_is_one(self):
        assert math.isnan(mz_at(float("nan"), 4e-4, 0.0, 0.0, 1.0, [(0, 1.0)]))
        assert int_power(float("nan"), 0) == 1.0

    @pytest.mark.parametrize("flags, coeffs", [(127, [0.0] * 6), (3, [1, 2, 0, 0, 4, 0])])
    def test_flags_that_a_reader_refuses_are_refused(self, flags, coeffs):
        with pytest.raises(ValueError):
            terms_from_flags(flags, coeffs)

    def test_array_version_is_bit_identical_to_scalar(self):
        rng = np.random.default_rng(11)
        cal = Calibration(3.9e-4, 1.7, 25000.0, 120000.0, (1e-3, -2e-9, 3e-14, 0.0, 0.0, 0.0), 0b1011)
        t = np.concatenate((rng.uniform(10000, 140000, 2000), [25000.0, 120000.0, np.nan, np.inf, -np.inf, 0.0]))
        got = cal.mz_array(t)
        want = np.array([cal.mz_at(float(x)) for x in t])
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
        assert np.array_equal(mz_at_array(t, cal.a, cal.t0, cal.range_low, cal.range_high, cal.terms).view(np.uint64),
                              want.view(np.uint64))

    def test_flight_time_inverts_mz_at(self):
        cal = Calibration(4.2e-4, 0.9, 20000.0, 130000.0, (2e-3, -1e-8, 0, 0, 0, 0), 0b11)
        for mz in (50.0, 622.0290, 2999.5):
            assert cal.mz_at(cal.flight_time(mz)) == pytest.approx(mz, abs=1e-9)


class TestMassCal:
    def test_layout_header_records_count_and_slots(self):
        cal = Calibration(4e-4, 1.0, 2e4, 1e5, (1.0, 2.0, 0, 0, 0, 0), 3)
        data = masscal_bytes([cal, [1.5, 2.5, 3.5, 4.5], None, MassCalRecord([9.0], count=11)],
                             header=b"H" * 72)
        assert len(data) == 72 + 4 * 84 and data[:72] == b"H" * 72
        recs = [struct.unpack_from("<I10d", data, 72 + 84 * i) for i in range(4)]
        assert recs[0] == (10, 4e-4, 1.0, 2e4, 1e5, 1.0, 2.0, 0.0, 0.0, 0.0, 0.0)
        assert recs[1] == (4, 1.5, 2.5, 3.5, 4.5) + (0.0,) * 6
        assert recs[2] == (0,) + (0.0,) * 10
        assert recs[3][:2] == (11, 9.0)
        assert masscal_bytes([]) == bytes(72)
        assert len(masscal_bytes([None], trailing=b"z")) == 72 + 84 + 1

    def test_eleven_values_do_not_fit(self):
        with pytest.raises(ValueError):
            masscal_bytes([[0.0] * 11])
        with pytest.raises(ValueError):
            masscal_bytes([], header=b"short")
