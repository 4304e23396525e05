"""The output codecs against what users would use instead, side by side:

- MS-Numpress encoders (linear for m/z, slof and pic for intensities) in C++
  (velorium_codecs_time) against the reference encoders through pynumpress,
  on the same spectrum-sized arrays, each array with its optimal fixed
  point computed as part of the work: CPU nanoseconds per value;
- SHA-1 on one large buffer against hashlib's (OpenSSL's where CPython has
  it): CPU seconds per GiB.

Rounds are interleaved: one C++ process (two rounds, the better counts),
then one round in Python, and again. CPU time, as the machine is shared.
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


def reference_round(spectra) -> dict:
    """pynumpress on every spectrum: CPU seconds and bytes written per codec.
    The intensities are handed over as float64, converted beforehand (the
    reference takes doubles)."""
    import pynumpress

    out = {}
    for codec in ("linear", "slof", "pic"):
        arrays = [mz if codec == "linear" else intensity for mz, intensity in spectra]
        start = time.process_time()
        total = 0
        for values in arrays:
            if codec == "linear":
                encoded = pynumpress.encode_linear(values, pynumpress.optimal_linear_fixed_point(values))
            elif codec == "slof":
                encoded = pynumpress.encode_slof(values, pynumpress.optimal_slof_fixed_point(values))
            else:
                encoded = pynumpress.encode_pic(values)
            total += len(encoded)
        out[codec] = {"seconds": time.process_time() - start, "bytes": total}
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
            ours: dict[str, list[float]] = {c: [] for c in ("linear", "slof", "pic")}
            theirs: dict[str, list[float]] = {c: [] for c in ("linear", "slof", "pic")}
            sizes: dict[str, tuple[int, int]] = {}
            for _ in range(reps):
                c = cpp(tool, "numpress", str(path), "2")
                r = reference_round(doubles)
                for codec in ours:
                    ours[codec].append(c[codec]["best"])
                    theirs[codec].append(r[codec]["seconds"])
                    sizes[codec] = (c[codec]["bytes"], r[codec]["bytes"])
            rows = {}
            for codec in ours:
                if sizes[codec][0] != sizes[codec][1]:
                    raise RuntimeError(f"{shape} {codec}: velorium wrote {sizes[codec][0]} bytes, "
                                       f"the reference {sizes[codec][1]}: not the same encodings")
                ns_ours = min(ours[codec]) / values * 1e9
                ns_theirs = min(theirs[codec]) / values * 1e9
                rows[codec] = {"velorium_ns_per_value": ns_ours, "reference_ns_per_value": ns_theirs,
                               "speedup": ratio(ns_theirs, ns_ours), "bytes_per_value": sizes[codec][0] / values}
            result[shape] = {"spectra": count, "points": points, "codecs": rows}
            log(f"numpress {shape}: " + ", ".join(f"{c} {r['speedup']:.2f}x" for c, r in rows.items()))
    return result


def run_sha1(tool: str, reps: int) -> dict:
    buffer = os.urandom(SHA1_MIB << 20)
    ours: list[float] = []
    portable: list[float] = []
    theirs: list[float] = []
    for _ in range(reps):
        c = cpp(tool, "sha1", str(SHA1_MIB), "2")
        ours.append(c["best"])
        portable.append(c["portable_best"])
        start = time.process_time()
        hashlib.sha1(buffer).digest()
        theirs.append(time.process_time() - start)
    gib = SHA1_MIB / 1024
    out = {"mib": SHA1_MIB, "velorium_s_per_gib": min(ours) / gib, "hashlib_s_per_gib": min(theirs) / gib,
           "portable_s_per_gib": min(portable) / gib, "accelerated": c["accelerated"],
           "hashlib": type(hashlib.sha1()).__module__ + "." + type(hashlib.sha1()).__name__}
    out["ratio"] = ratio(out["velorium_s_per_gib"], out["hashlib_s_per_gib"])
    log(f"sha1: {out['velorium_s_per_gib']:.2f} s/GiB, hashlib {out['hashlib_s_per_gib']:.2f} s/GiB")
    return out


def run(tool: str, reps: int) -> dict:
    return {"numpress": run_numpress(tool, reps), "sha1": run_sha1(tool, reps), "reps": reps}


def section(c: dict) -> str:
    """The report's section on the codecs."""
    rows = []
    for shape, s in c["numpress"].items():
        for codec, r in s["codecs"].items():
            rows.append(f"| {codec} | {shape}: {s['spectra']} × {s['points']} | {r['velorium_ns_per_value']:.2f} "
                        f"| {r['reference_ns_per_value']:.2f} | {r['speedup']:.2f}× | {r['bytes_per_value']:.2f} |")
    h = c["sha1"]
    return "\n".join([
        "MS-Numpress encoders, each array with its optimal fixed point, against the reference encoders through "
        f"pynumpress on the same arrays (CPU time, best of {c['reps']} interleaved rounds; the bytes are "
        "checked to be the same).",
        "",
        "| Codec | Arrays | velorium ns/value | reference ns/value | Speed-up | Bytes/value |",
        "|---|---|---|---|---|---|",
        *rows,
        "",
        f"SHA-1 of {h['mib']} MiB: velorium {h['velorium_s_per_gib']:.2f} s/GiB "
        f"({'the processor' + chr(39) + 's SHA instructions' if h['accelerated'] else 'portable code'}; its portable "
        f"code alone {h['portable_s_per_gib']:.2f} s/GiB), {h['hashlib']} {h['hashlib_s_per_gib']:.2f} s/GiB "
        f"(CPU time; velorium ÷ hashlib {h['ratio']:.2f}).",
    ])
