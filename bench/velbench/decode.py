"""Whole decode: RawReader(path) against liblzf alone on the same profile blocks.

The profile blocks of the acquisition are located through velorium's own
scan index (offset and byte count of each scan's profile block), read into
memory once, and decompressed with liblzf's lzf_decompress (ctypes) into
one reused buffer: the pure cost of LZF decompression of exactly the bytes
that RawReader decompresses, with no m/z computation, no conversion and no
memory kept, on one core; and the same spread over every CPU the process
may use, each thread taking its share of the blocks (the limit LZF alone
sets on this machine). RawReader does all of that and keeps every spectrum,
decoding on every CPU the process may use (its default). Every case is
timed in wall-clock and in CPU time.
"""

from __future__ import annotations

import ctypes
import os
import resource
import threading
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


def lzf_over_threads(lzf: LibLzf, blocks: list[tuple[bytes, int]], threads: int) -> int:
    """liblzf on the same blocks, spread over `threads` threads (each with a
    buffer of its own, taking every threads-th block); the ctypes call
    releases the interpreter lock, so the threads decompress at once."""
    capacity = max(u for _, u in blocks)
    totals = [0] * threads

    def work(k: int) -> None:
        buffer = ctypes.create_string_buffer(capacity)
        total = 0
        for block, expected in blocks[k::threads]:
            total += lzf.decompress_into(block, buffer, expected)
        totals[k] = total

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return sum(totals)


def run(path: str, reps: int, python: str) -> dict:
    import velorium

    lzf = LibLzf()
    blocks = profile_blocks(path)
    capacity = max(u for _, u in blocks)
    buffer = ctypes.create_string_buffer(capacity)
    for block, expected in blocks:  # every block must be an LZF stream of the announced size
        if lzf.decompress_into(block, buffer, capacity) != expected:
            raise RuntimeError("a profile block is not LZF-compressed; the run must use --encoding lzf")
    cores = len(os.sched_getaffinity(0))

    def liblzf_all() -> int:
        total = 0
        for block, expected in blocks:
            total += lzf.decompress_into(block, buffer, expected)
        return total

    def liblzf_cores() -> int:
        return lzf_over_threads(lzf, blocks, cores)

    def rawreader() -> object:
        return velorium.RawReader(path)

    def stream() -> int:
        return sum(len(s) for s in velorium.iter_spectra(path))

    timed(rawreader)  # warm the page cache and the allocator once
    cpu: dict[str, list[float]] = {}
    times, results = interleaved({"rawreader": rawreader, "liblzf": liblzf_all, "liblzf_cores": liblzf_cores,
                                  "stream": stream}, reps, cpu)
    points = results["stream"]
    decoded = 12 * points
    lzf_out = sum(u for _, u in blocks)
    if results["liblzf"] != lzf_out or results["liblzf_cores"] != lzf_out:
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
    c = {name: min(v) for name, v in cpu.items()}
    return {
        "path": path,
        "scans": len(blocks),
        "points": points,
        "decoded_bytes": decoded,
        "compressed_bytes": sum(len(b) for b, _ in blocks),
        "lzf_output_bytes": lzf_out,
        "times": t,
        "cpu_seconds": c,
        "throughput": {name: decoded / v["min"] for name, v in t.items()},
        "ratio_rawreader": ratio(t["liblzf"]["min"], t["rawreader"]["min"]),
        "cpu_ratio_rawreader": ratio(c["liblzf"], c["rawreader"]),
        "ratio_rawreader_cores": ratio(t["liblzf_cores"]["min"], t["rawreader"]["min"]),
        "cpu_ratio_rawreader_cores": ratio(c["liblzf_cores"], c["rawreader"]),
        "ratio_stream": ratio(t["liblzf"]["min"], t["stream"]["min"]),
        "cpu_ratio_stream": ratio(c["liblzf"], c["stream"]),
        "child": child,
        "liblzf": lzf.name,
        "threads": cores,
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


# --- Report ------------------------------------------------------------------

ORDER = 20


def _profile_section(p: dict | None) -> str:
    from .summary import table

    if not p or not p.get("available"):
        return f"(perf samples not taken: {p.get('reason', 'no result') if p else 'no result'}.)"
    names = list(dict.fromkeys([*p["stream"]["functions"], *p["rawreader"]["functions"]]))
    rows = [[f"`{n}`", f"{p['stream']['functions'].get(n, 0.0):.0f} %", f"{p['rawreader']['functions'].get(n, 0.0):.0f} %"]
            for n in names]
    rows.append(["kernel (page faults, file reads, thread wake-ups)", f"{p['stream']['kernel']:.0f} %",
                 f"{p['rawreader']['kernel']:.0f} %"])
    rows.append(["everything else (the interpreter, libc, ...)",
                 f"{max(0.0, 100 - p['stream']['kernel'] - sum(p['stream']['functions'].values())):.0f} %",
                 f"{max(0.0, 100 - p['rawreader']['kernel'] - sum(p['rawreader']['functions'].values())):.0f} %"])
    return ("Share of `perf record` samples (whole process, start-up included) while decoding `profile-1g`, with "
            f"the unstripped build of the same module ({p['module']}):\n\n"
            + table(["Function", "`iter_spectra`", "`RawReader`"], rows))


def _cpp_comparison(d: dict, c: dict | None) -> str:
    """Why the C++ benchmark's block ratio differs from this one."""
    from .summary import rate, times

    prof = [r for r in (c or {}).get("profile", []) if "ratio_to_lzf" in r]
    if not prof:
        return ""
    rows = {r["block"]: r for r in c["lzf"]}
    here = d["lzf_output_bytes"] / d["times"]["liblzf"]["min"]
    r = prof[0]
    theirs = rows.get(f"profile-{r['points']}", {}).get("liblzf-prealloc")
    own = rows.get(f"profile-{r['points']}", {}).get("compression_ratio")
    text = (f"For comparison, the C++ benchmark decodes its own {r['points']:,}-point profile block at "
            f"{times(r['ratio_to_lzf'])} liblzf's time on the same block, with no Python and nothing kept. Its "
            "blocks are a noisy baseline under Gaussian peaks")
    if theirs and own:
        text += (f" (they compress {own:.1f}×), on which liblzf runs at {rate(theirs)} of output, against "
                 f"{rate(here)} on the writer's blocks here (long near-zero stretches with counting noise; they "
                 f"compress {d['lzf_output_bytes'] / d['compressed_bytes']:.1f}×)")
    return text + ("; the work per point besides LZF (intensity conversion, m/z) is the same on both, so the less "
                   "LZF costs per point, the lower that ratio.")


def _miss(d: dict, p: dict | None) -> str:
    from .summary import secs, times

    b = d["child"]["plain"]["best"]
    text = (f"RawReader does more than LZF: it reads the blocks from the file, converts the intensities, computes "
            f"the m/z of every point and keeps {d['decoded_bytes'] / 2**30:.2f} GiB; in a fresh process it spent "
            f"{secs(b['system_seconds'])} of its {secs(b['seconds'])} in the kernel ({b['minor_faults']:,} page "
            f"faults). LZF alone on one core takes {times(d['cpu_ratio_rawreader'])} of RawReader's CPU time; LZF "
            f"spread over the same {d['threads']} cores takes {times(d['ratio_rawreader_cores'])} of its wall-clock "
            "time.")
    if p and p.get("available"):
        fns = p["rawreader"]["functions"]
        mz = sum(v for n, v in fns.items() if "mz_" in n)
        lz = sum(v for n, v in fns.items() if n.startswith("lzf::"))
        text += (f" In its perf samples, {mz:.0f} % are in the m/z computation, {lz:.0f} % in LZF and "
                 f"{p['rawreader']['kernel']:.0f} % in the kernel.")
    return text


def report(results):
    from .summary import NOT_TIMED, Part, mib, rate, ratio_row, secs, table, times

    d = results.one("decode")
    if not d:
        return None
    t, c, n = d["times"], d.get("cpu_seconds", {}), d["threads"]
    cases = [
        ("`RawReader(path)`", "rawreader", n, d["ratio_rawreader"], d.get("cpu_ratio_rawreader")),
        ("liblzf `lzf_decompress` of the same blocks, one core", "liblzf", 1, 1.0, 1.0),
        (f"liblzf `lzf_decompress` of the same blocks, spread over {n} threads", "liblzf_cores", n,
         t["liblzf"]["min"] / t["liblzf_cores"]["min"], c["liblzf"] / c["liblzf_cores"]),
        ("`iter_spectra(path)`, every spectrum decoded and dropped", "stream", 1, d["ratio_stream"],
         d.get("cpu_ratio_stream")),
    ]
    rows = [[label, str(threads), secs(t[key]["min"]), secs(t[key]["median"]), secs(c[key]) if key in c else NOT_TIMED,
             rate(d["throughput"][key]), times(wall), times(cpu)]
            for label, key, threads, wall, cpu in cases]
    text = (f"{d['scans']} profile spectra, {d['points']:,} points: {mib(d['decoded_bytes'])} decoded "
            f"({d['decoded_bytes'] / 1e9:.2f} GB), from {mib(d['compressed_bytes'])} of LZF blocks that expand to "
            f"{mib(d['lzf_output_bytes'])}. Best of {d['reps']} interleaved rounds; throughput is decoded bytes "
            "(12 per point) per second of the best round; the ratios are liblzf's time on one core over the row's "
            "time, in wall-clock time and in CPU time (user + system, summed over the process's threads, least of "
            "the rounds).\n\n")
    text += table(["Decoding", "Threads", "Best (wall)", "Median (wall)", "CPU time", "Throughput (wall)",
                   "Ratio to LZF on one core (wall)", "Ratio (CPU)"], rows)
    text += ("\n\nThe LZF baselines: the profile blocks are located through velorium's own scan index "
             "(`RawReader.scan_index()`: offset and byte count of each scan's profile block), read into memory "
             "once, and decompressed with liblzf's `lzf_decompress` through ctypes (which releases the interpreter "
             "lock during the call), on one thread into one reused buffer, and on as many threads as the process "
             f"has CPUs ({n}), each taking every {n}-th block into a buffer of its own: the bare cost of LZF on "
             "exactly the bytes that RawReader decompresses, with no file reads, no m/z, no conversion and nothing "
             f"kept. (The ctypes call costs about a microsecond per block, {d['scans']} calls in all.) RawReader "
             "reads the blocks from the file, decompresses them, converts the intensities, computes the m/z of "
             f"every point and keeps every spectrum, decoding on every CPU the process may use ({n} here) straight "
             "into one columnar store.")
    b = d["child"]["plain"]["best"]
    text += (f"\n\nIn a fresh process, `RawReader(path)` took {secs(b['seconds'])} of wall-clock time on "
             f"{b.get('threads', n)} threads: {secs(b['user_seconds'])} of user CPU time and "
             f"{secs(b['system_seconds'])} in the kernel, with {b['minor_faults']:,} minor page faults for the "
             f"{mib(d['decoded_bytes'])} it keeps (its columns lie in one mapping that asks for 2 MiB pages; in "
             f"4 KiB pages that memory would take {d['decoded_bytes'] // 4096:,} faults).")
    comparison = _cpp_comparison(d, results.one("cpp"))
    if comparison:
        text += "\n\n" + comparison
    profile = results.one("profile")
    text += "\n\n### Where the decoding time goes\n\n" + _profile_section(profile)
    size = mib(d["decoded_bytes"])
    one = ratio_row(f"Whole decode, {size}: liblzf alone on one core ÷ `RawReader(path)`, same blocks",
                    d["ratio_rawreader"], d.get("cpu_ratio_rawreader"), f"velorium {n}, liblzf 1", 1.0, True, "CPU")
    spread = ratio_row(f"Whole decode, {size}: liblzf alone spread over all cores ÷ `RawReader(path)`, same blocks",
                       d["ratio_rawreader_cores"], d.get("cpu_ratio_rawreader_cores"), f"{n} each", 1.0, True, "wall")
    part = Part("Whole decode", text, [one, spread])
    if "missed" in one.result or "missed" in spread.result:
        part.misses.append(("Whole decode", _miss(d, profile)))
    return part
