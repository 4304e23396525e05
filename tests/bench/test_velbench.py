"""The benchmark suite's own logic. Its steps run end to end on small
acquisitions; the ratios, verdicts and report rows are checked on inputs
whose answers are known beforehand: a fake clock that gives each measured
function a set wall and CPU time, hand-made benchmark output and result
files. Nothing here times anything."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from velbench import acquisition, arrays, common, convert, cpp, decode, handover, memory, report, xic
from velbench.common import write_json
from velbench.profile import parse_report
from velbench.summary import Results, verdict

ROOT = Path(__file__).resolve().parents[2]
ROOT_SAMPLE = str(ROOT / "examples" / "data" / "sample.d")


def gbench(rows):
    """A Google Benchmark JSON report: (name, rate, kind, real_time, cpu_time); the medians carry the
    rates given, the means ten times as much."""
    benchmarks = []
    for name, value, kind, real, cpu_time in rows:
        counters = {"items_per_second": value} if kind == "items" else {"bytes_per_second": value, "ratio": 2.0}
        for agg in ("mean", "median"):
            benchmarks.append({"name": f"{name}_{agg}", "run_name": name, "run_type": "aggregate",
                               "aggregate_name": agg, "real_time": real, "cpu_time": cpu_time,
                               **{k: (v if agg == "median" else v * 10) for k, v in counters.items()}})
    return {"context": {"date": "today", "num_cpus": 2}, "benchmarks": benchmarks}


LZF_ROWS = [
    # velorium: 300 B/s of CPU time, real time twice its CPU time: 150 B/s of wall time.
    ("lzf/velorium/profile-100000", 300.0, "bytes", 2.0, 1.0),
    ("lzf/liblzf/profile-100000", 200.0, "bytes", 1.0, 1.0),
    ("lzf/liblzf-prealloc/profile-100000", 250.0, "bytes", 1.0, 1.0),
    ("profile/lzf-100000", 50.0, "items", 1.0, 1.0),
]


def test_cpp_ratios_come_from_the_medians_in_cpu_and_wall_time():
    r = cpp.reduce(gbench(LZF_ROWS))
    (row,) = r["lzf"]
    assert row["vs_liblzf"] == pytest.approx(1.5)  # 300 / 200, the medians
    assert row["vs_prealloc"] == pytest.approx(1.2)  # 300 / 250
    assert row["wall_vs_liblzf"] == pytest.approx(0.75)  # 150 / 200
    (prof,) = r["profile"]
    # liblzf: 400016 bytes at 250 B/s = 1600.064 s; decode: 100000 points at 50 points/s = 2000 s.
    assert prof["ratio_to_lzf"] == pytest.approx(0.800032)
    data = gbench(LZF_ROWS)
    data["benchmarks"][-1]["error_occurred"] = True
    with pytest.raises(RuntimeError, match="profile/lzf-100000"):
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


@pytest.mark.parametrize("value,goal,higher,expected", [
    (1.3, 1.0, True, "**met**"), (0.5, 0.7, True, "**missed** by 29 %"), (1.1, 1.2, False, "**met**"),
    (1.5, 1.2, False, "**missed** by 25 %"), (float("nan"), 1.0, True, "not measured"),
])
def test_verdicts(value, goal, higher, expected):
    assert verdict(value, goal, higher) == expected


# --- A fake clock: every measured function takes a set time ------------------


@pytest.fixture
def fake_clock(monkeypatch):
    """clock[function name] = (wall seconds, CPU seconds); the functions still run."""
    clock = {}

    def timed_with_cpu(fn):
        wall, cpu = clock.get(fn.__name__, (1.0, 1.0))
        return wall, cpu, fn()

    monkeypatch.setattr(common, "timed_with_cpu", timed_with_cpu)
    return clock


def summary_row(results: Path, start: str) -> list[str]:
    """The cells of the first summary row of the report on `results` that starts with `start`."""
    out = results.parent / "BENCHMARKS.md"
    report.write_report(results, out)
    summary = report.summary_of(out.read_text())
    line = next(line for line in summary.splitlines() if line.startswith("| " + start))
    return [cell.strip() for cell in line.strip().strip("|").split(" | ")]


def test_decode_against_lzf_on_one_core_and_on_all_cores(fake_clock, small_profile_run, tmp_path, monkeypatch):
    monkeypatch.setattr(decode.os, "sched_getaffinity", lambda pid: {0, 1})
    fake_clock.update({"rawreader": (0.1, 0.6), "liblzf_all": (0.3, 0.3), "liblzf_cores": (0.15, 0.3),
                       "stream": (0.5, 0.5)})
    d = decode.run(str(small_profile_run), reps=2, python=sys.executable)
    # The same blocks, every byte decompressed by both baselines; 12 scans of 3000 points.
    assert (d["scans"], d["points"], d["lzf_output_bytes"]) == (12, 36000, 12 * (16 + 4 * 3000))
    assert (d["threads"], d["child"]["plain"]["best"]["scans"]) == (2, 12)
    assert (d["ratio_rawreader"], d["cpu_ratio_rawreader"]) == pytest.approx((3.0, 0.5))
    assert (d["ratio_rawreader_cores"], d["cpu_ratio_rawreader_cores"]) == pytest.approx((1.5, 0.5))
    results = tmp_path / "results"
    write_json(results / "decode.json", d)
    size = report.mib(d["decoded_bytes"])
    one = summary_row(results, f"Whole decode, {size}: liblzf alone on one core")
    assert one[1:] == ["3.00×", "0.50×", "velorium 2, liblzf 1", "≥ 1 (CPU)", "**missed** by 50 %"]
    spread = summary_row(results, f"Whole decode, {size}: liblzf alone spread over all cores")
    assert spread[1:] == ["1.50×", "0.50×", "2 each", "≥ 1 (wall)", "**met**"]
    text = (tmp_path / "BENCHMARKS.md").read_text()
    assert "### Goals missed, and why" in text and "- **Whole decode.**" in text


def test_decode_refuses_runs_with_other_blocks(tmp_path):
    with pytest.raises(RuntimeError, match="scan 3 has no profile block"):
        decode.run(ROOT_SAMPLE, reps=1, python=sys.executable)  # MS2 scans with centroids only
    rle = tmp_path / "rle.d"
    subprocess.run([sys.executable, str(ROOT / "tools" / "write_acquisition.py"), str(rle), "--scans", "3",
                    "--points", "500", "--spectra", "profile", "--encoding", "rle"], check=True, capture_output=True)
    with pytest.raises(RuntimeError, match="not LZF-compressed"):
        decode.run(str(rle), reps=1, python=sys.executable)


def test_lzf_over_threads_decompresses_every_block_once(small_profile_run):
    blocks = decode.profile_blocks(str(small_profile_run))
    lzf = common.LibLzf()
    for threads in (1, 2, 5, 40):  # more threads than blocks too
        assert decode.lzf_over_threads(lzf, blocks, threads) == 12 * (16 + 4 * 3000)


def test_handover_floor_is_tolist(fake_clock, tmp_path):
    fake_clock.update({"velorium_lists": (1.1, 1.3), "tolist": (1.0, 1.0), "list_of_array": (2.0, 2.0)})
    h = handover.run(ROOT_SAMPLE, reps=1)
    assert h["spectra"] == 400 and h["floats"] == 2 * 4802498  # the sample's points
    assert (h["ratio"], h["cpu_ratio"]) == pytest.approx((1.1, 1.3))
    results = tmp_path / "results"
    write_json(results / "handover-py.json", h)
    row = summary_row(results, "Python hand-over")
    assert row[1:] == ["1.10×", "1.30×", "1 each", "≤ 1.2 (CPU)", "**missed** by 8 %"]


@pytest.fixture(scope="module")
def million_point_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench") / "million.d"
    subprocess.run([sys.executable, str(ROOT / "tools" / "write_acquisition.py"), str(out), "--scans", "2",
                    "--points", "1000000", "--spectra", "profile", "--encoding", "lzf", "--ms2-share", "0"],
                   check=True, capture_output=True)
    return out


def test_array_access_compares_a_million_points_with_a_small_spectrum(million_point_run, small_profile_run):
    a = arrays.run(str(million_point_run), reps=1, small_path=ROOT_SAMPLE)
    smallest = min(n for n in (len(s) for s in velorium_spectra(ROOT_SAMPLE)) if n)
    assert (a["points"], a["small_points"], a["reps"]) == (1_000_000, smallest, 3)
    assert smallest < 100
    with pytest.raises(RuntimeError, match="needs 10\\^6"):
        arrays.run(str(small_profile_run), reps=1)


def velorium_spectra(path):
    import velorium

    reader = velorium.RawReader(path)
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def test_memory_children_report_their_peaks(small_profile_run):
    m = memory.run(sys.executable, ROOT_SAMPLE, str(small_profile_run))
    assert m["stream_large"]["points"] == m["reader_large"]["points"] == 12 * 3000
    assert m["stream_small"]["points"] == 4802498
    assert m["reader_large"]["peak_rss"] >= m["reader_large"]["baseline_rss"] > 0


def test_xic_baseline_is_the_same_decoding_without_a_sweep(fake_clock, small_profile_run, tmp_path):
    fake_clock.update({"acquisition_xic": (0.3, 0.5), "decode_only": (0.2, 0.25), "spectra": (0.4, 0.4)})
    x = xic.run(str(small_profile_run), reps=1)
    a = x["acquisition"]
    assert x["targets"] == 1000 and a["scans"] == 9 and a["points"] == 9 * 3000  # 12 scans, a quarter MS2
    assert (a["ratio"], a["cpu_ratio"]) == pytest.approx((1.5, 2.0))
    results = tmp_path / "results"
    write_json(results / "xic.json", x)
    row = summary_row(results, "XIC: `Acquisition.xic`")
    assert row[1:4] == ["1.50×", "2.00×", f"{a['threads']} each"] and row[4:] == ["≤ 1.5 (CPU)", "**missed** by 33 %"]


def test_xic_without_targets_decodes_every_selected_scan(tmp_path):
    """The baseline does decode: a block that fails fails it, as it fails xic."""
    import velorium
    from acqwriter import Descriptor, ScanRecord, msscan_bytes, peak_block_format3

    peaks = peak_block_format3([100.0], [1.0])
    records = [ScanRecord(i + 1, 0.1 * i, descriptors=[Descriptor(3, 0, 12, 2 if i == 2 else 1)]) for i in range(4)]
    folder = tmp_path / "bad.d" / "AcqData"
    folder.mkdir(parents=True)
    (folder / "MSScan.bin").write_bytes(msscan_bytes(records, 196))
    (folder / "MSPeak.bin").write_bytes(peaks)
    acq = velorium.Acquisition(str(folder.parent))
    with pytest.raises(RuntimeError, match="scanId=3"):
        acq.xic([], 20.0)
    assert acq.xic([], 20.0, rt_range=(0.0, 6.0))[0].size == 2  # the scans before it


def test_numpy_xic_takes_the_same_windows_as_xic():
    import numpy as np

    mz = np.array([100.0, 100.002, 200.0, 100.0, 150.0, 150.003, 150.0045])
    intensity = np.array([1, 2, 4, 8, 16, 32, 64], dtype=np.float32)
    peaks = {"mz": mz, "intensity": intensity, "offsets": np.array([0, 3, 4, 7], dtype=np.uint64)}
    scans = {"ms_level": np.array([1, 2, 1], dtype=np.uint32), "retention_time_sec": np.array([1.0, 2.0, 3.0])}
    # 20 ppm: 100 +- 0.002 (both points on the bound count), 150 +- 0.003, 200 +- 0.004.
    rt, values = xic.numpy_xic(peaks, scans, np.array([100.0, 150.0, 200.0]), 20.0)
    assert rt.tolist() == [1.0, 3.0]
    assert values.tolist() == [[3.0, 0.0], [0.0, 48.0], [4.0, 0.0]]


def fake_spectrum_time(folder: Path, extra_points: int = 0) -> str:
    """Stands in for the C++ velorium_spectrum_time: same input and output."""
    tool = folder / "spectrum_time"
    tool.write_text(f"#!{sys.executable}\n" + textwrap.dedent(f"""
        import json, sys, time, velorium
        acq = velorium.Acquisition(sys.argv[1])
        indices = [int(x) for x in sys.stdin.read().split()]
        t0, c0 = time.perf_counter(), time.process_time()
        points = sum(len(acq[i]) for i in indices) + {extra_points}
        dt, cpu = time.perf_counter() - t0, time.process_time() - c0
        print(json.dumps({{"spectra": len(indices), "points": points, "rounds": 1, "min": dt, "median": dt,
                           "cpu_min": cpu}}))
    """))
    tool.chmod(0o755)
    return str(tool)


def test_acquisition_step_and_its_rows(tmp_path, small_profile_run):
    a = acquisition.run(sys.executable, ROOT_SAMPLE, str(small_profile_run), fake_spectrum_time(tmp_path), reps=1)
    assert a["scans"] == 12 and a["random"]["spectra"] == acquisition.RANDOM_SPECTRA
    assert a["pass"]["points"] == 12 * 3000
    assert a["memory"]["small"]["scans"] == 400 and a["memory"]["large"]["points"] == 12 * 3000
    results = tmp_path / "results"
    write_json(results / "acquisition.json", a)
    rows = [summary_row(results, start) for start in ("`Acquisition(path)`", "`acq[i]`", "`acq.spectra()`",
                                                      "Memory: `acq.spectra()`")]
    assert [row[4] for row in rows] == ["≤ 1 % (wall)", "≤ 1.2 (CPU)", "≥ 1 (wall)", "< 32 MiB"]
    with pytest.raises(RuntimeError, match="points"):
        acquisition.run(sys.executable, ROOT_SAMPLE, str(small_profile_run), fake_spectrum_time(tmp_path, 1), reps=1)


def test_convert_runs_the_writers_in_interleaved_rounds(tmp_path, monkeypatch):
    calls = []
    known = {"velorium": (10.0, 20.0), "convert-openms": (40.0, 40.0), "convert-psims": (50.0, 50.0)}

    def fake_velorium(exe, acquisition_path, out):
        calls.append("velorium" if acquisition_path == "large.d" else "velorium-small")
        return {"seconds": 10.0 + len(calls), "cpu_seconds": 20.0, "bytes": 1, "peak_rss": 100 if "small" in
                calls[-1] else 164 * 2**20 + 100}

    def fake_step(python, args, timeout=0):
        calls.append(args[0])
        seconds, cpu_time = known[args[0]]
        return {"seconds": seconds + len(calls), "cpu_seconds": cpu_time, "bytes": 1, "spectra": 3}

    monkeypatch.setattr(convert, "velorium_command", lambda python: "velorium")
    monkeypatch.setattr(convert, "run_velorium", fake_velorium)
    monkeypatch.setattr(convert, "run_step", fake_step)
    c = convert.run(sys.executable, "large.d", "small.d", str(tmp_path / "work"), reps=2)
    assert calls == ["velorium", "convert-openms", "convert-psims"] * 2 + ["velorium-small"]
    # Best rounds: velorium 11 s, pyopenms 42 s, psims 53 s; CPU 20, 40 and 50 s.
    assert (c["vs_pyopenms"], c["vs_psims"]) == pytest.approx((42 / 11, 53 / 11))
    assert (c["cpu_vs_pyopenms"], c["cpu_vs_psims"]) == (2.0, 2.5)
    results = tmp_path / "results"
    write_json(results / "convert.json", c)
    row = summary_row(results, "Convert to mzML, zlib: psims")
    assert row[1:3] == ["4.82×", "2.50×"] and row[4:] == ["≥ 20 (wall)", "**missed** by 76 %"]
    assert summary_row(results, "Memory: `velorium convert`")[1] == "164.0 MiB"


def test_convert_writes_the_same_spectra_with_each_writer(tmp_path):
    pytest.importorskip("pyopenms", reason="pyopenms is not installed here")
    pytest.importorskip("psims", reason="psims is not installed here")
    work = tmp_path / "work"
    c = convert.run(sys.executable, ROOT_SAMPLE, ROOT_SAMPLE, str(work), reps=1)
    assert c["pyopenms"]["spectra"] == c["psims"]["spectra"] == 400
    assert c["velorium"]["bytes"] > 1_000_000 and c["velorium"]["peak_rss"] > 0
    assert list(work.iterdir()) == []  # the files written are removed


# --- The report and the README ---------------------------------------------------


def test_a_new_module_adds_its_rows_without_changes_to_the_report(tmp_path, monkeypatch):
    """The convention of summary.py: any velbench module with report() and ORDER."""
    import types

    import velbench

    from velbench.summary import Part, Row

    module = types.ModuleType("velbench.zz_new")
    module.ORDER = 5
    module.report = lambda results: Part("New", "text of the new part",
                                         [Row("New thing", "1.00×", "2.00×", "1 each", "reported", "—")])
    package_dir = tmp_path / "pkg"
    package_dir.mkdir()
    (package_dir / "zz_new.py").write_text("")
    monkeypatch.setattr(velbench, "__path__", [*velbench.__path__, str(package_dir)])
    monkeypatch.setitem(sys.modules, "velbench.zz_new", module)
    results = tmp_path / "results"
    results.mkdir()
    text = report.render(results)
    assert "| New thing | 1.00× | 2.00× | 1 each | reported | — |" in text
    assert text.index("## New") > text.index("## Summary")


def test_readme_block_is_the_reports_summary(tmp_path):
    bench = textwrap.dedent("""\
        # Benchmarks

        Written by `bash bench/run.sh` on 2027-01-02 03:04:05 UTC. More.

        ## Summary

        | Benchmark | Wall clock (or memory) | CPU time | Threads | Goal | Result |
        | --- | --- | --- | --- | --- | --- |
        | A | 1.50× | 1.20× | 1 each | ≥ 1 (CPU) | **met** |

        ## Machine

        | Load average (1, 5, 15 min) | at the start 0.10, 0.20, 0.30 |
        """)
    readme = tmp_path / "README.md"
    readme.write_text(f"intro\n\n{report.README_BEGIN}\nold 9.99×\n{report.README_END}\n\nafter\n")
    assert report.update_readme(readme, bench)
    text = readme.read_text()
    assert text.startswith("intro\n\n") and text.endswith("\n\nafter\n") and "9.99" not in text
    assert "| A | 1.50× | 1.20× | 1 each | ≥ 1 (CPU) | **met** |" in text
    assert "on 2027-01-02 03:04:05 UTC" in text and "load average at the start 0.10, 0.20, 0.30" in text
    assert not report.update_readme(readme, bench)  # a second time changes nothing
    readme.write_text("no markers\n")
    with pytest.raises(ValueError, match="markers"):
        report.update_readme(readme, bench)


def test_report_of_a_run_has_every_part_it_has_results_for(tmp_path, small_profile_run):
    results = tmp_path / "results"
    write_json(results / "memory.json", memory.run(sys.executable, ROOT_SAMPLE, str(small_profile_run)))
    write_json(results / "cpp.json", cpp.reduce(gbench(LZF_ROWS)))
    text = report.render(results)
    assert "## Memory" in text and "## LZF decompression (C++)" in text
    assert "## Against mzML readers" not in text  # no result, no section
    rows = report.summary_of(text).splitlines()[2:]
    assert len(rows) == 3 and all(row.count(" | ") == 5 for row in rows)  # six cells each
    assert Results(results).one("decode") is None
