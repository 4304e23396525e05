"""BENCHMARKS.md from the result files of one run of bench/run.sh."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

from .common import read_json

MiB = 1024 * 1024
GiB = 1024 * MiB


# --- Formatting --------------------------------------------------------------


def rate(bps: float | None) -> str:
    """Bytes per second in GB/s (decimal) or MB/s."""
    if bps is None or not math.isfinite(bps):
        return "n/a"
    return f"{bps / 1e9:.2f} GB/s" if bps >= 1e9 else f"{bps / 1e6:.0f} MB/s"


def mib(n: float) -> str:
    return f"{n / GiB:.2f} GiB" if abs(n) >= GiB else f"{n / MiB:.1f} MiB"


def secs(t: float) -> str:
    return f"{t * 1000:.0f} ms" if t < 1 else f"{t:.2f} s"


def times(x: float) -> str:
    return f"{x:.2f}×"


def table(header: list[str], rows: list[list[str]], align: str | None = None) -> str:
    align = align or "l" + "r" * (len(header) - 1)
    rule = ["---:" if a == "r" else "---" for a in align]
    lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(rule) + " |"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def verdict(value: float | None, goal: float, higher_is_better: bool) -> str:
    """'met', or 'missed by N %' measured against the goal."""
    if value is None or not math.isfinite(value):
        return "not measured"
    ok = value >= goal if higher_is_better else value <= goal
    if ok:
        return "**met**"
    short = (goal - value) / goal if higher_is_better else (value - goal) / goal
    return f"**missed** by {short * 100:.0f} %"


def load(results: Path, name: str) -> Any:
    path = results / name
    return read_json(path) if path.is_file() else None


# --- Sections ----------------------------------------------------------------


def machine_section(m: dict, steps: list[tuple[str, float]]) -> str:
    pythons = "; ".join(v for v in m["pythons"].values())
    pk = m["debian_packages"]
    rows = [
        ["CPU", m["cpu"]],
        ["Cores", f"{m['cores']} ({m['cores_usable']} usable by this process)"],
        ["Memory", mib(m["memory_bytes"]) if m["memory_bytes"] else "unknown"],
        ["OS", f"{m['os']}, Linux {m['kernel']} ({m['machine']}), glibc {m['glibc']}"],
        ["Compiler", f"{m['compiler']}; {m['cmake']}; C++ benchmark built with CMAKE_BUILD_TYPE=Release"],
        ["Python", pythons],
        ["Libraries", f"liblzf {pk['liblzf1']}, Google Benchmark {pk['libbenchmark-dev']}, pugixml {pk['libpugixml-dev']}"],
        ["Transparent huge pages", m["transparent_hugepages"]],
        ["Load average (1, 5, 15 min)", "at the start " + ", ".join(f"{x:.2f}" for x in m["load_average"])
         + ("; at the end " + ", ".join(f"{x:.2f}" for x in m["load_average_end"]) if "load_average_end" in m else "")],
    ]
    text = table(["", ""], rows, "ll")
    if steps:
        total = sum(s for _, s in steps)
        text += "\n\nSteps of this run (wall clock): " + ", ".join(f"{n} {s:.0f} s" for n, s in steps)
        text += f"; {total / 60:.1f} min in all."
    return text


def datasets_section(d: dict) -> str:
    rows = []
    for name, info in d.items():
        s = info["writer_summary"]
        what = s.split(": ", 1)[1].split(";", 1)[0] if ": " in s else ""
        rows.append([f"`{name}`", what, mib(info["bytes_on_disk"]), info["purpose"],
                     "`" + " ".join(info["writer_args"]) + "`"])
    return table(["Acquisition", "Content (decoded = 12 bytes per point)", "On disk", "Used for",
                  "tools/write_acquisition.py arguments"], rows, "lllll")


def cpp_section(c: dict) -> str:
    rows = []
    for r in c["lzf"]:
        rows.append([r["block"], f"{r.get('compression_ratio', float('nan')):.1f}", rate(r["velorium"]),
                     rate(r["liblzf"]), rate(r["liblzf-prealloc"]), times(r["vs_liblzf"]), times(r["vs_prealloc"])])
    text = table(["Block", "Compression", "velorium", "liblzf", "liblzf, buffer reused", "vs liblzf",
                  "vs reused buffer"], rows)
    text += ("\n\nDecompressed bytes per second (CPU time, median of the repetitions), from "
             "`velorium_bench` (bench/decoders_bench.cpp). `profile-N` blocks are LZF-compressed profile "
             "spectra of N points (a noisy baseline with Gaussian peaks); `random-1MiB` is incompressible input, "
             "stored as literal runs. \"liblzf\" allocates its output per block as velorium's decoder does; "
             "\"buffer reused\" writes into one buffer allocated before the loop.")
    if (c.get("context") or {}).get("library_build_type") == "debug":
        text += (" (Google Benchmark, as the Debian package builds it, warns that the benchmark library itself is a "
                 "debug build; that is the timing harness, not the code measured, which is built Release.)")
    if c["profile"]:
        prow = [[r["block"], f"{r['points_per_second'] / 1e6:.0f} M/s", rate(r["decoded_bytes_per_second"]),
                 times(r["ratio_to_lzf"]) if "ratio_to_lzf" in r else "n/a"] for r in c["profile"]]
        text += "\n\nWhole profile blocks in C++ (`decode_profile_block`: LZF, intensities to 32-bit floats, m/z " \
                "of every point through the calibration):\n\n"
        text += table(["Block", "Points", "Decoded (12 B/point)", "liblzf time ÷ decode time, same block"], prow)
    return text


def decode_section(d: dict) -> str:
    t = d["times"]
    rows = [
        ["`RawReader(path)`", secs(t["rawreader"]["min"]), secs(t["rawreader"]["median"]),
         rate(d["throughput"]["rawreader"]), times(d["ratio_rawreader"])],
        ["liblzf `lzf_decompress` of the same blocks", secs(t["liblzf"]["min"]), secs(t["liblzf"]["median"]),
         rate(d["throughput"]["liblzf"]), "1.00×"],
        ["`iter_spectra(path)`, every spectrum decoded and dropped", secs(t["stream"]["min"]),
         secs(t["stream"]["median"]), rate(d["throughput"]["stream"]), times(d["ratio_stream"])],
    ]
    text = (f"{d['scans']} profile spectra, {d['points']:,} points: {mib(d['decoded_bytes'])} decoded "
            f"({d['decoded_bytes'] / 1e9:.2f} GB), from {mib(d['compressed_bytes'])} of LZF blocks that expand to "
            f"{mib(d['lzf_output_bytes'])}. Best of {d['reps']} interleaved rounds; throughput is decoded bytes "
            "(12 per point) per second of the best round; the ratio is liblzf's time over the row's time.\n\n")
    text += table(["Decoding", "Best", "Median", "Throughput", "Ratio to LZF alone"], rows)
    text += ("\n\nThe LZF baseline: the profile blocks are located through velorium's own scan index "
             "(`RawReader.scan_index()`: offset and byte count of each scan's profile block), read into memory "
             "once, and decompressed with liblzf's `lzf_decompress` through ctypes into one reused buffer, so it "
             "is the bare cost of LZF on exactly the bytes that RawReader decompresses: no file reads, no m/z, no "
             "conversion, nothing kept, on one core. (The ctypes call costs about a microsecond per block, "
             f"{d['scans']} calls in all.) RawReader reads the blocks from the file, decompresses them, converts "
             "the intensities, computes the m/z of every point and keeps every spectrum, decoding on every CPU the "
             f"process may use ({d.get('threads', 'all')} here) straight into one columnar store.")
    return text


def cpp_comparison(d: dict, c: dict) -> str:
    """Why the C++ benchmark's block ratio differs from this one."""
    here = d["lzf_output_bytes"] / d["times"]["liblzf"]["min"]
    rows = {r["block"]: r for r in c["lzf"]}
    prof = [r for r in c["profile"] if "ratio_to_lzf" in r]
    if not prof:
        return ""
    r = prof[0]
    theirs = rows.get(f"profile-{r['points']}", {}).get("liblzf-prealloc")
    text = (f"For comparison, the C++ benchmark decodes its own {r['points']:,}-point profile block at "
            f"{times(r['ratio_to_lzf'])} liblzf's time on the same block, with no Python and nothing kept. Its "
            "blocks are a noisy baseline under Gaussian peaks")
    written = d["lzf_output_bytes"] / d["compressed_bytes"]
    own = rows.get(f"profile-{r['points']}", {}).get("compression_ratio")
    if theirs and own:
        text += (f" (they compress {own:.1f}×), on which liblzf runs at {rate(theirs)} of output, against "
                 f"{rate(here)} on the writer's blocks here (long near-zero stretches with counting noise; they "
                 f"compress {written:.1f}×)")
    text += ("; the work per point besides LZF (intensity conversion, m/z) is the same on both, so the less LZF "
             "costs per point, the lower that ratio.")
    return text


def decode_diagnosis(d: dict) -> str:
    plain = d["child"]["plain"]
    b = plain["best"]
    text = (f"In a fresh process, `RawReader(path)` took {secs(b['seconds'])} of wall-clock time on "
            f"{b.get('threads', d.get('threads', '?'))} threads: {secs(b['user_seconds'])} of user CPU time and "
            f"{secs(b['system_seconds'])} in the kernel, with {b['minor_faults']:,} minor page faults for the "
            f"{mib(d['decoded_bytes'])} it keeps (its columns lie in one mapping that asks for 2 MiB pages; in "
            f"4 KiB pages that memory would take {d['decoded_bytes'] // 4096:,} faults). Streaming decodes the same spectra one at a time on one thread in "
            f"{secs(d['times']['stream']['min'])} (ratio {times(d['ratio_stream'])}), reusing each spectrum's "
            "memory for the next.")
    return text


def profile_section(p: dict) -> str:
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


def decode_summary(d: dict) -> str:
    b = d["child"]["plain"]["best"]
    return (f"`RawReader(path)` spent {secs(b['system_seconds'])} of its {secs(b['seconds'])} in the kernel "
            f"({b['minor_faults']:,} page faults) for the {mib(d['decoded_bytes'])} it keeps; streaming, on one "
            f"thread with memory reused, took {secs(d['times']['stream']['min'])} (ratio "
            f"{times(d['ratio_stream'])}). See Whole decode below.")


def decode_proposal(d: dict, p: dict | None) -> str:
    """Where the time goes, from the measured split."""
    if not (p and p.get("available")):
        return ""
    fns = p["rawreader"]["functions"]
    mz_fns = [n for n in fns if "mz_" in n]  # the m/z of every point through the calibration
    mz = sum(fns[n] for n in mz_fns)
    lz = sum(v for n, v in fns.items() if n.startswith("lzf::"))
    return (f" In `RawReader`, {mz:.0f} % of the samples are in the m/z computation of every point and {lz:.0f} % "
            f"in LZF decompression, {p['rawreader']['kernel']:.0f} % in the kernel. The m/z axis of a profile block "
            "depends only on the calibration, x0, dx and the point count, so a cache of the axis per calibration "
            "would turn that computation into a copy for every spectrum that shares them.")


def handover_section(runs: list[dict]) -> str:
    rows = []
    for h in runs:
        t = h["times"]
        rows.append([h["python"], f"{h['spectra']:,} spectra, {h['floats']:,} floats", secs(t["velorium"]["min"]),
                     secs(t["array"]["min"]), f"{h['floats_per_second']['velorium'] / 1e6:.0f} M/s",
                     times(h["ratio"])])
    text = table(["Python", "Lists built", "velorium `.mz` + `.intensity`", "`list(array.array)`",
                  "velorium floats/s", "Ratio"], rows)
    text += ("\n\nEvery spectrum of `qtof-run` is held as a `Spectrum` (from `RawReader.read_spectrum`); the "
             "measured loop reads `mz` and `intensity` of each, which builds two new lists of Python floats. The "
             "floor builds the same lists with `list()` from `array.array('d')` and `array.array('f')` copies of "
             "the same values (checked equal beforehand). Best of the interleaved rounds; the ratio is velorium's "
             "time over the floor's.")
    return text


def memory_section(m: dict) -> str:
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
             "RawReader's peak is "
             f"{times(m['reader_ratio'])} the 12 bytes per decoded point it must keep "
             f"({times(m['reader_ratio_above_baseline'])} counting only what it added to the interpreter).")
    return text


def acquisition_section(a: dict) -> str:
    o, r, p = a["open"], a["random"], a["pass"]
    table_call = "`scan_table()`" if a["python_has_scan_table"] else "`scan_index()` (no `scan_table()` in this build)"
    rows = [
        [f"`Acquisition(path)` + {table_call}", secs(o["acquisition"]["min"]), secs(o["acquisition"]["median"]),
         f"{a['open_ratio'] * 100:.2f} % of `RawReader`"],
        ["`RawReader(path)`", secs(o["rawreader"]["min"]), secs(o["rawreader"]["median"]), "1.00×"],
        [f"`acq[i]`, {r['spectra']} random scans", secs(r["python"]["min"]), secs(r["python"]["median"]),
         times(a["random_ratio"]) + " of C++"],
        ["`Reader::spectrum(i)` in C++, same scans", secs(r["cpp"]["min"]), secs(r["cpp"]["median"]), "1.00×"],
        ["`acq.spectra()`, whole run", secs(p["spectra"]["min"]), secs(p["spectra"]["median"]),
         times(a["pass_speedup"]) + " the speed of `iter_spectra`"],
        ["`iter_spectra(path)`, whole run", secs(p["iter_spectra"]["min"]), secs(p["iter_spectra"]["median"]), "1.00×"],
    ]
    m = a["memory"]
    text = table(["Reading `profile-1g`", "Best", "Median", "Ratio"], rows, "lrrr")
    text += (f"\n\nThe run has {a['scans']:,} scans. `acq.spectra()` decodes ahead on the library's default thread "
             f"count; its peak RSS was {mib(m['small']['peak_rss'])} over `profile-100m` and "
             f"{mib(m['large']['peak_rss'])} over `profile-1g` (fresh processes; difference "
             f"{mib(a['memory_difference'])}).")
    if "pass_cpu" in a:
        c = a["pass_cpu"]
        text += (f" Processor time of one more pass (all threads, user + system): `acq.spectra()` "
                 f"{secs(c['spectra']['cpu_seconds'])} with {c['spectra']['minor_faults']:,} page faults, "
                 f"`iter_spectra` {secs(c['iter_spectra']['cpu_seconds'])} with "
                 f"{c['iter_spectra']['minor_faults']:,}.")
    return text


def mzml_section(runs: list[dict]) -> str:
    first = runs[0]
    text = (f"`qtof-run` ({first['spectra']:,} spectra, {first['points']:,} points; MS1 profile, MS2 centroid): "
            f"the acquisition is {mib(first['acquisition_bytes'])} on disk, its mzML copy "
            f"{mib(first['mzml_bytes'])}. Each reader ends with Python lists of m/z and intensity for every "
            "spectrum; all three were checked to hand over the same values (peak counts and exact sums of every "
            "spectrum).\n\n")
    rows = []
    for h in runs:
        t, sp = h["times"], h["splits"]
        rows.append([h["python"], secs(t["velorium"]["min"]), secs(t["pyopenms"]["min"]), secs(t["pyteomics"]["min"]),
                     times(h["speedup_pyopenms"]), times(h["speedup_pyteomics"])])
    text += table(["Python", "velorium", "pyopenms", "pyteomics", "velorium vs pyopenms", "velorium vs pyteomics"],
                  rows)
    rows = []
    for h in runs:
        t, sp = h["times"], h["splits"]
        rows.append([h["python"], secs(sp["velorium"]), secs(t["velorium"]["min"] - sp["velorium"]),
                     secs(sp["pyopenms"]), secs(t["pyopenms"]["min"] - sp["pyopenms"]),
                     secs(sp["pyteomics"])])
    text += "\n\nWhere the time goes (best rounds; the parts are measured inside the same runs):\n\n"
    text += table(["Python", "velorium `RawReader(path)`", "velorium lists", "pyopenms `load`",
                   "pyopenms `get_peaks` + `tolist`", "pyteomics `tolist` calls"], rows)
    if "velorium_arrays" in first["times"]:
        rows = []
        for h in runs:
            t, sp = h["times"], h["splits"]
            rows.append([h["python"], secs(t["velorium_arrays"]["min"]), secs(sp["velorium_arrays"]),
                         secs(t["pyopenms_arrays"]["min"]), secs(sp["pyopenms_arrays"]),
                         times(h["speedup_arrays_pyopenms"])])
        text += ("\n\nEnding with NumPy arrays instead (velorium: `RawReader(path)`, then `mz_array` and "
                 "`intensity_array` of every spectrum; pyopenms: `MzMLFile().load`, then `get_peaks()`), in the same "
                 "interleaved rounds:\n\n")
        text += table(["Python", "velorium", "of which `RawReader(path)`", "pyopenms", "of which `load`",
                       "velorium vs pyopenms"], rows)
    v = first["versions"]
    text += (f"\n\nThe mzML was written by pyopenms {v['pyopenms']} from the spectra velorium decodes (setup, not "
             "measured): indexed mzML, spectra flagged profile or centroid, binary arrays zlib-compressed, m/z as "
             "64-bit and intensities as 32-bit floats. pyopenms: `MzMLFile().load(path, experiment)`, then "
             f"`get_peaks()` and `tolist()` of both arrays. pyteomics {v['pyteomics']} (lxml {v['lxml']}, numpy "
             f"{v['numpy']}): `mzml.read(path)` with its defaults (sequential parse), then `tolist()` of the "
             "'m/z array' and 'intensity array'. velorium: `RawReader(path)`, then `read_spectrum(i).mz` and "
             "`.intensity`.")
    return text


def mzml_diagnosis(h: dict) -> str:
    t, sp = h["times"], h["splits"]
    v_decode = sp["velorium"]
    v_lists = t["velorium"]["min"] - v_decode
    goal_total = t["pyopenms"]["min"] / 5.0
    text = (f"velorium's own decoding, `RawReader(path)`, took {secs(v_decode)} against {secs(sp['pyopenms'])} for "
            f"pyopenms' `MzMLFile().load`: {times(sp['pyopenms'] / v_decode)} faster. The rest of velorium's time, "
            f"{secs(v_lists)}, goes to the lists of Python floats, which every reader here builds the same way "
            f"(pyopenms' `get_peaks` + `tolist` took {secs(t['pyopenms']['min'] - sp['pyopenms'])}; the hand-over "
            f"benchmark puts velorium's lists at the `list(array.array)` floor). 5× pyopenms means {secs(goal_total)} "
            "in all")
    if v_lists >= goal_total:
        text += (", less than the lists alone: the goal cannot be reached while results are handed over as lists "
                 "of Python floats.")
    else:
        text += (f", which leaves {secs(goal_total - v_lists)} for `RawReader(path)` next to the lists: its decoding "
                 f"would have to be {times(v_decode / (goal_total - v_lists))} faster than now (see the whole-decode "
                 "diagnosis for where its time goes).")
    text += (" The array hand-over (`Spectrum.mz_array` and `intensity_array`, NumPy views of the decoded values) "
             "carries the decoding speed to Python code; see its row above.")
    return text


def arrays_section(runs: list[dict]) -> str:
    rows = []
    for a in runs:
        rows.append([a["python"], f"{a['mz_array'] * 1e6:.2f} µs", f"{a['intensity_array'] * 1e6:.2f} µs",
                     f"{a['mz_array_small'] * 1e6:.2f} µs ({a['small_points']:,} points)",
                     secs(a["mz_list"])])
    first = runs[0]
    text = table(["Python", "`mz_array`", "`intensity_array`", "`mz_array`, smallest spectrum", "`mz` (a list)"],
                 rows)
    text += (f"\n\nOne access on a spectrum of {first['points']:,} points of `million-point` (NumPy "
             f"{first['numpy']}): a new read-only array over the decoded values, no copy (checked: two accesses "
             f"share memory). Best of {first['reps']} timings of {first['number']:,} accesses each (timeit); the "
             "list is shown for scale.")
    return text


# --- The report --------------------------------------------------------------


def xic_section(x: dict) -> str:
    a = x["acquisition"]
    lines = [
        (f"{x['targets']} targets (log-uniform over m/z 60 to 1500), {x['tolerance_ppm']:g} ppm, over the "
         f"{a['scans']} MS1 scans ({a['points']:,} points) of the 1 GB run; best of {x['reps']} interleaved rounds."),
        "",
    ]
    rows = [["`Acquisition.xic(targets, 20)`", secs(a["times"]["xic"]["min"]), secs(a["times"]["xic"]["median"])],
            ["the same scans decoded alone: `for s in acq.spectra(ms_level=1)`", secs(a["times"]["decode"]["min"]),
             secs(a["times"]["decode"]["median"])]]
    r = x.get("rawreader")
    if r:
        rows += [["`RawReader.xic(targets, 20)` (the decoded peaks, no decoding)", secs(r["times"]["xic"]["min"]),
                  secs(r["times"]["xic"]["median"])],
                 ["NumPy over `peak_table()`: per scan a cumulative sum and two `searchsorted` for all targets",
                  secs(r["times"]["numpy"]["min"]), secs(r["times"]["numpy"]["median"])]]
    lines.append(table(["", "best", "median"], rows, "lrr"))
    lines += ["", (f"Acquisition.xic ÷ decoding alone: {times(a['ratio'])} in wall-clock time, "
                   f"{times(a['cpu_ratio'])} in CPU time of the process (best rounds: "
                   f"{secs(a['cpu_seconds']['xic'])} and {secs(a['cpu_seconds']['decode'])}).")]
    if r:
        lines += [f"RawReader.xic is {times(r['speedup'])} faster than the NumPy version (largest difference of a "
                  f"cell: {r['max_abs_difference']:.3g}, from the NumPy version's prefix-sum differences)."]
    return "\n".join(lines)
def convert_section(c: dict) -> str:
    v, o, p = c["velorium"], c["pyopenms"], c["psims"]
    rows = [
        ["`velorium convert RUN.d -o out.mzML` (decode + write, end to end)", secs(v["seconds"]),
         f"{v['cpu_seconds']:.1f} s", mib(v["bytes"]), "1.00×"],
        [f"pyopenms {o.get('pyopenms', '')} `MzMLFile().store()` of the spectra in memory", secs(o["seconds"]),
         f"{o['cpu_seconds']:.1f} s", mib(o["bytes"]), times(c["vs_pyopenms"])],
        [f"psims {p.get('psims', '')} `MzMLWriter` of the spectra in memory", secs(p["seconds"]),
         f"{p['cpu_seconds']:.1f} s", mib(p["bytes"]), times(c["vs_psims"])],
    ]
    text = (f"The large run written as indexed mzML, zlib on (m/z 64-bit, intensities 32-bit floats); each writer "
            "in a fresh process. velorium's time includes opening and decoding the acquisition; the others are "
            "given the same spectra already decoded into memory (not timed). velorium: best of "
            f"{c['reps']} rounds; the ratio is the other writer's time over velorium's.\n\n")
    text += table(["Writer", "Wall time", "CPU time", "File", "Time ÷ velorium's"], rows)
    text += (f"\n\nIn CPU time (velorium's summed over its threads): pyopenms {times(c['cpu_vs_pyopenms'])}, "
             f"psims {times(c['cpu_vs_psims'])} velorium's.")
    text += (f"\n\nPeak resident memory of the command: {mib(c['velorium']['peak_rss'])} for the large run, "
             f"{mib(c['velorium_small']['peak_rss'])} for the small one; the difference, "
             f"{mib(c['rss_difference'])}, is what grows with the run (the index: one offset per spectrum).")
    return text


def write_report(results: Path, out: Path) -> None:
    machine = load(results, "machine.json")
    datasets = load(results, "datasets.json")
    cpp = load(results, "cpp.json")
    decode = load(results, "decode.json")
    memory = load(results, "memory.json")
    profile = load(results, "profile.json")
    acquisition = load(results, "acquisition.json")
    handovers = [load(results, p.name) for p in sorted(results.glob("handover-*.json"), reverse=True)]
    mzmls = [load(results, p.name) for p in sorted(results.glob("mzml-*.json"), reverse=True)]
    arrays = [load(results, p.name) for p in sorted(results.glob("arrays-*.json"), reverse=True)]
    xic = load(results, "xic.json")
    convert = load(results, "convert.json")
    steps = []
    if (results / "steps.tsv").is_file():
        for line in (results / "steps.tsv").read_text().splitlines():
            name, _, seconds = line.partition("\t")
            steps.append((name, float(seconds)))
    commands = (results / "commands.txt").read_text().strip() if (results / "commands.txt").is_file() else ""

    summary_rows = []
    misses = []
    if cpp:
        low = min(cpp["lzf"], key=lambda r: r["vs_liblzf"])
        summary_rows.append(["LZF: velorium `lzf::decompress` ÷ liblzf `lzf_decompress`, same blocks (C++)",
                             (f"{times(low['vs_liblzf'])} to {times(max(r['vs_liblzf'] for r in cpp['lzf']))} "
                              f"(lowest: {low['block']})"), "≥ 1.0", verdict(low["vs_liblzf"], 1.0, True)])
    if decode:
        summary_rows.append([f"Whole decode: `RawReader(path)`, {mib(decode['decoded_bytes'])} decoded profile data",
                             (f"{rate(decode['throughput']['rawreader'])}; {times(decode['ratio_rawreader'])} LZF "
                              f"alone on the same blocks on one core ({decode.get('threads', '?')} threads)"),
                             "≥ 1.0", verdict(decode["ratio_rawreader"], 1.0, True)])
        if decode["ratio_rawreader"] < 1.0:
            misses.append(("Whole decode", decode_summary(decode) + decode_proposal(decode, profile)))
    for h in handovers:
        summary_rows.append([f"Python hand-over: `.mz` + `.intensity` ÷ `list(array.array)` (Python {h['python']})",
                             times(h["ratio"]), "≤ 1.2", verdict(h["ratio"], 1.2, False)])
    if memory:
        summary_rows.append(["Memory: `iter_spectra` peak RSS, 1 GB run − 100 MB run",
                             mib(memory["stream_difference"]), "< 32 MiB",
                             verdict(memory["stream_difference"] / MiB, 32.0, False)])
        summary_rows.append(["Memory: `RawReader` peak RSS ÷ (12 bytes × decoded points)",
                             times(memory["reader_ratio"]), "≤ 1.05", verdict(memory["reader_ratio"], 1.05, False)])
    for a in arrays:
        worst = max(a["mz_array"], a["intensity_array"])
        summary_rows.append([f"Arrays: one `mz_array` / `intensity_array` access, {a['points']:,}-point spectrum "
                             f"(Python {a['python']})", f"{worst * 1e6:.2f} µs", "< 2 µs",
                             verdict(worst * 1e6, 2.0, False)])
    if acquisition:
        summary_rows.append(["`Acquisition(path)` + scan table ÷ `RawReader(path)`, 1 GB run",
                             f"{acquisition['open_ratio'] * 100:.2f} %", "≤ 1 %",
                             verdict(acquisition["open_ratio"] * 100, 1.0, False)])
        summary_rows.append(["`acq[i]`, random scans ÷ `Reader::spectrum(i)` in C++", times(acquisition["random_ratio"]),
                             "≤ 1.2", verdict(acquisition["random_ratio"], 1.2, False)])
        summary_rows.append(["`acq.spectra()` speed ÷ `iter_spectra` speed, 1 GB run",
                             times(acquisition["pass_speedup"]), "≥ 1.0", verdict(acquisition["pass_speedup"], 1.0, True)])
        summary_rows.append(["Memory: `acq.spectra()` peak RSS, 1 GB run − 100 MB run",
                             mib(acquisition["memory_difference"]), "< 32 MiB",
                             verdict(acquisition["memory_difference"] / MiB, 32.0, False)])
    for h in mzmls:
        summary_rows.append([f"vs mzML with pyopenms, lists of every spectrum (Python {h['python']})",
                             f"{times(h['speedup_pyopenms'])} faster", "≥ 5×",
                             verdict(h["speedup_pyopenms"], 5.0, True)])
        summary_rows.append([f"vs mzML with pyteomics (Python {h['python']})", f"{times(h['speedup_pyteomics'])} faster",
                             "reported", "—"])
        if "speedup_arrays_pyopenms" in h:
            summary_rows.append([f"vs mzML with pyopenms, NumPy arrays of every spectrum (Python {h['python']})",
                                 f"{times(h['speedup_arrays_pyopenms'])} faster", "≥ 10×",
                                 verdict(h["speedup_arrays_pyopenms"], 10.0, True)])
        if h["speedup_pyopenms"] < 5.0:
            misses.append((f"mzML with pyopenms (Python {h['python']})", mzml_diagnosis(h)))

    if xic:
        summary_rows.append([f"XIC: `Acquisition.xic`, {xic['targets']} targets, 1 GB run ÷ decoding the same scans",
                             times(xic["acquisition"]["ratio"]), "≤ 1.5",
                             verdict(xic["acquisition"]["ratio"], 1.5, False)])
        if xic.get("rawreader"):
            summary_rows.append([f"XIC: `RawReader.xic`, {xic['targets']} targets, vs NumPy over `peak_table()`",
                                 f"{times(xic['rawreader']['speedup'])} faster", "≥ 5×",
                                 verdict(xic["rawreader"]["speedup"], 5.0, True)])
    if convert:
        summary_rows.append(["Convert to mzML, zlib: pyopenms `MzMLFile().store()` time ÷ `velorium convert` time",
                             times(convert["vs_pyopenms"]), "≥ 2×", verdict(convert["vs_pyopenms"], 2.0, True)])
        summary_rows.append(["Convert to mzML, zlib: psims time ÷ `velorium convert` time", times(convert["vs_psims"]),
                             "≥ 20×", verdict(convert["vs_psims"], 20.0, True)])
        summary_rows.append(["Memory: `velorium convert` peak RSS, 1 GB run − 100 MB run",
                             mib(convert["rss_difference"]), "< 64 MiB",
                             verdict(convert["rss_difference"] / MiB, 64.0, False)])

    parts = [
        "# Benchmarks",
        "",
        (f"Written by `bash bench/run.sh` on {machine['date'] if machine else 'an unknown date'}. Every comparison "
         "below is measured side by side in this one run, on the same machine, with the cases of each comparison "
         "run in interleaved rounds (so that a busy spell of the machine hits them alike); ratios use the best "
         "round of each case. The acquisitions are synthetic, written by `tools/write_acquisition.py` "
         "(the data folder is outside the repository and is not committed)."),
        "",
        "## Summary",
        "",
        table(["Benchmark", "Measured", "Goal", "Result"], summary_rows, "llll"),
    ]
    if misses:
        parts += ["", "### Goals missed, and why", ""]
        for name, text in misses:
            parts += [f"- **{name}.** {text}"]
    if machine:
        parts += ["", "## Machine", "", machine_section(machine, steps)]
        load_note = ("The machine is shared: other work may have been running during the measurements (see the "
                     "load average above); the interleaved rounds and best-of timings are meant to absorb that, "
                     "the medians show how much it mattered.")
        parts += ["", load_note]
    if commands:
        parts += ["", "## Commands", "", "```", commands, "```"]
    if datasets:
        parts += ["", "## Acquisitions", "", datasets_section(datasets)]
    if cpp:
        parts += ["", "## LZF decompression (C++)", "", cpp_section(cpp)]
    if decode:
        parts += ["", "## Whole decode", "", decode_section(decode), "", decode_diagnosis(decode)]
        if cpp and cpp["profile"]:
            parts += ["", cpp_comparison(decode, cpp)]
        parts += ["", "### Where the decoding time goes", "", profile_section(profile)]
    if arrays:
        parts += ["", "## Array access", "", arrays_section(arrays)]
    if handovers:
        parts += ["", "## Python hand-over", "", handover_section(handovers)]
    if memory:
        parts += ["", "## Memory", "", memory_section(memory)]
    if acquisition:
        parts += ["", "## Acquisition: open, random access, a pass", "", acquisition_section(acquisition)]
    if mzmls:
        parts += ["", "## Against mzML readers", "", mzml_section(mzmls)]
    if xic:
        parts += ["", "## Extracted-ion chromatograms", "", xic_section(xic)]
    if convert:
        parts += ["", "## Converting to mzML", "", convert_section(convert)]
    codecs = load(results, "codecs.json")
    if codecs:
        from .codecs import section

        parts += ["", "## Output codecs", "", section(codecs)]
    out.write_text("\n".join(parts) + "\n")
