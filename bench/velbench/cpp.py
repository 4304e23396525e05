"""The C++ decoder benchmark (bench/decoders_bench.cpp): its JSON output, reduced.

LZF rows compare velorium's lzf::decompress with liblzf's lzf_decompress on
the same blocks: "liblzf" allocates its output per block as velorium does,
"liblzf-prealloc" writes into one buffer allocated once. The rates are the
benchmark library's bytes_per_second of decompressed bytes (CPU time),
median of the repetitions, which run in one randomly interleaved order.
"""

from __future__ import annotations

from typing import Any

LZF_PREFIX = "lzf/"


def medians(report: dict[str, Any]) -> dict[str, dict[str, float]]:
    """run name -> counters of its median aggregate (or of its single run)."""
    out: dict[str, dict[str, float]] = {}
    plain: dict[str, dict[str, float]] = {}
    for b in report["benchmarks"]:
        if b.get("error_occurred"):
            raise RuntimeError(f"benchmark {b['name']} failed: {b.get('error_message', '')}")
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                out[name] = b
        else:
            plain.setdefault(name, b)
    for name, b in plain.items():
        out.setdefault(name, b)
    return out


def reduce(report: dict[str, Any]) -> dict[str, Any]:
    runs = medians(report)
    lzf_rows = []
    shapes = sorted({n.split("/", 2)[2] for n in runs if n.startswith(LZF_PREFIX)},
                    key=lambda s: (not s.startswith("profile"), len(s), s))
    for shape in shapes:
        row: dict[str, Any] = {"block": shape}
        wall: dict[str, float | None] = {}
        for impl in ("velorium", "liblzf", "liblzf-prealloc"):
            b = runs.get(f"lzf/{impl}/{shape}")
            row[impl] = b["bytes_per_second"] if b else None
            # The rate counters are per second of CPU time; scaled to wall-clock time.
            wall[impl] = (b["bytes_per_second"] * b["cpu_time"] / b["real_time"]
                          if b and b.get("real_time") and b.get("cpu_time") else None)
            if b and "ratio" in b:
                row["compression_ratio"] = b["ratio"]
        row["vs_liblzf"] = row["velorium"] / row["liblzf"] if row["velorium"] and row["liblzf"] else None
        row["vs_prealloc"] = (row["velorium"] / row["liblzf-prealloc"]
                              if row["velorium"] and row["liblzf-prealloc"] else None)
        row["wall_vs_liblzf"] = wall["velorium"] / wall["liblzf"] if wall["velorium"] and wall["liblzf"] else None
        lzf_rows.append(row)
    # Whole profile blocks: decode_profile_block against liblzf alone on the same
    # block (both cases are built from the same intensities: profile-N, lzf-N).
    profile_rows = []
    for name, b in sorted(runs.items()):
        if not name.startswith("profile/lzf-"):
            continue
        points = int(name.rsplit("-", 1)[1])
        lz = runs.get(f"lzf/liblzf-prealloc/profile-{points}")
        decoded_bps = 12 * b["items_per_second"]
        row = {"block": name.split("/", 1)[1], "points": points, "points_per_second": b["items_per_second"],
               "decoded_bytes_per_second": decoded_bps}
        if lz:
            t_lzf = (16 + 4 * points) / lz["bytes_per_second"]
            t_decode = points / b["items_per_second"]
            row["ratio_to_lzf"] = t_lzf / t_decode
        profile_rows.append(row)
    other = [{"name": n, "points_per_second": b.get("items_per_second"), "bytes_per_second": b.get("bytes_per_second")}
             for n, b in sorted(runs.items()) if n.startswith(("profile/run-length", "peak/"))]
    ctx = report.get("context", {})
    return {
        "lzf": lzf_rows,
        "lzf_min_vs_liblzf": min((r["vs_liblzf"] for r in lzf_rows if r["vs_liblzf"]), default=None),
        "lzf_min_vs_prealloc": min((r["vs_prealloc"] for r in lzf_rows if r["vs_prealloc"]), default=None),
        "lzf_min_wall_vs_liblzf": min((r["wall_vs_liblzf"] for r in lzf_rows if r["wall_vs_liblzf"]), default=None),
        "profile": profile_rows,
        "other": other,
        "context": {k: ctx.get(k) for k in ("date", "num_cpus", "mhz_per_cpu", "cpu_scaling_enabled", "load_avg",
                                            "library_build_type", "caches")},
    }


# --- Report ------------------------------------------------------------------

ORDER = 10


def report(results):
    from .summary import Part, Row, rate, table, times, verdict

    c = results.one("cpp")
    if not c:
        return None
    rows = []
    for r in c["lzf"]:
        rows.append([r["block"], f"{r.get('compression_ratio', float('nan')):.1f}", rate(r["velorium"]),
                     rate(r["liblzf"]), rate(r["liblzf-prealloc"]), times(r["vs_liblzf"]), times(r["vs_prealloc"]),
                     times(r.get("wall_vs_liblzf"))])
    text = table(["Block", "Compression", "velorium", "liblzf", "liblzf, buffer reused", "vs liblzf (CPU)",
                  "vs reused buffer (CPU)", "vs liblzf (wall)"], rows)
    text += ("\n\nDecompressed bytes per second of CPU time, median of the repetitions, from `velorium_bench` "
             "(bench/decoders_bench.cpp), one thread each, the repetitions of every case run in one randomly "
             "interleaved order; the last column compares the same medians in "
             "wall-clock time. `profile-N` blocks are LZF-compressed profile spectra of N points (a noisy "
             "baseline with Gaussian peaks); `random-1MiB` is incompressible input, stored as literal runs. "
             "\"liblzf\" allocates its output per block as velorium's decoder does; \"buffer reused\" writes "
             "into one buffer allocated before the loop.")
    if (c.get("context") or {}).get("library_build_type") == "debug":
        text += (" (Google Benchmark, as the Debian package builds it, warns that the benchmark library itself is a "
                 "debug build; that is the timing harness, not the code measured, which is built Release.)")
    if c["profile"]:
        prow = [[r["block"], f"{r['points_per_second'] / 1e6:.0f} M/s", rate(r["decoded_bytes_per_second"]),
                 times(r["ratio_to_lzf"]) if "ratio_to_lzf" in r else "n/a"] for r in c["profile"]]
        text += ("\n\nWhole profile blocks in C++ (`decode_profile_block`: LZF, intensities to 32-bit floats, m/z "
                 "of every point through the calibration), CPU time, one thread:\n\n")
        text += table(["Block", "Points", "Decoded (12 B/point)", "liblzf time ÷ decode time, same block"], prow)
    low = min(c["lzf"], key=lambda r: r["vs_liblzf"])
    wall = [r["wall_vs_liblzf"] for r in c["lzf"] if r.get("wall_vs_liblzf")]
    row = Row("LZF: velorium `lzf::decompress` ÷ liblzf `lzf_decompress`, same blocks (C++)",
              f"{times(min(wall))} to {times(max(wall))}" if wall else "n/a",
              f"{times(low['vs_liblzf'])} to {times(max(r['vs_liblzf'] for r in c['lzf']))} (lowest: {low['block']})",
              "1 each", "≥ 1 (CPU)", verdict(low["vs_liblzf"], 1.0, True))
    return Part("LZF decompression (C++)", text, [row])
