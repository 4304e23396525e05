"""The report parts of the codec, many-runs, export and toolchain benchmarks,
and the quotes README.md takes from the report: each computed from result
files or fake measurements whose answers are worked out by hand here."""

import sys

import pytest
from velbench import export, many, report, toolchain
from velbench.summary import quote


def t(best, median=None):
    return {"min": best, "median": best if median is None else median, "runs": 2}


def many_result(one_cpu_each=True):
    xic = {"runs": 20, "targets": 1000, "tolerance_ppm": 20.0, "cpus": 2, "points_per_run": 6_000_000,
           "all_cpus": {"times": {"loop": t(10.0), "loop_frame": t(11.0), "dask": t(8.0)}, "speedup": 1.25,
                        "speedup_same_table": 1.375, "cpu_seconds": {"loop": 18.0, "loop_frame": 19.0, "dask": 20.0},
                        "rows": 60000},
           "one_cpu_each": {"times": {"loop": t(16.0), "loop_frame": t(17.0), "dask": t(9.0)}, "speedup": 16 / 9,
                            "speedup_same_table": 17 / 9, "cpu_seconds": {"loop": 16.0, "loop_frame": 17.0,
                                                                          "dask": 18.0}, "rows": 60000}
           if one_cpu_each else None}
    memory = {key: {"worker_saturation": saturation, "partitions": 3, "partition_points": 4_000_000,
                    "points": 9_200_000, "largest_partition_bytes": 100 * 2**20,
                    "largest_partition_points": 3_600_000, "bytes_per_point": 29.0,
                    "worker_rss_before": 200 * 2**20, "worker_peak_rss": (200 + 100 * ratio) * 2**20,
                    "peak_above_before": 100 * ratio * 2**20, "ratio": ratio, "seconds": 5.0}
              for key, saturation, ratio in (("default", 1.1, 1.75), ("saturation_1", 1.0, 1.2))}
    table = {"runs": 100, "scans": 20000, "times": {"loop": t(0.5), "loop_frame": t(0.9), "dask": t(1.5),
                                                    "threads": t(1.0)},
             "cpu_seconds": {"loop": 0.5, "loop_frame": 0.9, "dask": 1.5, "threads": 1.1},
             "ratio": 3.0, "ratio_to_frame": 1.5 / 0.9, "ratio_threads": 2.0}
    return {"reps": 2, "xic": [xic], "peaks_memory": memory, "scan_table": table}


XIC_ALL = ("Many runs: XIC of 1000 targets over 20 runs of 6 million points, loop in one process time ÷ `velorium.dask.xic` on 2 worker "
           "processes, each process on every CPU")
XIC_ONE = XIC_ALL.replace("on every CPU", "held to one CPU")


def test_many_runs_rows_verdicts_and_reasons(report_of):
    rows, misses, text = report_of({"many": many_result()})
    assert rows[XIC_ALL][:2] == ["1.25×", "0.90×"] and rows[XIC_ALL][3:] == ["≥ 1.6 (wall)", "**missed** by 22 %"]
    assert rows[XIC_ONE][:2] == ["1.78×", "0.89×"] and rows[XIC_ONE][4] == "**met**"
    memory = [cells for name, cells in rows.items() if name.startswith("Many runs: `velorium.dask.peaks`")]
    assert [(m[0], m[4]) for m in memory] == [("1.75×", "**missed** by 17 %"), ("1.20×", "**met**")]
    scan = rows["Many runs: `velorium.dask.scan_table` of 100 runs on a 2-process LocalCluster time ÷ a loop of "
                "`Acquisition(path).scan_table()`"]
    assert scan[:2] == ["3.00×", "3.00×"] and scan[3:] == ["≤ 2 (wall)", "**missed** by 50 %"]
    assert set(misses) == {"XIC on Dask, 20 runs of 6 million points, each process on every CPU",
                           "Worker memory of `velorium.dask.peaks`, worker-saturation 1.1 (Dask's default)",
                           "scan_table on Dask"}
    assert "two workers against one process give 1.78×" in misses["XIC on Dask, 20 runs of 6 million points, each "
                                                                   "process on every CPU"]
    assert "5 ms a run" in misses["scan_table on Dask"]  # 500 ms for 100 runs
    # 29 bytes × 4,000,000 points = 116,000,000 bytes = 110.6 MiB.
    assert report.quote_of(text, "many-memory") == (
        "In the latest benchmark run, a partition of `peaks` over the run `profile-1g` took 29.0 bytes a point "
        "(pandas' `memory_usage(deep=True)`), so 110.6 MiB for the default 4,000,000 points; a one-thread worker's "
        "peak resident memory rose 1.75× the largest partition's bytes with Dask's default worker-saturation (1.1), "
        "1.20× with 1.0.")


def test_many_runs_on_one_cpu_has_no_pinned_row(report_of):
    rows, _, text = report_of({"many": many_result(one_cpu_each=False)})
    assert XIC_ALL in rows and XIC_ONE not in rows
    assert "held to one CPU: not measured" in text


def fake_conversions(monkeypatch):
    """Every conversion takes 10 s (compact 8 s, and 1 s more each round), twice that in CPU time; its size is
    set per option; its peak RSS grows 1 MiB a round. pyopenms takes 30 s, 25 s of CPU time."""
    calls = []
    size = {"default": 180, "trim-zeros": 80, "compact": 25, "compact-gz": 20, "top-150": 6, "mz-32": 90}

    def convert_once(exe, acquisition, out, extra):
        name = next(n for n, (args, suffix) in export.SAMPLE_OPTIONS.items()
                    if args == extra and out.name.endswith(suffix))
        where = {"sample.d": "sample", "large.d": "large", "small.d": "small"}[acquisition.rsplit("/", 1)[-1]]
        calls.append((where, name))
        rounds = sum(1 for c in calls if c == (where, name))
        seconds = (8.0 if name == "compact" else 10.0) + rounds
        return {"seconds": seconds, "cpu_seconds": 2 * seconds, "peak_rss": (100 + rounds) * 2**20,
                "bytes": size.get(name, 50) * (10 if where == "large" else 1)}

    def run_step(python, args, timeout=0):
        calls.append(("large", "pyopenms"))
        return {"seconds": 30.0, "cpu_seconds": 25.0, "bytes": 300, "spectra": 3, "pyopenms": "3.x"}

    monkeypatch.setattr(export, "velorium_command", lambda python: "velorium")
    monkeypatch.setattr(export, "convert_once", convert_once)
    monkeypatch.setattr(export, "run_step", run_step)
    monkeypatch.setattr(export, "folder_bytes", lambda folder: 100 if "large" in folder else 10)
    monkeypatch.setattr(export.os, "sched_getaffinity", lambda pid: {0, 1})
    return calls


def test_export_times_the_options_and_pyopenms_in_interleaved_rounds(monkeypatch, tmp_path, report_of):
    calls = fake_conversions(monkeypatch)
    e = export.run(sys.executable, "large.d", "small.d", str(tmp_path / "work"), reps=2)
    timed = [("large", name) for name in export.OPTIONS] + [("large", "pyopenms")]
    assert [c for c in calls if c[0] == "large"] == timed * 2
    assert [name for where, name in calls if where == "sample"] == list(export.SAMPLE_OPTIONS)
    # Sample folder 10 bytes, compact 25 bytes: 2.5; large 100 bytes, compact 250: 2.5.
    assert e["size_ratio"]["sample"]["compact"] == e["size_ratio"]["large"]["compact"] == 2.5
    # Best rounds: default 11 s, compact 9 s; least CPU 22 and 18 s; pyopenms 30 s, 25 s of CPU.
    assert e["compact_vs_default"] == pytest.approx({"wall": 11 / 9, "cpu": 22 / 18})
    assert e["pyopenms_vs_compact"] == pytest.approx({"wall": 30 / 9, "cpu": 25 / 18})
    assert e["rss_difference"]["default"] == 1 * 2**20  # the larger round (102 MiB) minus the small run (101 MiB)
    rows, misses, text = report_of({"export": e})
    compact = rows["Output size ÷ acquisition folder, `velorium convert` `--compact`"]
    assert compact == ["2.50× (sample), 2.50× (`profile-1g`)", "—", "—", "≤ 2 on both", "**missed** by 25 %"]
    speed = rows["Convert `profile-1g`: default time ÷ `--compact` time"]
    assert speed[:2] == ["1.22×", "1.22×"] and speed[4] == "**met**"
    versus = next(cells for name, cells in rows.items() if name.startswith("Convert `profile-1g` with numpress"))
    assert versus == ["3.33×", "1.39×", "velorium 2, pyopenms 1", "≥ 2 (wall)", "**met**"]
    assert set(misses) == {"Size of `--compact`"}
    sizes = report.quote_of(text, "export-sizes")
    assert "| `--threshold top=150` | 0.0 MiB | 0.60 |" in sizes and sizes.count("\n| ") == 2 + len(export.SAMPLE_OPTIONS)


def test_toolchain_rows_and_the_wheels_size(monkeypatch, tmp_path, report_of):
    from test_toolchain import fake_builds

    pythons = fake_builds(monkeypatch, tmp_path, {"system": [2.0, 2.0], "zig": [3.0, 2.4]},
                          {"system": b"same", "zig": b"same"})
    wheel = tmp_path / "velorium-1.1.0-cp311-cp311-manylinux_2_28_x86_64.whl"
    wheel.write_bytes(b"\0" * (2 * 2**20))
    result = toolchain.run(pythons, "profile-100m.d", str(tmp_path), reps=2, wheel=str(wheel))
    rows, misses, text = report_of({"toolchain": result})
    decode = rows["Portable wheel's build ÷ the system g++ build: whole decode, `RawReader(path)`, `profile-100m`"]
    assert decode[:2] == ["1.20×", "1.20×"] and decode[3:] == ["≤ 1.05 (CPU)", "**missed** by 14 %"]  # 2.4 / 2.0
    convert = rows["Portable wheel's build ÷ the system g++ build: `velorium convert` to mzML (zlib), `profile-100m`"]
    assert convert[:2] == ["1.00×", "1.00×"] and convert[4] == "**met**"
    size = rows[f"Portable wheel's size, `{wheel.name}`"]
    assert size[0] == "2.0 MiB" and size[3:] == ["≤ 1.5 MiB", "**missed** by 33 %"]
    assert set(misses) == {"Portable build, whole decode, `RawReader(path)`",
                           "Portable build, whole decode, `Acquisition(path).peak_table()`", "Portable wheel's size"}
    assert report.quote_of(text, "wheel-size").endswith(f"`{wheel.name}`, is 2,048 KiB.")


def test_readme_quotes_follow_the_report(tmp_path):
    bench = "# Benchmarks\n\n## Summary\n\n| x |\n\n## Part\n\n" + quote("sizes", "| a | 1.0 MiB |") + "\n"
    block = report.quote_block(bench, "sizes")
    assert report.quote_of(bench, "sizes") == "| a | 1.0 MiB |"
    summary = report.README_BEGIN + "\nold\n" + report.README_END
    readme = tmp_path / "README.md"
    stale = block.replace("1.0 MiB", "9.9 MiB")
    missing = report.quote_block("", "gone").replace("measured nothing", "was here")
    readme.write_text(f"{summary}\n\ntext\n\n{stale}\n\nmore\n\n{missing}\n")
    report.update_readme(readme, bench)
    text = readme.read_text()
    assert block in text and "9.9 MiB" not in text and text.count("1.0 MiB") == 1
    assert "BENCHMARKS.md has no quote `gone`" in text and "was here" not in text
    readme.write_text(f"{summary}\n{report.QUOTE_END.format(name='x')}\n{report.QUOTE_BEGIN.format(name='x')}\n")
    with pytest.raises(ValueError, match="quote x are missing or out of order"):
        report.update_readme(readme, bench)
    with pytest.raises(ValueError, match="one word"):
        quote("Two words", "text")
