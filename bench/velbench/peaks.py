"""Peak picking: velorium.pick_peaks side by side with pyOpenMS' PeakPickerHiRes.

accuracy: profile spectra rendered from known peak lists (Gaussian peaks on
the flight-time grid of a time-of-flight calibration, resolutions 10,000 to
60,000, Poisson counts on a baseline of one count, overlaps as they fall),
both pickers with their default parameters: the m/z error of the true peaks
found (median and 95th percentile, ppm), the recall of the true peaks above
three times the noise, and the picked peaks above that level that match no
true peak.

speed: both pickers on the same profile spectra (the sample's), CPU time of
this process (every thread), interleaved rounds.

acquisition: a pass over Acquisition(path, pick_peaks="all") against a pass
over Acquisition(path), interleaved, wall and CPU time.

sizes: the output of `velorium convert --centroid` (and with --compact) ÷
the acquisition folder, on the sample and on the large run, and how much of
the sample's file is the XML around each spectrum (everything of a spectrum
element but its base64 arrays).

features: OpenMS' FeatureFinderMetabo (MassTraceDetection,
ElutionPeakDetection, FeatureFindingMetabo) on the MS1 spectra of a run
picked by velorium and on the same spectra picked by PeakPickerHiRes: the
share of PeakPickerHiRes' features that velorium's run has within 10 ppm and
5 s, and the agreement of the extracted-ion chromatograms of the strongest
ones. velorium's side goes the way users take: `velorium convert
--pick-peaks`, the mzML read by pyopenms. On the sample (profile sampled
about every 360 ppm) and on a synthetic run sampled as finely as real
time-of-flight profiles (7 to 13 ppm per point, resolution 20,000).
"""

from __future__ import annotations

import math
import re
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np

from .common import ROOT, interleaved, ratio, summary

RESOLUTIONS = (10000, 20000, 40000, 60000)
MATCH_WIDTHS = 0.5     # a picked peak matches a true one within half its width
FEATURE_PPM = 10.0
FEATURE_SECONDS = 5.0
WIDE_PPM = 50.0        # the sample's peaks are sampled every ~360 ppm: the pickers' centroids differ more than 10 ppm


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def with_cpu_time(fn, spent: list[float]):
    def wrapped():
        start = cpu_seconds()
        try:
            return fn()
        finally:
            spent.append(cpu_seconds() - start)
    return wrapped


# --- the two pickers -----------------------------------------------------------


def openms_picker():
    import pyopenms as oms

    return oms.PeakPickerHiRes()


def openms_spectrum(mz, intensity, rt: float = 0.0, level: int = 1):
    import pyopenms as oms

    s = oms.MSSpectrum()
    s.set_peaks((np.array(mz, dtype=np.float64), np.array(intensity, dtype=np.float32)))  # copies: writable
    s.setRT(rt)
    s.setMSLevel(level)
    s.setType(oms.SpectrumSettings.SpectrumType.PROFILE)
    return s


def openms_pick(picker, mz, intensity) -> tuple[np.ndarray, np.ndarray]:
    import pyopenms as oms

    out = oms.MSSpectrum()
    picker.pick(openms_spectrum(mz, intensity), out)
    pm, pi = out.get_peaks()
    return np.asarray(pm, dtype=np.float64), np.asarray(pi, dtype=np.float64)


# --- accuracy ------------------------------------------------------------------


def truth_spectra(seed: int = 20, peaks: int = 400):
    sys.path.insert(0, str(ROOT / "tools"))
    from acqwriter import random_peaks, render_profile

    out = []
    for resolution in RESOLUTIONS:
        rng = np.random.default_rng([seed, resolution])
        mz, h = random_peaks(rng, peaks, mz_range=(120.0, 980.0), heights=(2.0, 1e5))
        out.append((resolution, render_profile(mz, h, resolution, mz_range=(100.0, 1000.0), baseline=1.0, rng=rng)))
    return out


def score(picked_mz, picked_intensity, truth, resolution: float) -> dict:
    """The errors, recall and false peaks of one picker on one spectrum."""
    level = 3.0 * truth.noise
    true_mz, true_h = truth.peak_mz, truth.peak_height
    errors, found = [], 0
    strong = true_h > level
    if picked_mz.size:
        j = np.clip(np.searchsorted(picked_mz, true_mz), 1, max(picked_mz.size - 1, 1))
        candidates = np.stack([picked_mz[np.maximum(j - 1, 0)], picked_mz[np.minimum(j, picked_mz.size - 1)]])
        nearest = candidates[np.argmin(np.abs(candidates - true_mz), axis=0), np.arange(true_mz.size)]
        matched = np.abs(nearest - true_mz) <= MATCH_WIDTHS * true_mz / resolution
        found = int(np.count_nonzero(matched & strong))
        errors = (np.abs(nearest - true_mz) / true_mz * 1e6)[matched & strong].tolist()
        k = np.clip(np.searchsorted(true_mz, picked_mz), 1, true_mz.size - 1)
        distance = np.minimum(np.abs(true_mz[k] - picked_mz), np.abs(true_mz[k - 1] - picked_mz))
        false = int(np.count_nonzero((distance > MATCH_WIDTHS * picked_mz / resolution) & (picked_intensity > level)))
    else:
        false = 0
    return {"errors_ppm": errors, "found": found, "true_above": int(np.count_nonzero(strong)), "false_above": false,
            "picked": int(picked_mz.size)}


def accuracy() -> dict:
    import velorium

    picker = openms_picker()
    rows = []
    totals = {"velorium": [], "openms": []}
    for resolution, truth in truth_spectra():
        row = {"resolution": resolution, "points": int(truth.mz.size), "peaks": int(truth.peak_mz.size)}
        for name, (pm, pi) in (("velorium", velorium.pick_peaks(truth.mz, truth.intensity)),
                               ("openms", openms_pick(picker, truth.mz, truth.intensity))):
            s = score(np.asarray(pm), np.asarray(pi), truth, resolution)
            totals[name].append(s)
            row[name] = summarise([s])
        rows.append(row)
    return {"rows": rows, "all": {name: summarise(scores) for name, scores in totals.items()},
            "noise": 1.0, "level": "3 x noise", "match": f"{MATCH_WIDTHS} x FWHM"}


def summarise(scores: list[dict]) -> dict:
    errors = np.concatenate([np.asarray(s["errors_ppm"], dtype=np.float64) for s in scores])
    true_above = sum(s["true_above"] for s in scores)
    return {
        "median_ppm": float(np.median(errors)) if errors.size else math.nan,
        "p95_ppm": float(np.percentile(errors, 95)) if errors.size else math.nan,
        "recall": sum(s["found"] for s in scores) / true_above if true_above else math.nan,
        "false_above": sum(s["false_above"] for s in scores),
        "picked": sum(s["picked"] for s in scores),
    }


# --- speed ---------------------------------------------------------------------


def profile_spectra(path: str) -> list[tuple[np.ndarray, np.ndarray]]:
    import velorium

    reader = velorium.RawReader(path)
    table, scans = reader.peak_table(), reader.scan_table()
    o = table["offsets"]
    return [(table["mz"][o[i]:o[i + 1]], table["intensity"][o[i]:o[i + 1]])
            for i in np.flatnonzero(scans["scan_mode"] == 0)]


def speed(path: str, reps: int) -> dict:
    import pyopenms as oms

    import velorium

    spectra = profile_spectra(path)
    points = sum(int(m.size) for m, _ in spectra)
    experiment = oms.MSExperiment()
    for m, i in spectra:
        experiment.addSpectrum(openms_spectrum(m, i))
    picker = openms_picker()

    def run_velorium() -> int:
        return sum(int(velorium.pick_peaks(m, i)[0].size) for m, i in spectra)

    def run_openms() -> int:
        out = picker.pickExperiment(experiment, True)
        return sum(s.size() for s in out)

    cpu: dict[str, list[float]] = {"velorium": [], "openms": []}
    times, results = interleaved({name: with_cpu_time(fn, cpu[name]) for name, fn in
                                  (("velorium", run_velorium), ("openms", run_openms))}, reps)
    best = {name: min(v) for name, v in cpu.items()}
    return {
        "path": path, "spectra": len(spectra), "points": points, "peaks": results,
        "cpu_seconds": best, "wall": {name: summary(v) for name, v in times.items()},
        "points_per_second": {name: points / t for name, t in best.items()},
        "speedup": ratio(best["openms"], best["velorium"]),
    }


# --- Acquisition with picking over a large run --------------------------------


def acquisition(path: str, reps: int) -> dict:
    import velorium

    plain = velorium.Acquisition(path)
    picked = velorium.Acquisition(path, pick_peaks="all")

    def decode() -> int:
        return sum(len(s) for s in plain.spectra())

    def pick() -> int:
        return sum(len(s) for s in picked.spectra())

    decode()  # the page cache holds the files from here on
    cpu: dict[str, list[float]] = {"decode": [], "pick": []}
    times, results = interleaved({"decode": with_cpu_time(decode, cpu["decode"]),
                                  "pick": with_cpu_time(pick, cpu["pick"])}, reps)
    t = {name: summary(v) for name, v in times.items()}
    return {
        "path": path, "scans": len(plain), "points": results["decode"], "centroids": results["pick"],
        "times": t, "ratio": ratio(t["pick"]["min"], t["decode"]["min"]),
        "cpu_seconds": {name: min(v) for name, v in cpu.items()},
        "cpu_ratio": ratio(min(cpu["pick"]), min(cpu["decode"])),
    }


# --- a feature-finding workflow -------------------------------------------------


def experiment_of(spectra) -> "object":
    """An MSExperiment of centroided MS1 spectra: (rt, mz, intensity) triples."""
    import pyopenms as oms

    experiment = oms.MSExperiment()
    for rt, mz, intensity in spectra:
        s = openms_spectrum(mz, intensity, rt)
        s.setType(oms.SpectrumSettings.SpectrumType.CENTROID)
        experiment.addSpectrum(s)
    experiment.updateRanges()
    return experiment


def find_features(experiment) -> np.ndarray:
    """(m/z, rt, intensity) of each feature FeatureFinderMetabo finds."""
    import pyopenms as oms

    detection = oms.MassTraceDetection()
    p = detection.getDefaults()
    p.setValue("mass_error_ppm", FEATURE_PPM)
    p.setValue("noise_threshold_int", 10.0)
    detection.setParameters(p)
    traces = detection.run(experiment, 0)
    elution = oms.ElutionPeakDetection()
    p = elution.getDefaults()
    p.setValue("width_filtering", "fixed")
    elution.setParameters(p)
    split = elution.detectPeaks(traces)
    finder = oms.FeatureFindingMetabo()
    p = finder.getDefaults()
    p.setValue("isotope_filtering_model", "none")
    p.setValue("remove_single_traces", "false")
    finder.setParameters(p)
    features = oms.FeatureMap()
    finder.run(split, features)
    return np.array([(f.getMZ(), f.getRT(), f.getIntensity()) for f in features], dtype=np.float64).reshape(-1, 3)


def matched_share(reference: np.ndarray, other: np.ndarray, ppm: float = FEATURE_PPM) -> float:
    """The share of the reference features that `other` has within `ppm` and FEATURE_SECONDS."""
    if reference.size == 0:
        return math.nan
    order = np.argsort(other[:, 0])
    mz = other[order, 0]
    hits = 0
    for m, rt, _ in reference:
        w = m * ppm * 1e-6
        lo, hi = np.searchsorted(mz, m - w), np.searchsorted(mz, m + w, "right")
        hits += bool(np.any(np.abs(other[order[lo:hi], 1] - rt) <= FEATURE_SECONDS))
    return hits / len(reference)


def xic_of(spectra, targets: np.ndarray, ppm: float) -> np.ndarray:
    out = np.zeros((targets.size, len(spectra)))
    for s, (_, mz, intensity) in enumerate(spectra):
        cumulative = np.concatenate(([0.0], np.cumsum(intensity, dtype=np.float64)))
        w = targets * ppm * 1e-6
        out[:, s] = cumulative[np.searchsorted(mz, targets + w, "right")] - cumulative[np.searchsorted(mz, targets - w)]
    return out


# --- output sizes --------------------------------------------------------------

# The goal is on the defaults; a higher --min-snr shows what the noise peaks
# of the defaults cost.
SIZE_OPTIONS = {"centroid": ["--centroid"], "centroid-compact": ["--centroid", "--compact"],
                "centroid-snr-5": ["--centroid", "--min-snr", "5"]}


def spectrum_xml(path: Path) -> dict:
    """The bytes of the spectrum elements of an mzML, their base64 arrays
    excepted: the XML around each spectrum."""
    data = path.read_bytes()
    spectra = xml = 0
    for element in re.finditer(rb"<spectrum .*?</spectrum>", data, re.DOTALL):
        arrays = sum(len(b) for b in re.findall(rb"<binary>(.*?)</binary>", element.group(0), re.DOTALL))
        spectra += 1
        xml += len(element.group(0)) - arrays
    return {"file_bytes": len(data), "spectra": spectra, "xml_bytes": xml,
            "xml_per_spectrum": xml / spectra if spectra else math.nan,
            "xml_share": xml / len(data) if data else math.nan}


def sizes(exe: str, runs: dict[str, str], work: Path) -> dict:
    """Each run converted with each of SIZE_OPTIONS: the output ÷ the folder."""
    from .export import convert_once, folder_bytes

    out: dict = {"folder_bytes": {name: folder_bytes(path) for name, path in runs.items()}, "bytes": {}, "ratio": {}}
    for name, path in runs.items():
        out["bytes"][name] = {option: convert_once(exe, path, work / f"{name}-{option}.mzML", extra)["bytes"]
                              for option, extra in SIZE_OPTIONS.items()}
        out["ratio"][name] = {option: b / out["folder_bytes"][name] for option, b in out["bytes"][name].items()}
    out["centroids"] = {name: centroid_counts(path) for name, path in runs.items()}
    kept = work / "sample-centroid.mzML"
    convert(exe, runs["sample"], kept, SIZE_OPTIONS["centroid"])
    out["sample_xml"] = spectrum_xml(kept)
    kept.unlink()
    return out


def centroid_counts(path: str, scans: int = 10) -> dict:
    """Centroids per picked spectrum with the defaults, and how many of them
    stand above 5 times the noise level, over `scans` spectra spread over the run."""
    import velorium

    plain, picked = velorium.Acquisition(path), velorium.Acquisition(path, pick_peaks="all")
    chosen = np.flatnonzero(plain.scan_table()["scan_mode"] == 0).tolist()
    chosen = chosen[:: max(1, len(chosen) // scans)][:scans]
    total = strong = 0
    for i in chosen:
        profile = plain[i].intensity_array
        positive = profile[profile > 0]
        noise = float(np.median(positive)) if positive.size else 0.0
        heights = picked[i].intensity_array
        total += heights.size
        strong += int(np.count_nonzero(heights > 5.0 * noise))
    return {"spectra": len(chosen), "per_spectrum": total / max(len(chosen), 1),
            "above_5x_noise": strong / max(len(chosen), 1)}


def convert(exe: str, path: str, out: Path, extra: list[str]) -> None:
    done = subprocess.run([exe, "convert", path, "-o", str(out), "--force", *extra], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"velorium convert {' '.join(extra)} {path} failed: {done.stderr}")


# --- the feature finder on the mzML route ----------------------------------------

FINE_RUN = dict(scans=120, points=150000, ms2_share=0.0, spectra="profile", mz_range=(200.0, 800.0),
                resolution=20000.0, seed=42, compounds=60, background_ions=40)


def fine_run(folder: Path) -> str:
    """A profile run sampled as finely as real time-of-flight spectra: 150,000
    points on the flight-time grid from m/z 200 to 800 (one point per 13 ppm
    at 200, 6.7 ppm at 800), peaks at resolution 20,000 (4 to 7 points per
    width at half height). Written once."""
    sys.path.insert(0, str(ROOT / "tools"))
    from acqwriter import synthetic_run, write_acquisition

    path = folder / "fine-sampling.d"
    stamp = folder / "fine-sampling.stamp"
    if not (path.is_dir() and stamp.is_file() and stamp.read_text() == repr(FINE_RUN)):
        write_acquisition(path, synthetic_run(**FINE_RUN))
        stamp.write_text(repr(FINE_RUN))
    return str(path)


def mzml_ms1(path: Path) -> list:
    """(rt, mz, intensity) of the MS1 spectra of an mzML, read by pyopenms."""
    import pyopenms as oms

    experiment = oms.MSExperiment()
    oms.MzMLFile().load(str(path), experiment)
    out = []
    for s in experiment.getSpectra():
        if s.getMSLevel() == 1:
            mz, intensity = s.get_peaks()
            out.append((s.getRT(), np.asarray(mz, dtype=np.float64), np.asarray(intensity, dtype=np.float64)))
    return out


SAMPLE_RUN = dict(scans=400, points=20000, ms2_share=0.4, encoding="mixed", spectra="mixed", seed=42)


def background_mz(run: dict) -> np.ndarray:
    """The m/z of the background ions of a synthetic run: present in every
    scan, their traces span the whole run, and where the feature finder
    splits such a trace (on noise) decides the features' times."""
    sys.path.insert(0, str(ROOT / "tools"))
    from acqwriter import synthetic_run

    return np.sort(synthetic_run(**run).scans._factory.__self__.b_mz)


def off(features: np.ndarray, mz: np.ndarray, ppm: float = FEATURE_PPM) -> np.ndarray:
    """The features farther than `ppm` from every m/z of `mz`."""
    if features.size == 0 or mz.size == 0:
        return features
    j = np.clip(np.searchsorted(mz, features[:, 0]), 1, mz.size - 1)
    distance = np.minimum(np.abs(mz[j] - features[:, 0]), np.abs(mz[j - 1] - features[:, 0]))
    return features[distance > features[:, 0] * ppm * 1e-6]


def workflow(exe: str, path: str, work: Path, background: np.ndarray, strongest: int = 10) -> dict:
    """FeatureFinderMetabo on `velorium convert --pick-peaks` read back by
    pyopenms, against the same MS1 spectra picked by PeakPickerHiRes; the
    shares also over the features of the compounds alone (away from the
    `background` m/z)."""
    import velorium

    picked = work / (Path(path).stem + "-picked.mzML")
    convert(exe, path, picked, ["--pick-peaks"])
    ours = mzml_ms1(picked)
    picked.unlink()
    profile = velorium.Acquisition(path)
    picker = openms_picker()
    theirs = []
    for s in profile.spectra(ms_level=1):
        pm, pi = openms_pick(picker, s.mz_array, s.intensity_array)
        theirs.append((s.retention_time_sec, pm, pi))
    f_ours, f_theirs = find_features(experiment_of(ours)), find_features(experiment_of(theirs))
    top = f_theirs[np.argsort(f_theirs[:, 2])[::-1][:strongest], 0] if f_theirs.size else np.zeros(0)
    # As wide as the pickers' disagreement on coarsely sampled peaks.
    a, b = xic_of(ours, top, WIDE_PPM), xic_of(theirs, top, WIDE_PPM)
    correlations = [float(np.corrcoef(x, y)[0, 1]) for x, y in zip(a, b) if x.any() and y.any()]
    compounds = off(f_theirs, background)
    return {
        "path": path, "ms1_scans": len(ours), "features": {"velorium": len(f_ours), "openms": len(f_theirs)},
        "matched_share": matched_share(f_theirs, f_ours), "reverse_share": matched_share(f_ours, f_theirs),
        "matched_share_wide": matched_share(f_theirs, f_ours, WIDE_PPM), "xic_ppm": WIDE_PPM,
        "compound_features": len(compounds), "compound_share": matched_share(compounds, f_ours),
        "xic_min_correlation": min(correlations) if correlations else math.nan, "xic_correlations": correlations,
    }


def run(sample: str, large: str | None, reps: int) -> dict:
    import tempfile

    from .convert import velorium_command

    exe = velorium_command(sys.executable)
    # The files written go beside the benchmark's acquisitions (the fine run
    # is kept there for the next run), or into a temporary folder.
    folder = Path(large).parent if large else Path(tempfile.mkdtemp(prefix="velbench-peaks-"))
    result = {"sizes": sizes(exe, {"sample": sample, **({"large": large} if large else {})}, folder),
              "speed": speed(sample, reps), "accuracy": accuracy()}
    result["acquisition"] = acquisition(large, reps) if large else None
    result["workflow"] = {"sample": workflow(exe, sample, folder, background_mz(SAMPLE_RUN)),
                          "fine": workflow(exe, fine_run(folder), folder, background_mz(FINE_RUN))}
    return result


# --- Report ------------------------------------------------------------------

ORDER = 100

SIZE_GOAL = 0.25       # --centroid on the large run: at most a quarter of the folder
SPEED_GOAL = 10.0      # at least ten times PeakPickerHiRes on one core
ACQUISITION_GOAL = 1.5  # Acquisition(pick_peaks="all") at most 1.5 times decoding
FEATURES_GOAL = 0.95   # velorium's run has 95 % of PeakPickerHiRes' features within 10 ppm and 5 s


def report(results):
    from .summary import NOT_TIMED, Part, Row, mib, quote, ratio_row, secs, table, verdict

    p = results.one("peaks")
    if not p:
        return None
    part = Part("Peak picking", "")
    text = []
    z = p.get("sizes")
    if z:
        runs = list(z["ratio"])
        names = {"sample": "sample", "large": "`profile-1g`"}
        options = [o for o in SIZE_OPTIONS if o in z["ratio"][runs[0]]]
        rows = [[f"`{' '.join(SIZE_OPTIONS[o])}`"] + [f"{mib(z['bytes'][r][o])} ({z['ratio'][r][o]:.3f}×)"
                                                       for r in runs] for o in options]
        x = z["sample_xml"]
        sizes_text = (table(["Options"] + [f"{names[r]} ({mib(z['folder_bytes'][r])} on disk)" for r in runs], rows,
                            "l" + "r" * len(runs))
                      + f"\n\nOn the sample, the XML around each spectrum (everything of a spectrum element but its "
                      f"arrays) is {x['xml_per_spectrum']:.0f} bytes, {x['xml_share'] * 100:.0f} % of the "
                      f"`--centroid` file ({x['spectra']} spectra).")
        text.append("Output of `velorium convert` with every spectrum centroided, ÷ the acquisition folder.\n\n"
                    + quote("centroid-sizes", sizes_text))
        for o in options:
            cell = ", ".join(f"{z['ratio'][r][o]:.3f}× ({names[r]})" for r in runs)
            large = z["ratio"].get("large", {}).get(o)
            goal = "large" in z["ratio"] and o == "centroid"
            part.add(Row(f"Output size ÷ acquisition folder, `velorium convert {' '.join(SIZE_OPTIONS[o])}`", cell,
                         NOT_TIMED, "—", f"≤ {SIZE_GOAL:g} on `profile-1g`" if goal else "reported",
                         verdict(large, SIZE_GOAL, False) if goal else "—"),
                     "Size of `--centroid`",
                     f"`--centroid` wrote {cell} of the folder. "
                     + " ".join(f"On {'the sample' if r == 'sample' else names[r]}, each picked spectrum has {c['per_spectrum']:.0f} centroids, of which "
                                f"{c['above_5x_noise']:.0f} stand above 5 times the noise: with the default min_snr=2 "
                                "the bumps of the counting noise on the baseline are peaks too."
                                for r, c in z.get("centroids", {}).items())
                     + (f" With `--min-snr 5` the output is {z['ratio']['large']['centroid-snr-5']:.3f}× the folder."
                        if "centroid-snr-5" in z["ratio"].get("large", {}) else ""))
    s = p.get("speed")
    if s:
        wall = ratio(s["wall"]["openms"]["min"], s["wall"]["velorium"]["min"])
        part.add(ratio_row(f"Peak picking, the sample's {s['spectra']} profile spectra: PeakPickerHiRes time ÷ "
                           "`velorium.pick_peaks` time", wall, s["speedup"], "1 each", SPEED_GOAL, True, "CPU"),
                 "Picking speed",
                 f"velorium picked {s['points_per_second']['velorium'] / 1e6:.0f} million points per second of CPU "
                 f"time, PeakPickerHiRes {s['points_per_second']['openms'] / 1e6:.1f} million.")
        text.append(f"Speed on one core, the sample's {s['spectra']} profile spectra ({s['points']:,} points), "
                    "interleaved rounds, least CPU time and best wall-clock time of each:\n\n"
                    + table(["Picker", "CPU time", "Wall clock", "Points per second (CPU)", "Peaks"],
                            [[name, secs(s["cpu_seconds"][k]), secs(s["wall"][k]["min"]),
                              f"{s['points_per_second'][k] / 1e6:.1f} M", f"{s['peaks'][k]:,}"]
                             for name, k in (("velorium", "velorium"), ("PeakPickerHiRes", "openms"))], "lrrrr"))
    a = p.get("acquisition")
    if a:
        part.add(ratio_row("`Acquisition(pick_peaks=\"all\")` pass ÷ `Acquisition(path)` pass, `profile-1g`",
                           a["ratio"], a["cpu_ratio"], "all cores each", ACQUISITION_GOAL, False, "CPU"),
                 "Picking a whole run", f"Picking added {a['cpu_ratio'] - 1:.0%} to the CPU time of a pass.")
    acc = p.get("accuracy")
    if acc:
        rows = [[name] + [f"{acc['all'][k]['median_ppm']:.2f}", f"{acc['all'][k]['p95_ppm']:.2f}",
                          f"{acc['all'][k]['recall'] * 100:.1f} %", f"{acc['all'][k]['false_above']:,}"]
                for name, k in (("velorium", "velorium"), ("PeakPickerHiRes", "openms"))]
        text.append("Accuracy on spectra rendered from known peak lists (resolutions "
                    + ", ".join(f"{r['resolution']:,}" for r in acc["rows"]) + "), both pickers with their defaults:\n\n"
                    + table(["Picker", "Median error (ppm)", "95th percentile (ppm)", "Recall above 3 × noise",
                             "False peaks above 3 × noise"], rows, "lrrrr"))
        v, o = acc["all"]["velorium"], acc["all"]["openms"]
        part.add(Row("Picking accuracy on rendered spectra: median / 95th percentile m/z error, velorium vs "
                     "PeakPickerHiRes", f"{v['median_ppm']:.2f} / {v['p95_ppm']:.2f} ppm vs {o['median_ppm']:.2f} / "
                     f"{o['p95_ppm']:.2f} ppm", NOT_TIMED, "—", "no worse",
                     "**met**" if v["median_ppm"] <= o["median_ppm"] and v["p95_ppm"] <= o["p95_ppm"]
                     else "**missed**"), "Picking accuracy", "velorium's errors exceed PeakPickerHiRes'.")
    w = p.get("workflow")
    if w:
        rows = []
        for key, what in (("sample", "the sample (one point per ~360 ppm)"),
                          ("fine", "fine sampling (one point per 7 to 13 ppm)")):
            f = w[key]
            rows.append([what, str(f["ms1_scans"]), str(f["features"]["openms"]), str(f["features"]["velorium"]),
                         f"{f['matched_share'] * 100:.1f} %", f"{f['reverse_share'] * 100:.1f} %",
                         f"{f['matched_share_wide'] * 100:.1f} %",
                         f"{f['compound_share'] * 100:.1f} % of {f['compound_features']}",
                         f"{f['xic_min_correlation']:.3f}"])
            part.add(Row(f"FeatureFinderMetabo on `velorium convert --pick-peaks` read by pyopenms: share of "
                         f"PeakPickerHiRes' features found within {FEATURE_PPM:g} ppm and {FEATURE_SECONDS:g} s, "
                         f"{what}", f"{f['matched_share'] * 100:.1f} %", NOT_TIMED, "—",
                         f"≥ {FEATURES_GOAL * 100:g} %", verdict(f["matched_share"], FEATURES_GOAL, True)),
                     f"Feature finding, {what}",
                     f"{f['matched_share'] * 100:.1f} % of PeakPickerHiRes' {f['features']['openms']} features "
                     f"matched within {FEATURE_PPM:g} ppm and {FEATURE_SECONDS:g} s "
                     f"({f['matched_share_wide'] * 100:.1f} % within {WIDE_PPM:g} ppm; of the features of the "
                     f"compounds, away from the run's constant background ions, {f['compound_share'] * 100:.1f} %). "
                     "Where the profile is sampled coarsely the two pickers' apexes differ by more than the "
                     "tolerance; the traces of the background ions span the whole run, and where the feature finder "
                     "splits them (on noise) decides the features' times, differently for each picker.")
        text.append("FeatureFinderMetabo (MassTraceDetection, ElutionPeakDetection, FeatureFindingMetabo) on the MS1 "
                    "spectra of `velorium convert --pick-peaks` read by pyopenms, against the same spectra centroided "
                    "by PeakPickerHiRes:\n\n"
                    + table(["Run", "MS1 scans", "Features (PeakPickerHiRes)", "Features (velorium)",
                             f"Matched ({FEATURE_PPM:g} ppm, {FEATURE_SECONDS:g} s)", "Reverse",
                             f"Matched ({WIDE_PPM:g} ppm)", "Matched, compound features",
                             f"Least XIC correlation, 10 strongest ({WIDE_PPM:g} ppm)"], rows, "lrrrrrrrr"))
    part.text = "\n\n".join(text)
    return part
