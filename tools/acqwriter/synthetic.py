"""Realistic synthetic runs, seeded and deterministic.

``synthetic_run`` returns an ``Acquisition`` whose scans are built on demand
(``LazyScans``): scan i depends only on the run's parameters and i, so a run
of any size is written block by block with bounded memory, and the expected
content of any scan can be rebuilt after writing.

Q-TOF runs (strides 284, 220, 216): compounds elute as Gaussians in time;
an MS1 scan shows their isotope clusters plus steady background ions, an MS2
scan the fragments of one eluting precursor. Profile spectra are Poisson
counts around Gaussian peaks on a flight-time axis that the run's calibration
maps to the requested m/z range; centroids are the peaks' flight times
(format 2) or m/z values (format 3). TIC and base peak fields follow from the
data. Each scan's MSMassCal.bin record equals the DefaultMassCal.xml entry its
calibration_id names, so either source gives the same masses.

Triple-quadrupole runs (strides 196, 186): format-3 centroid blocks only, on
an m/z grid (MS1 full scans, MS2 product-ion windows cycling through the MRM
channels), no calibration files.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .calibration import Calibration
from .model import Acquisition, Centroids, Device, LazyScans, Profile, Scan
from .msscan import QQQ_STRIDES, STRIDES, TOF_STRIDES, ScanRecord
from .xmlfiles import DefaultCalEntry

__all__ = ["RunParams", "synthetic_run", "flight_time_array"]

ISOTOPE_SPACING = 1.0033548
PROTON = 1.00727646
SQRT_2PI = math.sqrt(2.0 * math.pi)
_FLAG_CHOICES = (0b1111, 0b10111, 0b101, 0b111, 0b1011)
ENCODINGS = ("lzf", "rle", "mixed", "lzf-literal")
SPECTRA = ("profile", "centroid", "both", "mixed")


@dataclass(frozen=True)
class RunParams:
    """All parameters of a synthetic run (see synthetic_run)."""

    scans: int
    points: int
    ms2_share: float
    stride: int
    encoding: str
    seed: int
    instrument: str
    spectra: str
    centroid_format: int
    mz_range: tuple[float, float]
    cycle_time_s: float
    polarity: int | str
    calibrations: int
    compounds: int
    background_ions: int
    resolution: float
    first_scan_id: int
    header_size: int
    acquired_time: str
    mrm_channels: int


def flight_time_array(cal: Calibration, mz: Any) -> Any:
    """Approximate inverse of the calibration on numpy arrays (t > T0 branch)."""
    mz = np.asarray(mz, dtype=np.float64)
    inv_a = 1.0 / abs(cal.a)
    t = cal.t0 + np.sqrt(np.maximum(mz, 0.0)) * inv_a
    terms = cal.terms
    for _ in range(3):
        x = np.clip(t, cal.range_low, cal.range_high)
        s = np.zeros_like(t)
        for p, c in terms:
            s += c * x**p
        t = cal.t0 + np.sqrt(np.maximum(mz + s, 0.0)) * inv_a
    return t


def _make_calibration(rng: np.random.Generator, mz_lo: float, mz_hi: float) -> Calibration:
    a = float(np.round(rng.uniform(3.0e-4, 5.0e-4), 9))
    t0 = float(np.round(rng.uniform(0.2, 3.0), 6))
    t_lo = t0 + math.sqrt(mz_lo) / a
    t_hi = t0 + math.sqrt(mz_hi) / a
    span = t_hi - t_lo
    # The polynomial range stops a little inside the axis so that the clamp is exercised.
    range_low = float(np.round(t_lo + 0.01 * span, 3))
    range_high = float(np.round(t_hi - 0.01 * span, 3))
    flags = int(_FLAG_CHOICES[int(rng.integers(len(_FLAG_CHOICES)))])
    powers = [k for k in range(32) if flags >> k & 1]
    x_mid = 0.5 * (t_lo + t_hi)
    coeffs = [0.0] * 6
    for j, p in enumerate(powers):
        # Each term corrects by about a milli-m/z at mid-range.
        coeffs[j] = float(rng.uniform(-1.0, 1.0) * 2e-3 / x_mid**p)
    return Calibration(a, t0, range_low, range_high, tuple(coeffs), flags)


class _Generator:
    def __init__(self, params: RunParams):
        self.params = params
        grng = np.random.default_rng([params.seed, 1])
        mz_lo, mz_hi = params.mz_range
        self.qqq = params.instrument == "qqq"
        self.cals: list[Calibration] = []
        if not self.qqq:
            self.cals = [_make_calibration(grng, mz_lo, mz_hi) for _ in range(params.calibrations)]
        n = params.points
        self.axes = []
        for cal in self.cals:
            x0 = cal.flight_time(mz_lo)
            x_end = cal.flight_time(mz_hi)
            dx = (x_end - x0) / (n - 1) if n > 1 else 1.0
            self.axes.append((x0, dx))
        # Baseline level along the axis: long stretches near zero, patches of a few counts.
        u = np.arange(n, dtype=np.float64) / max(n, 1)
        ph = grng.uniform(0, 2 * np.pi, 2)
        env = (0.5 * (1 + np.sin(2 * np.pi * 3.7 * u + ph[0]))) * (0.5 * (1 + np.sin(2 * np.pi * 11.3 * u + ph[1])))
        self.baseline = 4.0 * env**2
        # Compounds.
        k = params.compounds
        self.run_s = max(params.scans * params.cycle_time_s, params.cycle_time_s)
        z = grng.choice([1, 2, 3], size=k, p=[0.7, 0.2, 0.1])
        lo, hi = mz_lo + 10.0, mz_lo + 0.6 * (mz_hi - mz_lo)
        mz = np.exp(grng.uniform(np.log(lo), np.log(max(hi, lo + 1.0)), size=k))
        self.c_mz = mz
        self.c_z = z
        self.c_mass = (mz - PROTON) * z
        self.c_rt = grng.uniform(0.0, self.run_s, size=k)
        self.c_width = np.clip(self.run_s / 40.0, 3.0 * params.cycle_time_s, 30.0) * grng.uniform(0.6, 1.4, size=k)
        self.c_abund = np.exp(grng.uniform(np.log(300.0), np.log(3e5), size=k))
        b = params.background_ions
        self.b_mz = grng.uniform(mz_lo + 1.0, mz_hi - 1.0, size=b)
        self.b_level = np.exp(grng.uniform(np.log(8.0), np.log(400.0), size=b))
        self.channels = [(int(c) % k) for c in grng.permutation(k)[: params.mrm_channels]] if k else []

    # -- per scan ---------------------------------------------------------
    def ms_level(self, i: int) -> int:
        s = self.params.ms2_share
        return 2 if math.floor((i + 1) * s) > math.floor(i * s) else 1

    def polarity(self, i: int) -> int:
        p = self.params.polarity
        return i % 2 if p == "alternate" else int(p)

    def fragments(self, k: int) -> tuple[np.ndarray, np.ndarray]:
        frng = np.random.default_rng([self.params.seed, 3, k])
        mz_lo, mz_hi = self.params.mz_range
        top = min(self.c_mass[k] + PROTON - 18.0, mz_hi - 1.0)
        if top <= mz_lo + 1.0:
            top = mz_lo + 2.0
        m = frng.integers(6, 25)
        return frng.uniform(mz_lo + 0.5, top, size=m), frng.uniform(0.05, 1.0, size=m)

    def peaks(self, i: int, rt_s: float, level: int,
              rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray, int | None]:
        """(m/z, height) of the scan's peaks, and the precursor compound of an MS2 scan."""
        w = self.c_abund * np.exp(-0.5 * ((rt_s - self.c_rt) / self.c_width) ** 2)
        active = np.flatnonzero(w > 20.0)
        if level >= 2:
            if self.qqq and self.channels:
                k = self.channels[i % len(self.channels)]
            elif active.size:
                k = int(rng.choice(active, p=w[active] / w[active].sum()))
            else:
                k = int(rng.integers(len(self.c_mz)))
            fmz, frel = self.fragments(k)
            scale = max(w[k], 40.0) * 0.4
            mzs = np.concatenate((fmz, [self.c_mz[k]]))
            hs = np.concatenate((scale * frel, [w[k] * 0.05 + 5.0]))
            return mzs, hs * rng.uniform(0.85, 1.15, size=hs.size), k
        mzs, hs = [self.b_mz], [self.b_level * rng.gamma(4.0, 0.25, size=self.b_mz.size)]
        for k in active:
            lam = self.c_mass[k] / 1800.0
            j = np.arange(5)
            rel = np.exp(-lam) * lam**j / np.array([1, 1, 2, 6, 24])
            rel /= rel.max()
            mzs.append(self.c_mz[k] + j * ISOTOPE_SPACING / self.c_z[k])
            hs.append(w[k] * rel * rng.uniform(0.95, 1.05, size=5))
        mz = np.concatenate(mzs)
        h = np.concatenate(hs)
        lo, hi = self.params.mz_range
        keep = (mz > lo) & (mz < hi) & (h > 3.0)
        return mz[keep], h[keep], None

    def scan(self, i: int) -> Scan:
        params = self.params
        rng = np.random.default_rng([params.seed, 2, i])
        level = self.ms_level(i)
        rt_s = i * params.cycle_time_s + rng.uniform(0.0, 0.2) * params.cycle_time_s
        rec = ScanRecord(
            scan_id=params.first_scan_id + i,
            retention_time_min=rt_s / 60.0,
            ms_level=level,
            ion_polarity=self.polarity(i),
        )
        mz, h, prec = self.peaks(i, rt_s, level, rng)
        if self.qqq:
            return self._qqq_scan(i, rec, mz, h, prec, rng)
        return self._qtof_scan(i, rec, mz, h, prec, rng)

    def _qtof_scan(self, i: int, rec: ScanRecord, mz: np.ndarray, h: np.ndarray, prec: int | None,
                   rng: np.random.Generator) -> Scan:
        params = self.params
        ci = rec.ion_polarity % len(self.cals)
        cal = self.cals[ci]
        x0, dx = self.axes[ci]
        rec.calibration_id = ci + 1
        if prec is not None:
            rec.target_mz = float(self.c_mz[prec])
            rec.collision_energy = float(round(8.0 + 0.03 * self.c_mz[prec], 1))
        rec.min_x, rec.max_x = params.mz_range
        mode = params.spectra
        want_profile = mode in ("profile", "both") or (mode == "mixed" and rec.ms_level < 2)
        want_centroid = mode in ("centroid", "both") or (mode == "mixed" and rec.ms_level >= 2)
        t_c = flight_time_array(cal, mz)
        sigma = np.maximum(np.sqrt(mz) / (2.0 * abs(cal.a) * params.resolution) / 2.3548, 0.7 * dx)
        scan = Scan(rec, calibration=cal)
        if want_profile:
            n = params.points
            sig = self.baseline.copy()
            for tc, s, hh in zip(t_c.tolist(), sigma.tolist(), h.tolist()):
                c = (tc - x0) / dx
                hw = 4.0 * s / dx
                i0 = max(0, int(math.floor(c - hw)))
                i1 = min(n, int(math.ceil(c + hw)) + 1)
                if i1 <= i0:
                    continue
                d = (np.arange(i0, i1, dtype=np.float64) - c) * (dx / s)
                sig[i0:i1] += hh * np.exp(-0.5 * d * d)
            ints = rng.poisson(sig).astype(np.int64)
            np.minimum(ints, 2**31 - 1, out=ints)
            enc = params.encoding
            if enc == "mixed":
                enc = "lzf" if rng.random() < 0.5 else "rle"
            scan.profile = Profile(x0, dx, ints, enc)
        if want_centroid:
            order = np.argsort(t_c)
            jitter = sigma[order] / np.sqrt(h[order]) * rng.standard_normal(order.size)
            ct = t_c[order] + jitter
            area = (h[order] * sigma[order] * SQRT_2PI / dx).astype(np.float32)
            if params.centroid_format == 2:
                scan.centroids = Centroids(2, ct, area)
            else:
                scan.centroids = Centroids(3, cal.mz_array(ct), area)
        # Recorded TIC and base peak, from the profile when there is one.
        if scan.profile is not None:
            ints = scan.profile.intensities
            rec.tic = float(ints.sum())
            j = int(np.argmax(ints))
            rec.base_peak_mz = cal.mz_at(x0 + j * dx)
            rec.base_peak_intensity = float(ints[j])
        elif scan.centroids is not None and len(scan.centroids.xs):
            c = scan.centroids
            vals = np.asarray(c.intensities, dtype=np.float64)
            j = int(np.argmax(vals))
            rec.tic = float(vals.sum())
            rec.base_peak_mz = float(cal.mz_at(float(c.xs[j])) if c.format_id == 2 else c.xs[j])
            rec.base_peak_intensity = float(vals[j])
        else:
            rec.tic = rec.base_peak_mz = rec.base_peak_intensity = 0.0
        return scan

    def _qqq_scan(self, i: int, rec: ScanRecord, mz: np.ndarray, h: np.ndarray, prec: int | None,
                  rng: np.random.Generator) -> Scan:
        params = self.params
        n = params.points
        if prec is not None:
            rec.mrm_channel_id = i % max(len(self.channels), 1) + 1
            fmz, _ = self.fragments(prec)
            product = float(np.round(fmz[0], 1))
            grid = np.linspace(product - 0.5, product + 0.5, n) if n > 1 else np.array([product])
        else:
            rec.mrm_channel_id = 0
            lo, hi = params.mz_range
            grid = np.linspace(lo, hi, n) if n > 1 else np.array([lo])
        sig = np.full(n, 2.0)
        width = 0.25 if prec is None else 0.12
        step = (grid[-1] - grid[0]) / max(n - 1, 1) if n > 1 else 1.0
        for m, hh in zip(mz.tolist(), h.tolist()):
            c = (m - grid[0]) / step
            hw = 4.0 * width / step
            i0 = max(0, int(math.floor(c - hw)))
            i1 = min(n, int(math.ceil(c + hw)) + 1)
            if i1 > i0:
                d = (grid[i0:i1] - m) / width
                sig[i0:i1] += hh * np.exp(-0.5 * d * d)
        ints = rng.poisson(sig).astype(np.float32)
        return Scan(rec, centroids=Centroids(3, grid, ints))


def _parse_polarity(p: int | str) -> int | str:
    if p == "alternate":
        return p
    v = int(p)
    if not -(2**15) <= v < 2**15:
        raise ValueError("polarity code must fit 16 bits")
    return v


def synthetic_run(
    scans: int = 100,
    points: int = 20000,
    ms2_share: float = 0.25,
    stride: int = 284,
    encoding: str = "lzf",
    seed: int = 0,
    *,
    instrument: str | None = None,
    spectra: str | None = None,
    centroid_format: int = 2,
    mz_range: tuple[float, float] = (50.0, 3000.0),
    cycle_time_s: float = 0.5,
    polarity: int | str = 0,
    calibrations: int = 2,
    compounds: int = 60,
    background_ions: int = 40,
    resolution: float = 4000.0,
    first_scan_id: int = 1,
    header_size: int = 128,
    acquired_time: str = "2024-05-17T10:42:07.1234567+02:00",
    mrm_channels: int = 8,
    target_size: int | None = None,
) -> Acquisition:
    """A synthetic run as an Acquisition whose scans are built on demand.

    scans: scan count (ignored when target_size is given). points: points of
    each profile spectrum (Q-TOF) or of each centroid block (QQQ).
    ms2_share: fraction of MS2 scans, spread evenly. stride: record layout.
    encoding: profile blocks "lzf", "rle", "mixed" (per scan, seeded) or
    "lzf-literal" (no liblzf needed). instrument: "qtof" or "qqq" (default
    from the stride). spectra (Q-TOF): "profile", "centroid", "both" (two
    descriptors, stride 284 only) or "mixed" (MS1 profile, MS2 centroid);
    default "both" for 284, "mixed" otherwise. centroid_format: 2 (flight
    times) or 3 (m/z) for Q-TOF; QQQ always uses 3. polarity: a code for
    every scan or "alternate" (0, 1, 0, ...). target_size: decoded bytes
    (12 per point) to aim for; the scan count is derived from it.
    """
    if stride not in STRIDES:
        raise ValueError(f"stride must be one of {STRIDES}")
    if instrument is None:
        instrument = "qqq" if stride in QQQ_STRIDES else "qtof"
    if instrument not in ("qtof", "qqq"):
        raise ValueError("instrument must be 'qtof' or 'qqq'")
    if instrument == "qtof" and stride not in TOF_STRIDES:
        raise ValueError(f"Q-TOF runs use strides {TOF_STRIDES}; {stride} carries no calibration id")
    if instrument == "qqq" and stride not in QQQ_STRIDES:
        raise ValueError(f"triple-quadrupole runs use strides {QQQ_STRIDES}")
    if encoding not in ENCODINGS:
        raise ValueError(f"encoding must be one of {ENCODINGS}")
    if spectra is None:
        spectra = "centroid" if instrument == "qqq" else ("both" if stride == 284 else "mixed")
    if spectra not in SPECTRA:
        raise ValueError(f"spectra must be one of {SPECTRA}")
    if spectra == "both" and stride != 284:
        raise ValueError("only stride 284 has room for a profile and a centroid block per scan")
    if instrument == "qqq" and spectra != "centroid":
        raise ValueError("triple-quadrupole runs carry centroid blocks only")
    if centroid_format not in (2, 3):
        raise ValueError("centroid_format must be 2 or 3")
    if points < 1:
        raise ValueError("points must be >= 1")
    if not 0.0 <= ms2_share <= 1.0:
        raise ValueError("ms2_share must be between 0 and 1")
    if calibrations < 1 or compounds < 1:
        raise ValueError("calibrations and compounds must be >= 1")
    lo, hi = mz_range
    if not 0 < lo < hi:
        raise ValueError("mz_range must be 0 < low < high")

    def make(n_scans: int) -> RunParams:
        return RunParams(
            scans=n_scans, points=points, ms2_share=ms2_share, stride=stride, encoding=encoding, seed=seed,
            instrument=instrument, spectra=spectra, centroid_format=3 if instrument == "qqq" else centroid_format,
            mz_range=(float(lo), float(hi)), cycle_time_s=cycle_time_s, polarity=_parse_polarity(polarity),
            calibrations=calibrations, compounds=compounds, background_ions=background_ions,
            resolution=resolution, first_scan_id=first_scan_id, header_size=header_size,
            acquired_time=acquired_time, mrm_channels=mrm_channels,
        )

    if target_size is not None:
        if target_size <= 0:
            raise ValueError("target_size must be positive")
        guess = max(1, math.ceil(target_size / (12 * points)))
        probe = _Generator(make(guess))
        sample = [int(round(j * (guess - 1) / 4)) for j in range(5)] if guess > 1 else [0]
        per_scan = 0.0
        for j in sample:
            sc = probe.scan(j)
            per_scan += len(sc.profile.intensities) if sc.profile else 0
            per_scan += len(sc.centroids.xs) if sc.centroids else 0
        per_scan = max(per_scan / len(sample), 1.0)
        scans = max(1, math.ceil(target_size / (12 * per_scan)))
    if scans < 1:
        raise ValueError("scans must be >= 1")
    params = make(scans)
    gen = _Generator(params)
    entries = [DefaultCalEntry(k + 1, cal) for k, cal in enumerate(gen.cals)]
    device = Device("TandemQuadrupole", "G6410A") if instrument == "qqq" else Device("QTOF", "G6530A")
    acq = Acquisition(
        scans=LazyScans(scans, gen.scan),
        stride=stride,
        calibration_entries=entries,
        device=device,
        acquired_time=acquired_time,
        header_size=header_size,
        params=params,
    )
    return acq
