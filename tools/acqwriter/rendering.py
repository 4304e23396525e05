"""Profile spectra rendered from known peak lists, for testing and measuring
peak pickers against the truth.

The axis is that of a time-of-flight scan: flight times on a regular grid,
turned into m/z by a mass calibration, so that the m/z spacing grows with
m/z as in the instruments. Each peak is a Gaussian in flight time whose
m/z width at half height is m/z / resolution. Counts are Poisson around the
peaks plus a baseline, optionally with the points below a threshold zeroed
as an instrument stores them (zero runs).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .calibration import Calibration

__all__ = ["TruthSpectrum", "tof_calibration", "render_profile", "random_peaks"]

FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))


def tof_calibration() -> Calibration:
    """A calibration like those of the synthetic runs (A, T0 and a small
    polynomial correction)."""
    return Calibration(4.0e-4, 1.2, 20000.0, 120000.0, (1e-9, 0.0, 0.0, 0.0, 0.0, 0.0), 0b10)


@dataclass
class TruthSpectrum:
    mz: Any          # float64, ascending
    intensity: Any   # float32
    peak_mz: Any     # the true apex m/z of each peak
    peak_height: Any  # the true height of each peak (above the baseline)
    noise: float     # standard deviation of the noise-only signal (0 without noise)


def render_profile(peak_mz: Any, peak_height: Any, resolution: float, *, cal: Calibration | None = None,
                   mz_range: tuple[float, float] = (100.0, 1600.0), dt: float = 0.125, baseline: float = 0.0,
                   rng: np.random.Generator | None = None, zero_below: float = 0.0) -> TruthSpectrum:
    """The profile spectrum of Gaussian peaks at peak_mz with peak_height.

    dt is the flight-time step (the default samples a peak of resolution
    60,000 about three times across its width at m/z 500). With rng, the
    intensities are Poisson counts of baseline + signal, otherwise the exact
    signal. Points below zero_below become 0.
    """
    cal = cal or tof_calibration()
    peak_mz = np.asarray(peak_mz, dtype=np.float64)
    peak_height = np.asarray(peak_height, dtype=np.float64)
    t_low, t_high = cal.flight_time(mz_range[0]), cal.flight_time(mz_range[1])
    n = int((t_high - t_low) / dt)
    t = t_low + np.arange(n, dtype=np.float64) * dt
    mz = cal.mz_array(t)
    signal = np.full(n, float(baseline))
    for m, h in zip(peak_mz.tolist(), peak_height.tolist()):
        tc = cal.flight_time(m)
        slope = (cal.mz_at(tc + 0.5) - cal.mz_at(tc - 0.5))  # m/z per flight-time unit at the peak
        sigma = m / resolution / slope / FWHM_PER_SIGMA
        centre = (tc - t_low) / dt
        reach = 6.0 * sigma / dt
        lo, hi = max(0, int(math.floor(centre - reach))), min(n, int(math.ceil(centre + reach)) + 1)
        if hi > lo:
            z = (np.arange(lo, hi, dtype=np.float64) - centre) * (dt / sigma)
            signal[lo:hi] += h * np.exp(-0.5 * z * z)
    if rng is not None:
        intensity = rng.poisson(signal).astype(np.float32)
        noise = math.sqrt(baseline)
    else:
        intensity = signal.astype(np.float32)
        noise = 0.0
    if zero_below > 0:
        intensity[intensity < zero_below] = 0.0
    return TruthSpectrum(mz, intensity, peak_mz, peak_height, noise)


def random_peaks(rng: np.random.Generator, count: int, *, mz_range: tuple[float, float] = (120.0, 1500.0),
                 heights: tuple[float, float] = (5.0, 1e5)) -> tuple[Any, Any]:
    """count peaks, m/z uniform in mz_range and heights log-uniform, sorted by m/z."""
    mz = np.sort(rng.uniform(*mz_range, size=count))
    h = np.exp(rng.uniform(math.log(heights[0]), math.log(heights[1]), size=count))
    return mz, h
