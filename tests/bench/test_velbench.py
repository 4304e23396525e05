"""The benchmark suite's own logic: its measurements run end to end on a small
acquisition, its parsers, and the report it writes from their results."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from velbench import acquisition, arrays, convert, cpp, decode, handover, memory, report
from velbench.common import write_json
from velbench.profile import parse_report

ROOT = Path(__file__).resolve().parents[2]

ROOT_SAMPLE = str(ROOT / "examples" / "data" / "sample.d")


def gbench(rows):
    """A Google Benchmark JSON report: (name, bytes_per_second or items_per_second, kind)."""
    benchmarks = []
    for name, value, kind in rows:
        counters = {"items_per_second": value} if kind == "items" else {"bytes_per_second": value, "ratio": 2.0}
        for agg in ("mean", "median"):
            benchmarks.append({"name": f"{name}_{agg}", "run_name": name, "run_type": "aggregate",
                               "aggregate_name": agg, **{k: (v if agg == "median" else v * 10)
                                                         for k, v in counters.items()}})
        benchmarks.append({"name": name, "run_name": name, "run_type": "iteration", **counters})
    return {"context": {"date": "today", "num_cpus": 2}, "benchmarks": benchmarks}


# --- C++ benchmark output ----------------------------------------------------


def test_cpp_ratios_come_from_the_medians():
    r = cpp.reduce(gbench([
        ("lzf/velorium/profile-100000", 300.0, "bytes"), ("lzf/liblzf/profile-100000", 200.0, "bytes"),
        ("lzf/liblzf-prealloc/profile-100000", 250.0, "bytes"),
        ("lzf/velorium/random-1MiB", 900.0, "bytes"), ("lzf/liblzf/random-1MiB", 100.0, "bytes"),
        ("lzf/liblzf-prealloc/random-1MiB", 100.0, "bytes"),
        ("profile/lzf-100000", 50.0, "items"),
    ]))
    rows = {row["block"]: row for row in r["lzf"]}
    assert [row["block"] for row in r["lzf"]] == ["profile-100000", "random-1MiB"]
    assert rows["profile-100000"]["vs_liblzf"] == pytest.approx(1.5)  # medians, not means
    assert rows["profile-100000"]["vs_prealloc"] == pytest.approx(1.2)
    assert r["lzf_min_vs_liblzf"] == pytest.approx(1.5)
    (prof,) = r["profile"]
    # liblzf: (16 + 4 * 100000) bytes at 250 B/s; decode: 100000 points at 50 points/s.
    assert prof["ratio_to_lzf"] == pytest.approx(((16 + 4e5) / 250.0) / (1e5 / 50.0))


def test_cpp_failed_benchmark_is_an_error():
    data = gbench([("lzf/velorium/x", 1.0, "bytes")])
    data["benchmarks"][-1]["error_occurred"] = True
    with pytest.raises(RuntimeError, match="lzf/velorium/x"):
        cpp.reduce(data)


def test_perf_report_lines():
    text = """# Samples: 1K
    49.63%  [.] velorium::raw::msprofile::(anonymous namespace)::mz_axis       -      -
    35.02%  [.] velorium::raw::lzf::decompress                                 -      -
     2.58%  [k] finish_task_switch.isra.0
     2.00%  [k] _raw_spin_unlock_irqrestore
     0.47%  [.] 0x0000000000180fc7
     0.40%  [.] PyObject_Malloc
"""
    r = parse_report(text)
    assert r["functions"] == {"msprofile::mz_axis": 49.63, "lzf::decompress": 35.02}
    assert r["kernel"] == pytest.approx(4.58)
    assert r["other"] == pytest.approx(0.87)


# --- Measurements, end to end on small data ---------------------------------


def test_decode_compares_the_same_blocks(small_profile_run):
    d = decode.run(str(small_profile_run), reps=1, python=sys.executable)
    assert d["scans"] == 12 and d["points"] == 12 * 3000 and d["decoded_bytes"] == 12 * d["points"]
    assert d["lzf_output_bytes"] == 12 * (16 + 4 * 3000)
    assert d["ratio_rawreader"] == pytest.approx(d["times"]["liblzf"]["min"] / d["times"]["rawreader"]["min"])
    plain = d["child"]["plain"]["best"]
    assert plain["scans"] == 12 and plain["user_seconds"] >= 0 and plain["minor_faults"] > 0
    assert plain["threads"] == d["threads"] >= 1


def test_decode_refuses_runs_with_other_blocks(tmp_path):
    with pytest.raises(RuntimeError, match="scan 3 has no profile block"):
        decode.run(ROOT_SAMPLE, reps=1, python=sys.executable)  # MS2 scans with centroids only
    rle = tmp_path / "rle.d"
    subprocess.run([sys.executable, str(ROOT / "tools" / "write_acquisition.py"), str(rle), "--scans", "3",
                    "--points", "500", "--spectra", "profile", "--encoding", "rle"], check=True, capture_output=True)
    with pytest.raises(RuntimeError, match="not LZF-compressed"):
        decode.run(str(rle), reps=1, python=sys.executable)


def test_handover_builds_the_same_lists_both_ways():
    h = handover.run(ROOT_SAMPLE, reps=1)
    assert h["spectra"] == 400 and h["floats"] == 2 * h["points"]
    assert h["ratio"] == pytest.approx(h["times"]["velorium"]["min"] / h["times"]["array"]["min"])


@pytest.fixture(scope="module")
def million_point_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench") / "million.d"
    subprocess.run([sys.executable, str(ROOT / "tools" / "write_acquisition.py"), str(out), "--scans", "2",
                    "--points", "1000000", "--spectra", "profile", "--encoding", "lzf", "--ms2-share", "0"],
                   check=True, capture_output=True)
    return out


def test_array_access_is_timed_on_the_largest_spectrum(million_point_run, small_profile_run, tmp_path):
    a = arrays.run(str(million_point_run), reps=1)
    assert a["points"] == 1_000_000 and a["reps"] == 3 and a["number"] > 0
    assert 0 < a["mz_array"] < a["mz_list"] and a["intensity_array"] > 0 and a["mz_array_small"] > 0
    with pytest.raises(RuntimeError, match="needs 10\\^6"):
        arrays.run(str(small_profile_run), reps=1)
    results = tmp_path / "results"
    write_json(results / "arrays-py.json", a)
    out = tmp_path / "BENCHMARKS.md"
    report.write_report(results, out)
    text = out.read_text()
    row = next(line for line in text.splitlines() if line.startswith("| Arrays: one `mz_array`"))
    worst = max(a["mz_array"], a["intensity_array"]) * 1e6
    assert f"{worst:.2f} µs" in row and ("**met**" in row) == (worst < 2.0)
    assert "## Array access" in text


def test_memory_children_report_their_peaks(small_profile_run):
    m = memory.run(sys.executable, ROOT_SAMPLE, str(small_profile_run))
    assert m["stream_large"]["points"] == 12 * 3000 and m["reader_large"]["points"] == 12 * 3000
    assert m["reader_large"]["peak_rss"] >= m["reader_large"]["baseline_rss"] > 0
    assert m["stream_difference"] == m["stream_large"]["peak_rss"] - m["stream_small"]["peak_rss"]


# --- The report --------------------------------------------------------------


def test_verdicts():
    assert report.verdict(1.3, 1.0, True) == "**met**"
    assert report.verdict(0.5, 0.7, True) == "**missed** by 29 %"
    assert report.verdict(1.1, 1.2, False) == "**met**"
    assert report.verdict(1.5, 1.2, False) == "**missed** by 25 %"
    assert report.verdict(float("nan"), 1.0, True) == "not measured"


def test_report_from_a_run(tmp_path, small_profile_run):
    results = tmp_path / "results"
    write_json(results / "decode.json", decode.run(str(small_profile_run), reps=1, python=sys.executable))
    write_json(results / "handover-py.json", handover.run(ROOT_SAMPLE, reps=1))
    write_json(results / "memory.json", memory.run(sys.executable, ROOT_SAMPLE, str(small_profile_run)))
    write_json(results / "cpp.json", cpp.reduce(gbench([
        ("lzf/velorium/profile-100000", 300.0, "bytes"), ("lzf/liblzf/profile-100000", 200.0, "bytes"),
        ("lzf/liblzf-prealloc/profile-100000", 250.0, "bytes"), ("profile/lzf-100000", 50.0, "items")])))
    write_json(results / "profile.json", {"available": False, "reason": "test"})
    (results / "steps.tsv").write_text("decode\t1.5\n")
    out = tmp_path / "BENCHMARKS.md"
    report.write_report(results, out)
    text = out.read_text()
    assert text.startswith("# Benchmarks\n")
    summary = text.split("## Summary", 1)[1].split("\n## ", 1)[0]
    assert "LZF: velorium" in summary and "1.50× to 1.50×" in summary and "**met**" in summary
    decode_row = next(line for line in summary.splitlines() if line.startswith("| Whole decode"))
    ratio = json.loads((results / "decode.json").read_text())["ratio_rawreader"]
    assert f"{ratio:.2f}×" in decode_row
    assert ("**met**" in decode_row) == (ratio >= 1.0)
    assert "(perf samples not taken: test.)" in text
    assert "## Against mzML readers" not in text  # no result, no section


# --- Acquisition ---------------------------------------------------------------


def fake_spectrum_time(folder: Path, extra_points: int = 0) -> str:
    """Stands in for the C++ velorium_spectrum_time: same input and output."""
    tool = folder / "spectrum_time"
    tool.write_text(f"#!{sys.executable}\n" + textwrap.dedent(f"""
        import json, sys, time, velorium
        acq = velorium.Acquisition(sys.argv[1])
        indices = [int(x) for x in sys.stdin.read().split()]
        t0 = time.perf_counter()
        points = sum(len(acq[i]) for i in indices) + {extra_points}
        dt = time.perf_counter() - t0
        print(json.dumps({{"spectra": len(indices), "points": points, "rounds": 1, "min": dt, "median": dt}}))
    """))
    tool.chmod(0o755)
    return str(tool)


def test_acquisition_step_and_its_report(tmp_path, small_profile_run):
    a = acquisition.run(sys.executable, ROOT_SAMPLE, str(small_profile_run), fake_spectrum_time(tmp_path), reps=1)
    assert a["scans"] == 12 and a["random"]["spectra"] == acquisition.RANDOM_SPECTRA
    assert a["pass"]["points"] == 12 * 3000
    assert a["open_ratio"] == pytest.approx(a["open"]["acquisition"]["min"] / a["open"]["rawreader"]["min"])
    assert a["random_ratio"] == pytest.approx(a["random"]["python"]["min"] / a["random"]["cpp"]["min"])
    assert a["pass_speedup"] == pytest.approx(a["pass"]["iter_spectra"]["min"] / a["pass"]["spectra"]["min"])
    assert a["memory"]["small"]["scans"] == 400 and a["memory"]["large"]["points"] == 12 * 3000
    assert a["memory_difference"] == a["memory"]["large"]["peak_rss"] - a["memory"]["small"]["peak_rss"]
    assert all(c["cpu_seconds"] > 0 for c in a["pass_cpu"].values())

    results = tmp_path / "results"
    write_json(results / "acquisition.json", a)
    out = tmp_path / "BENCHMARKS.md"
    report.write_report(results, out)
    text = out.read_text()
    assert "## Acquisition: open, random access, a pass" in text
    assert f"{a['pass_cpu']['iter_spectra']['minor_faults']:,}." in text
    row = next(line for line in text.splitlines() if line.startswith("| `acq[i]`, random scans"))
    assert f"{a['random_ratio']:.2f}×" in row and ("**met**" in row) == (a["random_ratio"] <= 1.2)


def test_acquisition_step_refuses_a_reference_that_decodes_other_points(tmp_path, small_profile_run):
    with pytest.raises(RuntimeError, match="points"):
        acquisition.run(sys.executable, ROOT_SAMPLE, str(small_profile_run), fake_spectrum_time(tmp_path, 1), reps=1)
# --- Extracted-ion chromatograms ---------------------------------------------


def test_numpy_xic_takes_the_same_windows_as_xic():
    import numpy as np
    from velbench.xic import numpy_xic

    mz = np.array([100.0, 100.002, 200.0, 100.0, 150.0, 150.003, 150.0045])
    intensity = np.array([1, 2, 4, 8, 16, 32, 64], dtype=np.float32)
    peaks = {"mz": mz, "intensity": intensity, "offsets": np.array([0, 3, 4, 7], dtype=np.uint64)}
    scans = {"ms_level": np.array([1, 2, 1], dtype=np.uint32), "retention_time_sec": np.array([1.0, 2.0, 3.0])}
    targets = np.array([100.0, 150.0, 200.0])
    # 20 ppm: 100 +- 0.002 (both points on the bound count), 150 +- 0.003, 200 +- 0.004.
    rt, values = numpy_xic(peaks, scans, targets, 20.0)
    assert rt.tolist() == [1.0, 3.0]
    assert values.tolist() == [[3.0, 0.0], [0.0, 48.0], [4.0, 0.0]]


def test_xic_step_and_its_report(tmp_path, small_profile_run):
    from velbench import xic

    x = xic.run(str(small_profile_run), reps=1)
    a = x["acquisition"]
    assert x["targets"] == 1000 and a["scans"] == 9 and a["points"] == 9 * 3000  # 12 scans, a quarter MS2
    assert a["ratio"] == a["times"]["xic"]["min"] / a["times"]["decode"]["min"]
    assert a["nonzero_cells"] > 0
    results = tmp_path / "results"
    write_json(results / "xic.json", x)
    out = tmp_path / "BENCHMARKS.md"
    report.write_report(results, out)
    text = out.read_text()
    row = next(line for line in text.splitlines() if line.startswith("| XIC: `Acquisition.xic`"))
    assert f"{a['ratio']:.2f}×" in row and ("**met**" in row) == (a["ratio"] <= 1.5)
    assert "## Extracted-ion chromatograms" in text


def test_convert_runs_each_writer_on_the_same_spectra(tmp_path):
    pytest.importorskip("pyopenms", reason="pyopenms is not installed here")
    pytest.importorskip("psims", reason="psims is not installed here")
    work = tmp_path / "work"
    c = convert.run(sys.executable, ROOT_SAMPLE, ROOT_SAMPLE, str(work), reps=1)
    assert c["pyopenms"]["spectra"] == c["psims"]["spectra"] == 400
    assert c["velorium"]["bytes"] > 1_000_000 and c["velorium"]["peak_rss"] > 0
    assert c["vs_pyopenms"] == c["pyopenms"]["seconds"] / c["velorium"]["seconds"]
    assert c["vs_psims"] == c["psims"]["seconds"] / c["velorium"]["seconds"]
    assert c["rss_difference"] == c["velorium"]["peak_rss"] - c["velorium_small"]["peak_rss"]
    assert list(work.iterdir()) == []  # the files written are removed
    results = tmp_path / "results"
    write_json(results / "convert.json", c)
    out = tmp_path / "BENCHMARKS.md"
    report.write_report(results, out)
    text = out.read_text()
    summary = text.split("## Summary", 1)[1].split("\n## ", 1)[0]
    row = next(line for line in summary.splitlines() if "psims time" in line)
    assert f"{c['vs_psims']:.2f}×" in row and ("**met**" in row) == (c["vs_psims"] >= 20)
    assert "## Converting to mzML" in text
