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


# --- Report ------------------------------------------------------------------

ORDER = 50


def report(results):
    from .summary import NOT_TIMED, MiB, Part, Row, mib, table, times, verdict

    m = results.one("memory")
    if not m:
        return None
    s, l, r = m["stream_small"], m["stream_large"], m["reader_large"]
    rows = [
        ["`iter_spectra`", f"`profile-100m`: {mib(s['decoded_bytes'])} decoded", mib(s["peak_rss"]),
         mib(s["baseline_rss"])],
        ["`iter_spectra`", f"`profile-1g`: {mib(l['decoded_bytes'])} decoded", mib(l["peak_rss"]),
         mib(l["baseline_rss"])],
        ["`RawReader`", f"`profile-1g`: {mib(r['decoded_bytes'])} decoded", mib(r["peak_rss"]),
         mib(r["baseline_rss"])],
    ]
    text = table(["Reading", "Acquisition", "Peak RSS", "RSS before reading"], rows, "llrr")
    text += (f"\n\nEach line is a fresh process (`resource.getrusage` maximum RSS, the Python interpreter "
             f"included; \"before reading\" is the interpreter with velorium and the harness imported). The peak "
             f"when streaming ten times as much data differs by {mib(m['stream_difference'])} (large minus small). "
             f"RawReader's peak is {times(m['reader_ratio'])} the 12 bytes per decoded point it must keep "
             f"({times(m['reader_ratio_above_baseline'])} counting only what it added to the interpreter).")
    summary_rows = [
        Row("Memory: `iter_spectra` peak RSS, `profile-1g` − `profile-100m`", mib(m["stream_difference"]), NOT_TIMED,
            "1 decoding thread", "< 32 MiB", verdict(m["stream_difference"] / MiB, 32.0, False)),
        Row("Memory: `RawReader` peak RSS ÷ (12 bytes × decoded points)", times(m["reader_ratio"]), NOT_TIMED,
            "all cores", "≤ 1.05", verdict(m["reader_ratio"], 1.05, False)),
    ]
    return Part("Memory", text, summary_rows)
