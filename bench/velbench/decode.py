"""Whole decode: RawReader(path) against liblzf alone on the same profile blocks.

The profile blocks of the acquisition are located through velorium's own
scan index (offset and byte count of each scan's profile block), read into
memory once, and decompressed with liblzf's lzf_decompress (ctypes) into
one reused buffer: the pure cost of LZF decompression of exactly the bytes
that RawReader decompresses, with no m/z computation, no conversion and no
memory kept, on one core. RawReader does all of that and keeps every
spectrum, decoding on every CPU the process may use (its default).
"""

from __future__ import annotations

import ctypes
import os
import resource
from pathlib import Path

from .common import LibLzf, emit, interleaved, peak_rss_bytes, ratio, run_step, summary, timed

def profile_blocks(path: str) -> list[tuple[bytes, int]]:
    import velorium

    records = velorium.RawReader(path).scan_index()["records"]
    data = (Path(path) / "AcqData" / "MSProfile.bin").read_bytes()
    blocks = []
    for rec in records:
        p = rec["profile_params"]
        if p is None:
            raise RuntimeError(f"scan {rec['scan_id']} has no profile block; the decode benchmark needs profile-only runs")
        blocks.append((data[p["offset"]:p["offset"] + p["byte_count"]], p["uncompressed_byte_count"]))
    return blocks


def run(path: str, reps: int, python: str) -> dict:
    import velorium

    lzf = LibLzf()
    blocks = profile_blocks(path)
    capacity = max(u for _, u in blocks)
    buffer = ctypes.create_string_buffer(capacity)
    for block, expected in blocks:  # every block must be an LZF stream of the announced size
        if lzf.decompress_into(block, buffer, capacity) != expected:
            raise RuntimeError("a profile block is not LZF-compressed; the run must use --encoding lzf")

    def liblzf_all() -> int:
        total = 0
        for block, expected in blocks:
            total += lzf.decompress_into(block, buffer, expected)
        return total

    def rawreader() -> object:
        return velorium.RawReader(path)

    def stream() -> int:
        return sum(len(s) for s in velorium.iter_spectra(path))

    timed(rawreader)  # warm the page cache and the allocator once
    times, results = interleaved({"rawreader": rawreader, "liblzf": liblzf_all, "stream": stream}, reps)
    points = results["stream"]
    decoded = 12 * points
    lzf_out = sum(u for _, u in blocks)
    if results["liblzf"] != lzf_out:
        raise RuntimeError("liblzf decompressed fewer bytes than the blocks announce")
    reader = results.pop("rawreader")
    if reader.scan_count != len(blocks):
        raise RuntimeError("RawReader decoded a different number of spectra than there are blocks")
    del reader, results

    # The same construction in fresh processes, to split its time into user and
    # kernel CPU time and count its page faults.
    runs = [run_step(python, ["rawreader-once", path]) for _ in range(3)]
    best = min(runs, key=lambda r: r["seconds"])
    worst = max(runs, key=lambda r: r["seconds"])
    child = {"plain": {"seconds": summary([r["seconds"] for r in runs]), "max": worst["seconds"], "best": best,
                       "worst": worst, "env": {}}}

    t = {name: summary(v) for name, v in times.items()}
    return {
        "path": path,
        "scans": len(blocks),
        "points": points,
        "decoded_bytes": decoded,
        "compressed_bytes": sum(len(b) for b, _ in blocks),
        "lzf_output_bytes": lzf_out,
        "times": t,
        "throughput": {name: decoded / v["min"] for name, v in t.items()},
        "ratio_rawreader": ratio(t["liblzf"]["min"], t["rawreader"]["min"]),
        "ratio_stream": ratio(t["liblzf"]["min"], t["stream"]["min"]),
        "child": child,
        "liblzf": lzf.name,
        "threads": len(os.sched_getaffinity(0)),
        "reps": reps,
    }


def rawreader_once(path: str) -> None:
    import velorium

    before = resource.getrusage(resource.RUSAGE_SELF)
    dt, reader = timed(lambda: velorium.RawReader(path))
    after = resource.getrusage(resource.RUSAGE_SELF)
    emit({"seconds": dt, "user_seconds": after.ru_utime - before.ru_utime,
          "system_seconds": after.ru_stime - before.ru_stime, "minor_faults": after.ru_minflt - before.ru_minflt,
          "peak_rss": peak_rss_bytes(), "scans": reader.scan_count, "threads": len(os.sched_getaffinity(0))})
