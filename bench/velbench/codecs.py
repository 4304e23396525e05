"""The output codecs against what users would use instead, side by side:

- MS-Numpress encoders (linear for m/z, slof and pic for intensities) in C++
  (velorium_codecs_time) against pynumpress, the reference encoders called
  from Python once per array, on the same spectrum-sized arrays, each array
  with its optimal fixed point computed as part of the work: nanoseconds per
  value; the bytes written must be the same;
- SHA-1 on one large buffer against hashlib's (OpenSSL's where CPython has
  it): seconds per GiB.

Both sides run on one thread. Rounds are interleaved: one C++ process (two
rounds), then two rounds in Python, and again; the least CPU time and the
least wall-clock time of each side count, from the same number of rounds.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from .common import log, ratio

# Spectrum-sized arrays: profile spectra after zero trimming, and centroids.
SHAPES = {"profile": (60, 20000), "centroid": (1000, 400)}
SHA1_MIB = 256


def arrays(count: int, points: int, seed: int):
    """m/z ascending with steps growing with m/z and gaps, and log-normal
    intensities with zeros, as spectra have them."""
    import numpy as np

    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        steps = rng.uniform(0.8, 1.2, points) * 4e-6 * np.linspace(100, 2000, points)
        steps[rng.random(points) < 0.05] *= 200
        mz = 100.0 + np.cumsum(steps)
        intensity = np.exp(rng.normal(5, 2.5, points)).astype(np.float32)
        intensity[rng.random(points) < 0.3] = 0
        out.append((mz, intensity))
    return out


def write_arrays(path: Path, spectra) -> None:
    with open(path, "wb") as f:
        f.write(struct.pack("<I", len(spectra)))
        for mz, intensity in spectra:
            f.write(struct.pack("<I", len(mz)))
            f.write(mz.astype("<f8").tobytes())
            f.write(intensity.astype("<f4").tobytes())


def cpp(tool: str, *args: str) -> dict:
    proc = subprocess.run([tool, *args], capture_output=True, text=True, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"{tool} {' '.join(args)} failed ({proc.returncode}): {proc.stderr.strip()}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


CODECS = ("linear", "slof", "pic")
ROUNDS_PER_PROCESS = 2  # the C++ tool's rounds per call; the reference runs as many per rep


def reference_round(spectra) -> dict:
    """pynumpress on every spectrum: CPU and wall-clock seconds and bytes
    written per codec. The intensities are handed over as float64, converted
    beforehand (the reference takes doubles)."""
    import pynumpress

    out = {}
    for codec in CODECS:
        arrays = [mz if codec == "linear" else intensity for mz, intensity in spectra]
        start, wall_start = time.process_time(), time.perf_counter()
        total = 0
        for values in arrays:
            if codec == "linear":
                encoded = pynumpress.encode_linear(values, pynumpress.optimal_linear_fixed_point(values))
            elif codec == "slof":
                encoded = pynumpress.encode_slof(values, pynumpress.optimal_slof_fixed_point(values))
            else:
                encoded = pynumpress.encode_pic(values)
            total += len(encoded)
        out[codec] = {"seconds": time.process_time() - start, "wall": time.perf_counter() - wall_start,
                      "bytes": total}
    return out


def run_numpress(tool: str, reps: int) -> dict:
    import numpy as np

    result: dict = {}
    with tempfile.TemporaryDirectory() as tmp:
        for k, (shape, (count, points)) in enumerate(SHAPES.items()):
            spectra = arrays(count, points, seed=11 + k)
            path = Path(tmp) / f"{shape}.bin"
            write_arrays(path, spectra)
            doubles = [(mz, intensity.astype(np.float64)) for mz, intensity in spectra]
            values = count * points
            # codec: {"ours"/"theirs": {"cpu"/"wall": [seconds]}}
            spent = {c: {side: {"cpu": [], "wall": []} for side in ("ours", "theirs")} for c in CODECS}
            sizes: dict[str, tuple[int, int]] = {}
            for _ in range(reps):
                c = cpp(tool, "numpress", str(path), str(ROUNDS_PER_PROCESS))
                rounds = [reference_round(doubles) for _ in range(ROUNDS_PER_PROCESS)]
                for codec in CODECS:
                    spent[codec]["ours"]["cpu"].append(c[codec]["best"])
                    spent[codec]["ours"]["wall"].append(c[codec]["wall_best"])
                    spent[codec]["theirs"]["cpu"] += [r[codec]["seconds"] for r in rounds]
                    spent[codec]["theirs"]["wall"] += [r[codec]["wall"] for r in rounds]
                    sizes[codec] = (c[codec]["bytes"], rounds[-1][codec]["bytes"])
            rows = {}
            for codec in CODECS:
                if sizes[codec][0] != sizes[codec][1]:
                    raise RuntimeError(f"{shape} {codec}: velorium wrote {sizes[codec][0]} bytes, "
                                       f"the reference {sizes[codec][1]}: not the same encodings")
                per_value = {side: {clock: min(v) / values * 1e9 for clock, v in spent[codec][side].items()}
                             for side in ("ours", "theirs")}
                rows[codec] = {"velorium_ns_per_value": per_value["ours"]["cpu"],
                               "reference_ns_per_value": per_value["theirs"]["cpu"],
                               "velorium_wall_ns_per_value": per_value["ours"]["wall"],
                               "reference_wall_ns_per_value": per_value["theirs"]["wall"],
                               "speedup": ratio(per_value["theirs"]["cpu"], per_value["ours"]["cpu"]),
                               "wall_speedup": ratio(per_value["theirs"]["wall"], per_value["ours"]["wall"]),
                               "bytes_per_value": sizes[codec][0] / values}
            result[shape] = {"spectra": count, "points": points, "codecs": rows}
            log(f"numpress {shape}: " + ", ".join(f"{c} {r['speedup']:.2f}x" for c, r in rows.items()))
    return result


def run_sha1(tool: str, reps: int) -> dict:
    buffer = os.urandom(SHA1_MIB << 20)
    spent: dict[str, list[float]] = {"ours": [], "ours_wall": [], "portable": [], "theirs": [], "theirs_wall": []}
    c: dict = {}
    for _ in range(reps):
        c = cpp(tool, "sha1", str(SHA1_MIB), str(ROUNDS_PER_PROCESS))
        spent["ours"].append(c["best"])
        spent["ours_wall"].append(c["wall_best"])
        spent["portable"].append(c["portable_best"])
        for _ in range(ROUNDS_PER_PROCESS):
            start, wall_start = time.process_time(), time.perf_counter()
            hashlib.sha1(buffer).digest()
            spent["theirs"].append(time.process_time() - start)
            spent["theirs_wall"].append(time.perf_counter() - wall_start)
    gib = SHA1_MIB / 1024
    per_gib = {name: min(v) / gib for name, v in spent.items()}
    out = {"mib": SHA1_MIB, "velorium_s_per_gib": per_gib["ours"], "hashlib_s_per_gib": per_gib["theirs"],
           "velorium_wall_s_per_gib": per_gib["ours_wall"], "hashlib_wall_s_per_gib": per_gib["theirs_wall"],
           "portable_s_per_gib": per_gib["portable"], "accelerated": c["accelerated"],
           "hashlib": type(hashlib.sha1()).__module__ + "." + type(hashlib.sha1()).__name__,
           "openssl": ssl_version()}
    out["ratio"] = ratio(out["velorium_s_per_gib"], out["hashlib_s_per_gib"])
    out["speedup"] = ratio(out["hashlib_s_per_gib"], out["velorium_s_per_gib"])
    out["wall_speedup"] = ratio(out["hashlib_wall_s_per_gib"], out["velorium_wall_s_per_gib"])
    log(f"sha1: {out['velorium_s_per_gib']:.2f} s/GiB, hashlib {out['hashlib_s_per_gib']:.2f} s/GiB")
    return out


def ssl_version() -> str | None:
    """The OpenSSL that CPython's hashlib uses, when it has one."""
    try:
        import ssl
    except ImportError:
        return None
    return ssl.OPENSSL_VERSION


def run(tool: str, reps: int) -> dict:
    return {"numpress": run_numpress(tool, reps), "sha1": run_sha1(tool, reps), "reps": reps}


# --- Report ------------------------------------------------------------------

ORDER = 100

CODEC_NAMES = {"linear": "MS-Numpress linear (m/z)", "slof": "MS-Numpress slof (intensities)",
               "pic": "MS-Numpress pic (intensities)"}


def spread(values: dict[str, float]) -> str:
    """'a× to b× (lowest: NAME)' over the array shapes, or 'a×' for one."""
    from .summary import times

    low, high = min(values, key=values.get), max(values, key=values.get)
    if len(values) == 1:
        return times(values[low])
    return f"{times(values[low])} ({low}) to {times(values[high])} ({high})"


def report(results):
    from .summary import Part, Row, ratio_row, table

    c = results.one("codecs")
    if not c:
        return None
    shapes = c["numpress"]
    rows, summary_rows = [], []
    for codec in CODECS:
        for shape, s in shapes.items():
            r = s["codecs"][codec]
            rows.append([codec, f"{shape}: {s['spectra']} × {s['points']}", f"{r['velorium_ns_per_value']:.2f}",
                         f"{r['reference_ns_per_value']:.2f}", f"{r['speedup']:.2f}×",
                         f"{r['velorium_wall_ns_per_value']:.2f}", f"{r['reference_wall_ns_per_value']:.2f}",
                         f"{r['wall_speedup']:.2f}×", f"{r['bytes_per_value']:.2f}"])
        summary_rows.append(Row(f"{CODEC_NAMES[codec]} encoding: pynumpress time ÷ velorium time, the same arrays "
                                "and bytes (C++)",
                                spread({shape: s["codecs"][codec]["wall_speedup"] for shape, s in shapes.items()}),
                                spread({shape: s["codecs"][codec]["speedup"] for shape, s in shapes.items()}),
                                "1 each", "reported", "—"))
    h = c["sha1"]
    how = "the processor's SHA instructions" if h["accelerated"] else "portable code"
    hashlib_name = f"hashlib ({h['hashlib']}{', ' + h['openssl'] if h.get('openssl') else ''})"
    summary_rows.append(ratio_row(f"SHA-1 of {h['mib']} MiB: {hashlib_name} time ÷ velorium time (C++)",
                                  h.get("wall_speedup"), h.get("speedup"), "1 each", None, True, "CPU"))
    text = (f"MS-Numpress encoders, each array with its optimal fixed point computed as part of the work, against "
            "pynumpress, the reference encoders called from Python once per array (the intensities handed to it "
            "as float64, converted beforehand and not timed), on the same arrays: m/z ascending with steps that "
            "grow with m/z and gaps, log-normal intensities with 30 % zeros. Every round checks that both wrote "
            f"the same number of bytes. Both on one thread; {c['reps']} interleaved rounds of one C++ process "
            f"({ROUNDS_PER_PROCESS} rounds) and {ROUNDS_PER_PROCESS} rounds in Python; the least CPU time and the "
            "least wall-clock time of each side count.\n\n")
    text += table(["Codec", "Arrays", "velorium ns/value (CPU)", "pynumpress ns/value (CPU)", "Speed-up (CPU)",
                   "velorium ns/value (wall)", "pynumpress ns/value (wall)", "Speed-up (wall)", "Bytes/value"],
                  rows, "llrrrrrrr")
    text += (f"\n\nSHA-1 of one {h['mib']} MiB buffer on one thread: velorium {h['velorium_s_per_gib']:.2f} s/GiB "
             f"of CPU time ({how}; its portable code alone {h['portable_s_per_gib']:.2f} s/GiB), {hashlib_name} "
             f"{h['hashlib_s_per_gib']:.2f} s/GiB; in wall-clock time {h['velorium_wall_s_per_gib']:.2f} and "
             f"{h['hashlib_wall_s_per_gib']:.2f} s/GiB. The mzML writer hashes the file it writes with it.")
    return Part("Output codecs", text, summary_rows)
