"""The codec benchmark's own logic (velbench codecs), with a stand-in for the
C++ velorium_codecs_time that encodes with the reference itself and takes a
set time per value, and a fake clock for the Python side."""

import itertools
import sys
import textwrap
from types import SimpleNamespace

import pytest
from velbench import codecs


def fake_codecs_time(folder, extra_bytes):
    """Reads the arrays file as the C++ tool does and reports the reference's
    sizes (plus `extra_bytes` for linear); 1 µs of CPU time and 2 µs of wall
    time per value, and 1 ms and 2 ms for SHA-1."""
    tool = folder / "codecs_time"
    tool.write_text(f"#!{sys.executable}\n" + textwrap.dedent(f"""
        import json, struct, sys
        import numpy as np, pynumpress
        if sys.argv[1] == "sha1":
            print(json.dumps({{"best": 1e-3, "wall_best": 2e-3, "portable_best": 2.0, "accelerated": True}}))
            sys.exit(0)
        data = open(sys.argv[2], "rb").read()
        (count,), at, sizes, values = struct.unpack_from("<I", data), 4, dict(linear=0, slof=0, pic=0), 0
        for _ in range(count):
            (n,) = struct.unpack_from("<I", data, at)
            mz = np.frombuffer(data, "<f8", n, at + 4)
            counts = np.frombuffer(data, "<f4", n, at + 4 + 8 * n).astype(np.float64)
            at += 4 + 12 * n
            values += n
            sizes["linear"] += len(pynumpress.encode_linear(mz, pynumpress.optimal_linear_fixed_point(mz)))
            sizes["slof"] += len(pynumpress.encode_slof(counts, pynumpress.optimal_slof_fixed_point(counts)))
            sizes["pic"] += len(pynumpress.encode_pic(counts))
        sizes["linear"] += {extra_bytes}
        print(json.dumps({{c: {{"best": values * 1e-6, "median": values * 1e-6, "wall_best": values * 2e-6,
                               "values": values, "bytes": b}} for c, b in sizes.items()}}))
    """))
    tool.chmod(0o755)
    return str(tool)


def fake_clock(monkeypatch):
    """Every timed piece of Python work takes 3 ms of CPU time and 8 ms of wall-clock time."""
    cpu, wall = itertools.count(0, 3e-3), itertools.count(0, 8e-3)
    monkeypatch.setattr(codecs, "time", SimpleNamespace(process_time=lambda: next(cpu),
                                                        perf_counter=lambda: next(wall)))


@pytest.fixture
def small_shapes(monkeypatch):
    monkeypatch.setattr(codecs, "SHAPES", {"profile": (3, 500), "centroid": (4, 50)})
    monkeypatch.setattr(codecs, "SHA1_MIB", 1)


def test_codecs_step_refuses_different_encodings(tmp_path, small_shapes):
    with pytest.raises(RuntimeError, match="profile linear: velorium wrote .* not the same encodings"):
        codecs.run(fake_codecs_time(tmp_path, 1), reps=1)


def test_codecs_rows_per_value_in_cpu_and_wall_time(tmp_path, small_shapes, monkeypatch, report_of):
    fake_clock(monkeypatch)
    result = codecs.run(fake_codecs_time(tmp_path, 0), reps=2)
    rows, misses, text = report_of({"codecs": result})
    # velorium: 1000 ns of CPU and 2000 ns of wall time per value. pynumpress: 3 ms and 8 ms per round, for
    # 1500 values (profile: 2000 and 5333 ns per value) and for 200 values (centroid: 15000 and 40000 ns).
    for codec, name in codecs.CODEC_NAMES.items():
        row = rows[f"{name} encoding: pynumpress time ÷ velorium time, the same arrays and bytes (C++)"]
        assert row == ["2.67× (profile) to 20.00× (centroid)", "2.00× (profile) to 15.00× (centroid)", "1 each",
                       "reported", "—"]
    sha1 = next(cells for name, cells in rows.items() if name.startswith("SHA-1 of 1 MiB: hashlib"))
    assert sha1 == ["4.00×", "3.00×", "1 each", "reported", "—"]  # 8 ms ÷ 2 ms, 3 ms ÷ 1 ms
    assert misses == {}
    assert "| linear | centroid: 4 × 50 | 1000.00 | 15000.00 | 15.00× | 2000.00 | 40000.00 | 20.00× |" in text
    assert "its portable code alone 2048.00 s/GiB" in text
