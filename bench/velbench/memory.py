"""Peak resident memory of streaming (iter_spectra) and of RawReader, each in a fresh process."""

from __future__ import annotations

from .common import emit, peak_rss_bytes, run_step


def child(mode: str, path: str) -> None:
    import velorium

    baseline = peak_rss_bytes()  # the interpreter with velorium imported
    if mode == "stream":
        points = scans = 0
        for s in velorium.iter_spectra(path):
            points += len(s)
            scans += 1
        peak = peak_rss_bytes()
    elif mode == "reader":
        reader = velorium.RawReader(path)
        peak = peak_rss_bytes()
        scans = reader.scan_count
        points = sum(len(reader.read_spectrum(i)) for i in range(scans))
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    emit({"mode": mode, "path": path, "baseline_rss": baseline, "peak_rss": peak, "scans": scans,
          "points": points, "decoded_bytes": 12 * points})


def run(python: str, small: str, large: str) -> dict:
    out = {
        "stream_small": run_step(python, ["rss", "stream", small]),
        "stream_large": run_step(python, ["rss", "stream", large]),
        "reader_large": run_step(python, ["rss", "reader", large]),
    }
    out["stream_difference"] = out["stream_large"]["peak_rss"] - out["stream_small"]["peak_rss"]
    r = out["reader_large"]
    out["reader_ratio"] = r["peak_rss"] / r["decoded_bytes"]
    out["reader_ratio_above_baseline"] = (r["peak_rss"] - r["baseline_rss"]) / r["decoded_bytes"]
    return out
