"""The codec benchmark's own logic (velbench codecs), with a stand-in for the
C++ velorium_codecs_time that encodes with the reference itself."""

import sys
import textwrap

import pytest
from velbench import codecs


def fake_codecs_time(folder, extra_bytes):
    """Reads the arrays file as the C++ tool does and reports the reference's
    sizes (plus `extra_bytes` for linear) with fixed times."""
    tool = folder / "codecs_time"
    tool.write_text(f"#!{sys.executable}\n" + textwrap.dedent(f"""
        import json, struct, sys
        import numpy as np, pynumpress
        if sys.argv[1] == "sha1":
            print(json.dumps({{"best": 0.5, "portable_best": 2.0, "accelerated": True}}))
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
        print(json.dumps({{c: {{"best": 1e-3, "median": 1e-3, "values": values, "bytes": b}}
                          for c, b in sizes.items()}}))
    """))
    tool.chmod(0o755)
    return str(tool)


@pytest.mark.parametrize("extra_bytes", [0, 1])
def test_codecs_step_compares_the_same_encodings(tmp_path, monkeypatch, extra_bytes):
    monkeypatch.setattr(codecs, "SHAPES", {"profile": (3, 500), "centroid": (4, 50)})
    monkeypatch.setattr(codecs, "SHA1_MIB", 1)
    tool = fake_codecs_time(tmp_path, extra_bytes)
    if extra_bytes:
        with pytest.raises(RuntimeError, match="profile linear: velorium wrote .* not the same encodings"):
            codecs.run(tool, reps=1)
        return
    result = codecs.run(tool, reps=2)
    linear = result["numpress"]["profile"]["codecs"]["linear"]
    assert linear["velorium_ns_per_value"] == pytest.approx(1e-3 / 1500 * 1e9)
    assert linear["speedup"] == pytest.approx(linear["reference_ns_per_value"] / linear["velorium_ns_per_value"])
    assert result["sha1"]["velorium_s_per_gib"] == pytest.approx(0.5 * 1024)
    text = codecs.section(result)
    assert text.count("\n| ") == 1 + 6  # the header and a row per codec and shape
    assert "the processor's SHA instructions; its portable code alone 2048.00 s/GiB" in text
