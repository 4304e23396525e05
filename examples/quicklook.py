#!/usr/bin/env python3
"""Quick look at an Agilent acquisition (".d" folder) with velorium.

    python examples/quicklook.py                 the sample run that ships with velorium
    python examples/quicklook.py RUN.d           your own acquisition
    python examples/quicklook.py RUN.d --out run.png --top 15

Prints the run information, the instrument, the scan counts per MS level, the
retention-time range and the most intense MS1 peaks, then writes a figure
(TIC, extracted-ion chromatograms of the most intense MS1 peaks, base-peak
chromatogram, one MS1 and one MS2 spectrum) to quicklook.png in the current
folder, or to --out FILE.

The run is opened with velorium.Acquisition, which reads the metadata and the
scan index without decoding any spectrum; the spectra are then decoded ahead on
worker threads by Acquisition.spectra(), so the pass over the peaks needs only a
few spectra in memory. Last, the run is converted to indexed mzML (NAME.mzML
in the current folder for NAME.d, or --mzml FILE) with velorium's own writer,
and the lines that open it with pyopenms are printed. Needs numpy, and
matplotlib for the figure.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

PROG = "quicklook"
SAMPLE = Path(__file__).resolve().parent / "data" / "sample.d"


class QuickLookError(Exception):
    """A failure reported to the user as one line on stderr (exit status 1)."""


# --- Progress bar ------------------------------------------------------------


class Progress:
    """A one-line progress bar on a terminal; silent when the stream is not one."""

    def __init__(self, total: int, label: str, stream: Any = None, enabled: bool | None = None,
                 width: int = 30, min_interval: float = 0.1):
        self.total = max(total, 0)
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        if enabled is None:
            enabled = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = enabled
        self.width = width
        self.min_interval = min_interval
        self.count = 0
        self.start = time.perf_counter()
        self._last_draw = -math.inf

    def update(self, n: int = 1) -> None:
        self.count += n
        now = time.perf_counter()
        if self.enabled and (now - self._last_draw >= self.min_interval or self.count == self.total):
            self._last_draw = now
            self.stream.write("\r" + self.render(now - self.start))
            self.stream.flush()

    def render(self, elapsed: float) -> str:
        if self.total > 0:
            frac = min(self.count / self.total, 1.0)
            filled = round(frac * self.width)
            bar = "#" * filled + "-" * (self.width - filled)
            rate = self.count / elapsed if elapsed > 0 else 0.0
            left = (self.total - self.count) / rate if rate > 0 else 0.0
            return (f"{self.label} [{bar}] {self.count}/{self.total} {frac * 100:3.0f}% "
                    f"{elapsed:5.1f}s elapsed, {left:4.1f}s left")
        return f"{self.label} {self.count} {elapsed:5.1f}s"

    def close(self) -> float:
        elapsed = time.perf_counter() - self.start
        if self.enabled:
            self.stream.write("\r" + self.render(elapsed) + "\n")
            self.stream.flush()
        return elapsed

    def wrap(self, items: Iterable[Any]) -> Iterator[Any]:
        for item in items:
            yield item
            self.update()


# --- Peaks -------------------------------------------------------------------


@dataclass(frozen=True)
class Peak:
    mz: float
    intensity: float
    rt_sec: float
    scan_number: int
    tolerance: float  # m/z within which another apex is the same ion


def pick_peaks(mz: Any, intensity: Any, profile: bool, limit: int) -> list[tuple[float, float, float]]:
    """The `limit` most intense peaks of one spectrum as (m/z, intensity, tolerance).

    A profile spectrum's peaks are its local maxima, each placed at the vertex
    of the parabola through the maximum and its two neighbours; the tolerance
    is the local point spacing. A centroid spectrum's points are its peaks,
    with a tolerance of 20 ppm.
    """
    import numpy as np

    x = np.asarray(mz, dtype=np.float64)
    y = np.asarray(intensity, dtype=np.float64)
    if x.size == 0 or limit <= 0:
        return []
    if not profile or x.size < 3:
        order = np.argsort(y, kind="stable")[::-1][:limit]
        return [(float(x[i]), float(y[i]), 20e-6 * float(x[i])) for i in order if y[i] > 0]
    left, mid, right = y[:-2], y[1:-1], y[2:]
    idx = np.flatnonzero((mid > left) & (mid >= right) & (mid > 0)) + 1
    if idx.size == 0:
        return []
    idx = idx[np.argsort(y[idx], kind="stable")[::-1][:limit]]
    y0, y1, y2 = y[idx - 1], y[idx], y[idx + 1]
    denom = y0 - 2.0 * y1 + y2
    with np.errstate(divide="ignore", invalid="ignore"):
        shift = np.where(denom < 0, 0.5 * (y0 - y2) / denom, 0.0)
    spacing = 0.5 * (x[idx + 1] - x[idx - 1])
    apex = x[idx] + np.clip(shift, -0.5, 0.5) * spacing
    return [(float(a), float(h), float(s)) for a, h, s in zip(apex, y1, spacing)]


def merge_peaks(peaks: Iterable[Peak], limit: int) -> list[Peak]:
    """The `limit` most intense ions: apexes closer than their tolerance count once."""
    kept: list[Peak] = []
    for p in sorted(peaks, key=lambda p: (-p.intensity, p.mz)):
        if all(abs(p.mz - k.mz) > max(p.tolerance, k.tolerance) for k in kept):
            kept.append(p)
            if len(kept) == limit:
                break
    return kept


# --- One pass over the spectra ----------------------------------------------


@dataclass
class RunSummary:
    scans: int = 0
    levels: dict[int, dict[str, int]] = field(default_factory=dict)  # level -> scan mode -> count
    polarities: dict[str, int] = field(default_factory=dict)
    rt_min: float = math.inf
    rt_max: float = -math.inf
    points: int = 0
    mz_low: float = math.inf
    mz_high: float = -math.inf
    tic_rt: list[float] = field(default_factory=list)  # MS1 scans only, as the TIC and BPC
    tic: list[float] = field(default_factory=list)
    bpc: list[float] = field(default_factory=list)
    candidates: list[Peak] = field(default_factory=list)
    best_ms1: Any = None  # the velorium.Spectrum objects shown in the figure (see summarize)
    best_ms2: Any = None
    seconds: float = 0.0


def summarize(spectra: Iterable[Any], peaks_per_scan: int = 25) -> RunSummary:
    """Counts, ranges, chromatograms and peak candidates of a stream of spectra.

    The spectra kept for the figure: the MS1 scan with the highest TIC and the
    most intense MS2 scan of its cycle (those after it and before the next
    MS1 scan); when its cycle has none, the first MS2 scan after it; when
    there is none either, the most intense MS2 scan of the run.
    """
    s = RunSummary()
    cycle_ms1 = cycle_ms2 = top_ms2 = None
    awaiting_ms2 = False  # the best MS1 scan so far had no MS2 scan in its cycle

    def close_cycle() -> None:
        nonlocal awaiting_ms2
        if cycle_ms1 is not None and (s.best_ms1 is None
                                      or cycle_ms1.total_ion_current > s.best_ms1.total_ion_current):
            s.best_ms1, s.best_ms2 = cycle_ms1, cycle_ms2
            awaiting_ms2 = cycle_ms2 is None

    for sp in spectra:
        s.scans += 1
        level = sp.ms_level
        mode = sp.scan_mode or "unknown"
        modes = s.levels.setdefault(level, {})
        modes[mode] = modes.get(mode, 0) + 1
        pol = sp.polarity or "unknown"
        s.polarities[pol] = s.polarities.get(pol, 0) + 1
        rt = sp.retention_time_sec
        s.rt_min = min(s.rt_min, rt)
        s.rt_max = max(s.rt_max, rt)
        n = len(sp)
        s.points += n
        if sp.low_mz is not None and sp.high_mz is not None:
            s.mz_low = min(s.mz_low, sp.low_mz)
            s.mz_high = max(s.mz_high, sp.high_mz)
        tic = sp.total_ion_current
        if level == 1:
            s.tic_rt.append(rt)
            s.tic.append(tic)
            s.bpc.append(sp.base_peak_intensity or 0.0)
            if n:
                for mz, h, tol in pick_peaks(sp.mz_array, sp.intensity_array, mode == "profile", peaks_per_scan):
                    s.candidates.append(Peak(mz, h, rt, sp.scan_number, tol))
                close_cycle()
                cycle_ms1, cycle_ms2 = sp, None
        elif level >= 2 and n:
            if awaiting_ms2:
                s.best_ms2, awaiting_ms2 = sp, False
            if cycle_ms2 is None or tic > cycle_ms2.total_ion_current:
                cycle_ms2 = sp
            if top_ms2 is None or tic > top_ms2.total_ion_current:
                top_ms2 = sp
    close_cycle()
    if s.best_ms2 is None:
        s.best_ms2 = top_ms2
    return s


# --- Ion chromatograms ------------------------------------------------------

XIC_IONS = 4  # the most intense MS1 peaks whose chromatograms the figure shows


@dataclass
class IonChromatograms:
    peaks: list[Peak]
    rt_sec: Any  # numpy arrays from Acquisition.xic
    values: Any  # one row per peak
    half_width: float  # m/z
    seconds: float


def ion_chromatograms(acquisition: Any, peaks: Sequence[Peak]) -> IonChromatograms | None:
    """The chromatograms of `peaks` over the MS1 scans, all in one pass: the
    summed intensity within the widest of the peaks' tolerances (one point
    spacing for profile peaks) around each apex m/z."""
    if not peaks:
        return None
    half_width = max(p.tolerance for p in peaks)
    t0 = time.perf_counter()
    rt, values = acquisition.xic([p.mz for p in peaks], half_width, unit="mz", ms_level=1)
    return IonChromatograms(list(peaks), rt, values, half_width, time.perf_counter() - t0)


# --- Text output -------------------------------------------------------------


def human_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(n) < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def format_table(header: Sequence[str], rows: Sequence[Sequence[str]], indent: str = "  ") -> str:
    """Right-aligned columns under a header and a rule."""
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    lines = [indent + "  ".join(h.rjust(w) for h, w in zip(header, widths)),
             indent + "  ".join("-" * w for w in widths)]
    lines += [indent + "  ".join(c.rjust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def describe_run(path: str, info: dict, device: dict | None, index: dict, scan_count: int) -> str:
    fmt, nid, inst = info["source_file_format"], info["native_id_format"], info["instrument"]
    lines = [
        f"Acquisition      {path}",
        f"  file           {info['source_file_name']} ({fmt['name']}, {fmt['accession']})",
        f"  native ids     {nid['name']} ({nid['accession']})",
        f"  started        {info['start_timestamp'] or 'not recorded'}",
        f"  read by        {info['software_name']} {info['software_version']}",
        f"Instrument       {inst['name']} ({inst['accession']})",
    ]
    if device is not None:
        lines.append(f"  device         {device['name']}, model {device['model']}")
    else:
        lines.append("  device         no Devices.xml")
    lines.append(f"  scan index     {len(index['records'])} records of {index['stride']} bytes, "
                 f"{index['global_header_size']}-byte header")
    n_cal = sum(1 for r in index["records"] if r["calibration_source"] is not None)
    if n_cal:
        sources = sorted({r["calibration_source"] for r in index["records"] if r["calibration_source"]})
        lines.append(f"  calibration    {n_cal} of {scan_count} scans ({', '.join(sources)})")
    return "\n".join(lines)


def describe_scans(s: RunSummary) -> str:
    lines = [f"Scans            {s.scans} ({s.points:,} points, {human_bytes(12 * s.points)} as m/z + intensity)"]
    for level in sorted(s.levels):
        modes = s.levels[level]
        detail = ", ".join(f"{n} {m}" for m, n in sorted(modes.items()))
        lines.append(f"  MS{level:<12} {sum(modes.values()):>5}  ({detail})")
    if s.scans:
        lines.append(f"Retention time   {s.rt_min:.2f} - {s.rt_max:.2f} s "
                     f"({s.rt_min / 60:.2f} - {s.rt_max / 60:.2f} min)")
        pols = ", ".join(f"{n} {p}" for p, n in sorted(s.polarities.items()))
        lines.append(f"Polarity         {pols}")
    if math.isfinite(s.mz_low):
        lines.append(f"Scan range       m/z {s.mz_low:g} - {s.mz_high:g}")
    return "\n".join(lines)


def describe_peaks(peaks: Sequence[Peak]) -> str:
    if not peaks:
        return "Most intense MS1 peaks: none (no MS1 scan has peaks)"
    rows = [(str(i), f"{p.mz:.4f}", f"{p.intensity:,.0f}", f"{p.rt_sec / 60:.2f}", str(p.scan_number))
            for i, p in enumerate(peaks, 1)]
    return ("Most intense MS1 peaks (apex over the run; apexes closer than one point spacing, or 20 ppm for\n"
            "centroids, are one peak)\n"
            + format_table(("#", "m/z", "intensity", "RT (min)", "scan"), rows))


# --- Figure ------------------------------------------------------------------


def spectrum_title(sp: Any) -> str:
    text = f"MS{sp.ms_level} scan {sp.scan_number}, RT {sp.retention_time_sec / 60:.2f} min"
    if sp.precursor and sp.precursor.get("target_mz") is not None:
        text += f", precursor m/z {sp.precursor['target_mz']:.4f}"
    return text + f" ({sp.scan_mode or 'unknown mode'})"


def spread_labels(peaks: Sequence[tuple[float, float, float]], min_gap: float, limit: int) -> list[tuple[float, float]]:
    """The most intense peaks, at least min_gap apart in m/z, so that their labels do not overlap."""
    chosen: list[tuple[float, float]] = []
    for mz, h, _ in sorted(peaks, key=lambda p: -p[1]):
        if all(abs(mz - c) >= min_gap for c, _ in chosen):
            chosen.append((mz, h))
            if len(chosen) == limit:
                break
    return chosen


def draw_spectrum(ax: Any, sp: Any, color: str, mark_mz: float | None = None, label_peaks: int = 8) -> None:
    import numpy as np
    from matplotlib.ticker import EngFormatter

    mz = sp.mz_array  # views of the decoded values, no copy
    y = sp.intensity_array.astype(np.float64)
    profile = sp.scan_mode == "profile"
    if profile:
        ax.plot(mz, y, color=color, lw=0.7)
    else:
        ax.vlines(mz, 0.0, y, color=color, lw=1.2)
    ax.set_title(spectrum_title(sp), fontsize=10)
    ax.set_xlabel("m/z")
    ax.set_ylabel("Intensity (counts)")
    ax.yaxis.set_major_formatter(EngFormatter(sep=""))
    top = float(y.max()) if y.size else 0.0
    ax.set_ylim(0, top * 1.15 if top > 0 else 1.0)
    prec = (sp.precursor or {}).get("target_mz")
    marker = prec if prec is not None else mark_mz
    # Zoom on where the signal is: points above 0.5 % of the base peak.
    strong = mz[y > 0.005 * top] if top > 0 else mz
    lo, hi = (float(strong.min()), float(strong.max())) if strong.size else (0.0, 1.0)
    if marker is not None:
        lo, hi = min(lo, marker), max(hi, marker)
    pad = max(0.07 * (hi - lo), 5.0)
    ax.set_xlim(max(lo - pad, 0.0), hi + pad)
    candidates = pick_peaks(mz, y, profile, 60)
    for mzp, h in spread_labels(candidates, 0.11 * (hi - lo + 2 * pad), label_peaks):
        ax.annotate(f"{mzp:.3f}", (mzp, h), xytext=(0, 3), textcoords="offset points",
                    ha="center", va="bottom", fontsize=7, color="0.25")
    if marker is not None:
        what = "precursor" if prec is not None else "precursor of the MS2 scan"
        ax.plot([marker], [0.0], marker="v", color="crimson", ms=9, clip_on=False, zorder=5, ls="none",
                transform=ax.get_xaxis_transform(), label=f"{what}: m/z {marker:.4f}")
        ax.legend(loc="upper left", fontsize=8, frameon=False)
    if mark_mz is not None and profile:
        draw_zoom(ax, mz, y, mark_mz, color)


def draw_zoom(ax: Any, mz: Any, y: Any, center: float, color: str, half_width: float = 3.0) -> None:
    """An inset with the profile around `center` (a precursor's isotope cluster)."""
    import numpy as np
    from matplotlib.ticker import EngFormatter

    sel = (mz >= center - 1.0) & (mz <= center + half_width)
    if not np.any(sel) or float(y[sel].max()) <= 0:
        return
    inset = ax.inset_axes((0.38, 0.45, 0.34, 0.42))
    inset.plot(mz[sel], y[sel], color=color, lw=0.9, marker=".", ms=2)
    inset.set_xlim(center - 1.0, center + half_width)
    inset.set_ylim(0, float(y[sel].max()) * 1.1)
    inset.axvline(center, color="crimson", lw=0.8, ls=":")
    inset.set_title(f"zoom: m/z {center - 1.0:.0f} - {center + half_width:.0f}", fontsize=7)
    inset.tick_params(labelsize=6)
    inset.yaxis.set_major_formatter(EngFormatter(sep=""))


def draw_ion_chromatograms(ax: Any, ions: IonChromatograms | None) -> None:
    from matplotlib.ticker import EngFormatter

    if ions is None:
        ax.text(0.5, 0.5, "no MS1 peaks", ha="center", va="center", transform=ax.transAxes)
        ax.set_yticks([])
    else:
        for row, peak in zip(ions.values, ions.peaks):
            ax.plot(ions.rt_sec / 60.0, row, lw=1.0, label=f"m/z {peak.mz:.4f}")
        ax.legend(loc="best", fontsize=8, framealpha=0.85)
        ax.set_ylim(0, float(ions.values.max()) * 1.1 if ions.values.max() > 0 else 1.0)
    ax.set_title("Extracted-ion chromatograms of the most intense MS1 peaks"
                 + (f" (m/z ± {ions.half_width:.3g})" if ions else ""), fontsize=10)
    ax.set_ylabel("Intensity (counts)")
    ax.yaxis.set_major_formatter(EngFormatter(sep=""))
    ax.grid(True, axis="x", alpha=0.3)
    ax.tick_params(labelbottom=False)


def write_figure(out: Path, s: RunSummary, title: str, ions: IonChromatograms | None = None) -> None:
    try:
        import matplotlib
    except ImportError:
        raise QuickLookError("matplotlib is needed for the figure: pip install matplotlib "
                             "(or pass --no-plot)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import EngFormatter

    fig = plt.figure(figsize=(12, 12), dpi=110, layout="constrained")
    grid = fig.add_gridspec(4, 2, height_ratios=[1, 1, 1, 1.5])
    ax_tic = fig.add_subplot(grid[0, :])
    ax_xic = fig.add_subplot(grid[1, :], sharex=ax_tic)
    ax_bpc = fig.add_subplot(grid[2, :], sharex=ax_tic)
    ax_ms1 = fig.add_subplot(grid[3, 0])
    ax_ms2 = fig.add_subplot(grid[3, 1])
    fig.suptitle(title, fontsize=13)

    rt_min = [t / 60.0 for t in s.tic_rt]
    for ax, values, color, name in ((ax_tic, s.tic, "tab:blue", "Total ion current (TIC) of the MS1 scans"),
                                    (ax_bpc, s.bpc, "tab:green", "Base peak chromatogram (BPC) of the MS1 scans")):
        if values:
            ax.plot(rt_min, values, color=color, lw=1.0)
            ax.fill_between(rt_min, values, color=color, alpha=0.15, lw=0)
            ax.set_ylim(0, max(values) * 1.1 if max(values) > 0 else 1.0)
        else:
            ax.text(0.5, 0.5, "no MS1 scans", ha="center", va="center", transform=ax.transAxes)
            ax.set_yticks([])
        ax.set_title(name, fontsize=10)
        ax.set_ylabel("Intensity (counts)")
        ax.yaxis.set_major_formatter(EngFormatter(sep=""))
        ax.grid(True, axis="x", alpha=0.3)
        for sp, c in ((s.best_ms1, "tab:blue"), (s.best_ms2, "tab:orange")):
            if sp is not None:
                ax.axvline(sp.retention_time_sec / 60.0, color=c, ls="--", lw=0.8,
                           label=f"MS{sp.ms_level} scan {sp.scan_number}, shown below")
    ax_tic.tick_params(labelbottom=False)
    draw_ion_chromatograms(ax_xic, ions)
    ax_bpc.set_xlabel("Retention time (min)")
    if rt_min:
        span = max(rt_min[-1] - rt_min[0], 1e-3)
        ax_tic.set_xlim(rt_min[0] - 0.01 * span, rt_min[-1] + 0.01 * span)
    if s.best_ms1 is not None or s.best_ms2 is not None:
        ax_tic.legend(loc="best", fontsize=8, framealpha=0.85)

    prec = (s.best_ms2.precursor or {}).get("target_mz") if s.best_ms2 is not None else None
    for ax, sp, color, level in ((ax_ms1, s.best_ms1, "tab:blue", 1), (ax_ms2, s.best_ms2, "tab:orange", 2)):
        if sp is None:
            ax.text(0.5, 0.5, f"no MS{level} spectrum with peaks", ha="center", va="center",
                    transform=ax.transAxes)
            ax.set_xlabel("m/z")
            ax.set_ylabel("Intensity (counts)")
            ax.set_xticks([])
            ax.set_yticks([])
            ax.set_title(f"MS{level} spectrum", fontsize=10)
        else:
            draw_spectrum(ax, sp, color, mark_mz=prec if level == 1 else None)
    try:
        fig.savefig(out)
    except OSError as exc:
        raise QuickLookError(f"cannot write {out}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)


# --- Command line ------------------------------------------------------------


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Print a summary of an Agilent acquisition (.d folder) and plot its chromatograms "
                    "and two of its spectra.",
    )
    p.add_argument("path", nargs="?", help=f"acquisition folder (default: the sample run {SAMPLE.name})")
    p.add_argument("--out", type=Path, default=Path("quicklook.png"), metavar="FILE",
                   help="figure to write (default: quicklook.png in the current folder)")
    p.add_argument("--top", type=int, default=10, metavar="N", help="rows of the peak table (default 10)")
    p.add_argument("--no-plot", action="store_true", help="print the summary only; write no figure")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.add_argument("--mzml", type=Path, metavar="FILE",
                   help="mzML copy to write (default: NAME.mzML in the current folder for NAME.d)")
    p.add_argument("--no-mzml", action="store_true", help="write no mzML copy")
    return p.parse_args(argv)


def mzml_path(path: str, chosen: Path | None) -> Path:
    """The mzML file the run is converted to: --mzml, or NAME.mzML for NAME.d."""
    if chosen is not None:
        return chosen
    name = Path(os.path.abspath(path)).name
    return Path((name[:-2] if name.lower().endswith(".d") and len(name) > 2 else name) + ".mzML")


def write_mzml(acquisition: Any, out: Path) -> int:
    """Converts the run to indexed mzML with the library's writer; returns the spectra written."""
    try:
        acquisition.to_mzml(out)
    except (RuntimeError, OSError) as exc:
        raise QuickLookError(f"{out}: cannot write the mzML copy: {exc}") from None
    return len(acquisition)


def run(args: argparse.Namespace) -> None:
    try:
        import velorium
    except ImportError as exc:
        raise QuickLookError(f"cannot import velorium ({exc}); install it with "
                             "'pip install .' in the velorium folder, or run scripts/demo.sh") from None
    try:
        import numpy  # noqa: F401
    except ImportError:
        raise QuickLookError("numpy is needed: pip install numpy matplotlib") from None

    path = args.path if args.path is not None else str(SAMPLE)
    if not os.path.exists(path):
        raise QuickLookError(f"{path or repr(path)}: no such file or folder")
    if not os.path.isdir(path):
        raise QuickLookError(f"{path}: not an acquisition (an acquisition is a folder, e.g. RUN.d)")
    if args.top < 0:
        raise QuickLookError("--top must be 0 or more")

    # Opening reads the scan index and the metadata; no spectrum is decoded yet.
    t0 = time.perf_counter()
    try:
        acq = velorium.Acquisition(path)
        info, device, index = acq.run_info(), acq.device_info(), acq.scan_index()
        scan_count = len(acq)
    except RuntimeError as exc:
        raise QuickLookError(f"{path}: not a readable acquisition: {exc}") from None
    opened = time.perf_counter() - t0
    print(describe_run(path, info, device, index, scan_count))
    print(f"  opened in      {opened:.3f} s (Acquisition: nothing decoded yet)")
    print()

    progress = Progress(scan_count, "streaming spectra", enabled=False if args.no_progress else None)
    try:
        summary = summarize(progress.wrap(acq.spectra()))
    except RuntimeError as exc:
        progress.close()
        raise QuickLookError(f"{path}: spectrum {progress.count} failed: {exc}") from None
    summary.seconds = progress.close()
    print(describe_scans(summary))
    print(f"Streamed         {summary.scans} spectra with Acquisition.spectra() in {summary.seconds:.2f} s")
    print()
    peaks = merge_peaks(summary.candidates, max(args.top, XIC_IONS))
    print(describe_peaks(peaks[:args.top]))
    try:
        ions = ion_chromatograms(velorium.Acquisition(path), peaks[:XIC_IONS])
    except RuntimeError as exc:
        raise QuickLookError(f"{path}: ion chromatograms failed: {exc}") from None
    if ions is not None:
        print()
        print(f"Ion chromatograms of the {len(ions.peaks)} most intense MS1 peaks (m/z ± {ions.half_width:.4f}) "
              f"over {len(ions.rt_sec)} MS1 scans with Acquisition.xic in {ions.seconds:.2f} s")

    if not args.no_plot:
        name = info["source_file_name"]
        title = f"{name}: {info['instrument']['name']}, {summary.scans} scans"
        write_figure(args.out, summary, title, ions)
        print()
        print(f"Wrote {args.out}")

    if not args.no_mzml:
        mzml = mzml_path(path, args.mzml)
        spectra = write_mzml(acq, mzml)
        print()
        print(f"Wrote {mzml} (indexed mzML 1.1, {spectra} spectra). Open it with pyopenms:")
        print("    import pyopenms")
        print("    experiment = pyopenms.MSExperiment()")
        print(f"    pyopenms.MzMLFile().load({str(mzml)!r}, experiment)")


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        run(args)
    except QuickLookError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except UnicodeEncodeError:
        print(f"{PROG}: error: the path cannot be encoded as UTF-8", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # stdout closed early (e.g. piped into head); not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
