"""velorium.dask: tables over many runs computed by the worker processes of a
Dask LocalCluster, compared bit for bit with the same calls on Acquisition."""

from __future__ import annotations

import io
import os
import re
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, peak_block_format3, synthetic_run, write_acquisition
from conftest import write_scans

distributed = pytest.importorskip("dask.distributed", reason="velorium[dask] is not installed")
vd = pytest.importorskip("velorium.dask")
import dask  # noqa: E402
import pandas as pd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


# Runs of four scan-record layouts: Q-TOF with profile and centroid blocks of
# both encodings, Q-TOF with MS2 centroids only, and triple quadrupoles.
LAYOUTS = [
    dict(scans=24, points=900, ms2_share=0.25, stride=284, encoding="mixed", seed=1),
    dict(scans=16, points=600, ms2_share=0.4, stride=216, encoding="rle", seed=2),
    dict(scans=12, points=40, ms2_share=0.5, stride=186, seed=3),
    dict(scans=10, points=30, ms2_share=0.3, stride=196, seed=4),
]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("study")
    paths = []
    for i, layout in enumerate(LAYOUTS):
        folder = root / f"run{i}.d"
        write_acquisition(folder, synthetic_run(compounds=4, background_ions=4, **layout))
        paths.append(str(folder))
    return paths


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """A run whose third scan's block holds fewer points than its record says."""
    block = peak_block_format3([100.0, 200.0], [1.0, 2.0])
    records = [ScanRecord(i + 1, 0.1 * i, ms_level=1, descriptors=[Descriptor(3, 0, len(block), 9 if i == 2 else 2)])
               for i in range(6)]
    return str(write_scans(tmp_path_factory.mktemp("bad") / "damaged.d", records, stride=196,
                           files={"MSPeak.bin": block}))


GONE = "parse error: AcqData directory not found"


def same_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()


def library_text(call):
    with pytest.raises(RuntimeError) as raised:
        call()
    return raised.value.args[0]


# ------------------------------------------------------------------ the package


def run_python(program):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(program)], capture_output=True, text=True,
                          timeout=300)


def test_import_velorium_loads_no_dataframe_library():
    done = run_python("""
        import sys, velorium
        heavy = sorted(m for m in sys.modules if m.split(".")[0] in {"dask", "distributed", "pandas", "pyarrow"})
        print(heavy, velorium.__name__, velorium.__spec__.submodule_search_locations is not None)
    """)
    assert done.stdout.split() == ["[]", "velorium", "True"], done.stderr


def test_the_module_is_a_package_whatever_loader_runs_it():
    # As an editable install's finder does: the file, without the package's search path.
    done = run_python("""
        import importlib.util, sys
        origin = importlib.util.find_spec("velorium").origin
        module_spec = importlib.util.spec_from_file_location("velorium", origin, submodule_search_locations=None)
        module = importlib.util.module_from_spec(module_spec)
        sys.modules["velorium"] = module
        module_spec.loader.exec_module(module)
        import velorium.dask
        print(module.__path__ == [origin.rsplit("/", 1)[0]], velorium.dask.run_label("a/b.d"))
    """)
    assert done.stdout.split() == ["True", "b.d"], done.stderr


@pytest.mark.parametrize("missing", ["dask", "pandas", "pyarrow"])
def test_without_the_extra_the_import_error_names_it(missing):
    done = run_python(f"""
        import sys
        sys.modules[{missing!r}] = None  # as if it were not installed
        try:
            import velorium.dask
        except ImportError as error:
            print(error.name, "|", error)
    """)
    name, text = done.stdout.strip().split(" | ")
    assert name == missing and f"{missing} is not installed" in text and "velorium[dask]" in text, done.stderr


@pytest.mark.parametrize("name", [b"plain.d", b"caf\xc3\xa9.d", b"bad\xff\xfe.d", b"x.D"])
@pytest.mark.parametrize("form", ["{}", "{}/", "./{}", "{}/.", "sub/../{}", "{}//"])
def test_run_label_is_the_libraries(tmp_path, monkeypatch, runs, name, form):
    folder = os.fsencode(tmp_path) + b"/" + name
    os.symlink(runs[2], folder)
    (tmp_path / "sub").mkdir(exist_ok=True)
    monkeypatch.chdir(tmp_path)
    path = os.fsdecode(form.format(os.fsdecode(name)))
    assert vd.run_label(path) == velorium.Acquisition(path).run_info()["source_file_name"]
    assert vd.run_label(os.fsencode(path)) == vd.run_label(path)


# ------------------------------------------------------------------ scan_table


def test_scan_table_knows_its_columns_without_opening_a_run(tmp_path, runs):
    table = vd.scan_table([str(tmp_path / "not-yet.d"), tmp_path / "later.D"])
    assert table.npartitions == 2
    want = velorium.Acquisition(runs[0]).scan_table()
    assert list(table.columns) == ["run", "path", *want]
    assert list(table.dtypes.astype(str))[2:] == [str(column.dtype) for column in want.values()]
    assert list(table.run.cat.categories) == ["not-yet.d", "later.D"]
    assert library_text(table.partitions[0].compute) == f"{tmp_path / 'not-yet.d'}: {GONE}"


@pytest.mark.parametrize("prefer", ["profile", "centroid"])
def test_scan_table_is_every_runs_table(client, runs, prefer):
    table = vd.scan_table(runs, prefer)
    parts = [table.partitions[i].compute() for i in range(table.npartitions)]
    assert len(parts) == len(runs)
    for path, part in zip(runs, parts):
        want = velorium.Acquisition(path, prefer).scan_table()
        assert list(part.columns) == ["run", "path", *want]
        assert set(part.run) == {vd.run_label(path)} and set(part.path) == {path}
        for name, column in want.items():
            same_bits(part[name].to_numpy(), column)
    whole = table.compute()
    assert whole.dtypes.equals(table.dtypes)  # the meta is what the partitions hold
    assert whole.path.tolist() == [p for p, part in zip(runs, parts) for _ in range(len(part))]


def test_scan_table_failures_raise_or_become_rows(client, runs, tmp_path):
    missing = str(tmp_path / "gone.d")
    assert library_text(vd.scan_table([runs[0], missing]).compute) == f"{missing}: {GONE}"
    table = vd.scan_table([runs[0], missing, runs[2]], errors="collect")
    whole = table.compute()
    assert whole.dtypes.equals(table.dtypes)
    failed = whole[whole.error.notna()]
    assert failed.path.tolist() == [missing] and failed.error.tolist() == [GONE]
    assert failed.drop(columns=["run", "path", "error"]).isna().all(axis=None)
    good = whole[whole.error.isna()]
    for path in (runs[0], runs[2]):
        want = velorium.Acquisition(path).scan_table()
        rows = good[good.path == path]
        for name in ("scan_number", "has_centroid", "retention_time_sec"):
            same_bits(rows[name].to_numpy(dtype=want[name].dtype), want[name])


# ------------------------------------------------------------------ peaks


def reference_peaks(path, prefer="profile", **selection):
    acquisition = velorium.Acquisition(path, prefer)
    spectra = list(acquisition.spectra(**selection))
    return {
        "scan_number": np.array([s.scan_number for s in spectra for _ in range(len(s))], dtype=np.uint32),
        "ms_level": np.array([s.ms_level for s in spectra for _ in range(len(s))], dtype=np.uint32),
        "retention_time_sec": np.array([s.retention_time_sec for s in spectra for _ in range(len(s))]),
        "mz": np.concatenate([s.mz_array for s in spectra]) if spectra else np.empty(0),
        "intensity": np.concatenate([s.intensity_array for s in spectra]) if spectra else np.empty(0, np.float32),
    }


@pytest.mark.parametrize("selection", [{}, {"ms_level": 1}, {"ms_level": 2, "rt_range": (2.0, 9.0)},
                                       {"rt_range": (3.0, 3.5)}, {"ms_level": 7},
                                       {"ms_level": range(1, 3), "polarity": "positive", "scan_range": (3, 14)},
                                       {"ms_level": [2, 5], "polarity": "negative"}])
@pytest.mark.parametrize("prefer", ["profile", "centroid"])
@pytest.mark.parametrize("partition_points", [1, 2000, vd.PARTITION_POINTS])
def test_peaks_are_every_runs_points_in_bounded_partitions(client, runs, selection, prefer, partition_points):
    table = vd.peaks(runs, prefer=prefer, partition_points=partition_points, **selection)
    parts = dask.compute(*table.to_delayed())
    for part in parts:
        # Consecutive scans of one run, no more points than asked unless one scan has more.
        assert len(part) <= partition_points or part.scan_number.nunique() == 1
        assert part.run.nunique() <= 1
    whole = pd.concat(parts, ignore_index=True) if parts else table.compute()
    assert whole.dtypes.equals(table.dtypes)
    assert list(whole.columns) == ["run", "scan_number", "ms_level", "retention_time_sec", "mz", "intensity"]
    for path in runs:
        rows = whole[whole.run == vd.run_label(path)]
        for name, column in reference_peaks(path, prefer, **selection).items():
            same_bits(rows[name].to_numpy(), column)
    points = sum(len(velorium.Acquisition(p, prefer).peak_table(**selection)["mz"]) for p in runs)
    if partition_points >= points:
        assert table.npartitions == max(1, sum(1 for p in runs if velorium.Acquisition(p).select(**selection)))


@pytest.mark.parametrize("minutes, lengths", [
    ([0.1, 0.2, 0.3, 0.4, 0.5, 0.6], [4, 4, 4]),
    ([0.1, 0.1, 0.2, 0.2, 0.2, 0.3], [4, 6, 2]),  # scans of equal times stay together
    ([0.1, 0.3, 0.2, 0.4, 0.5, 0.6], [12]),  # times that do not ascend: one partition
])
def test_peaks_split_a_run_between_distinct_times(client, tmp_path, minutes, lengths):
    block = peak_block_format3([100.0, 200.0], [1.0, 2.0])
    records = [ScanRecord(i + 1, m, descriptors=[Descriptor(3, 0, len(block), 2)]) for i, m in enumerate(minutes)]
    path = str(write_scans(tmp_path / "times.d", records, stride=196, files={"MSPeak.bin": block}))
    parts = dask.compute(*vd.peaks(path, partition_points=4).to_delayed())
    assert [len(part) for part in parts] == lengths
    assert pd.concat(parts).scan_number.tolist() == [n for n in range(1, 7) for _ in range(2)]


def test_peaks_failures_raise_when_their_partition_is_computed(client, runs, damaged, tmp_path):
    bad_scan = library_text(lambda: velorium.Acquisition(damaged)[2])
    table = vd.peaks([runs[2], damaged], partition_points=4)  # two points a scan: two scans a partition
    parts = table.to_delayed()
    outcomes = []
    for part in parts:
        try:
            outcomes.append(len(part.compute()))
        except RuntimeError as error:
            outcomes.append(error.args[0])
    # The partitions are planned from the scan records, which give the bad scan 9 points.
    assert outcomes[-4:] == [4, f"{damaged}: {bad_scan}", 4, 2]
    missing = str(tmp_path / "gone.d")
    table = vd.peaks([runs[3], missing])  # planned without a failure
    assert library_text(table.compute) == f"{missing}: {GONE}"
    with pytest.raises(ValueError, match="same run label 'run3.d'"):
        vd.peaks([runs[3], runs[3]])
    with pytest.raises(ValueError, match="rt_range'? is reversed"):
        vd.peaks(runs, rt_range=(5.0, 1.0))
    # Levels given by a generator are read once, not used up by the first run's plan.
    once = vd.peaks(runs[:2], ms_level=(level for level in (2,))).compute()
    assert len(once) == sum(len(velorium.Acquisition(p).peak_table(ms_level=2)["mz"]) for p in runs[:2]) > 0


def test_the_graph_holds_paths_and_options_only(tmp_path, runs):
    small, large = tmp_path / "small", tmp_path / "large"
    for folder, points in ((small, 50), (large, 5000)):
        write_acquisition(folder / "a.d", synthetic_run(scans=8, points=points, stride=284, seed=1))
        write_acquisition(folder / "b.d", synthetic_run(scans=8, points=points, stride=186, seed=2))

    def pickled(collection):
        seen = set()

        class Recorder(pickle.Pickler):
            def reducer_override(self, obj):
                seen.add(type(obj))
                return NotImplemented

        buffer = io.BytesIO()
        Recorder(buffer).dump(dict(collection.__dask_graph__()))
        assert not {np.ndarray, pd.DataFrame, pd.Series} & seen
        return len(buffer.getvalue())

    sizes = {}
    for folder in (small, large):
        paths = [str(folder / "a.d"), str(folder / "b.d")]
        sizes[folder] = (pickled(vd.scan_table(paths)), pickled(vd.peaks(paths, ms_level=1)))
    # The same graph but for a handful of bytes of numbers; the data are 100 times larger.
    assert all(abs(a - b) < 64 for a, b in zip(sizes[small], sizes[large])), sizes


# ------------------------------------------------------------------ xic


def targets_of(runs, count):
    peaks = velorium.Acquisition(runs[0]).peak_table(ms_level=1)
    top = np.argsort(peaks["intensity"])[::-1][:count]
    return np.concatenate([peaks["mz"][top], [1e6]])  # and one that no run has


@pytest.mark.parametrize("aggregate", ["sum", "max"])
@pytest.mark.parametrize("arguments", [dict(tolerance=20.0), dict(tolerance=0.05, unit="mz", ms_level=None),
                                       dict(tolerance=50.0, rt_range=(1.0, 6.0)),
                                       dict(tolerance=20.0, ms_level=[1, 2], polarity="positive", scan_range=(2, 9))])
@pytest.mark.parametrize("scheduler", ["distributed", "sync"])
def test_xic_is_every_runs_xic(client, runs, aggregate, arguments, scheduler):
    targets = targets_of(runs, 6)
    with dask.config.set(scheduler=scheduler):
        frame = vd.xic(runs, list(targets), aggregate=aggregate, **arguments)
    assert list(frame.columns) == ["run", "target_index", "target_mz", "retention_time_sec", "value"]
    assert list(frame.run.cat.categories) == [vd.run_label(p) for p in runs]
    for path in runs:
        rt, values = velorium.Acquisition(path).xic(targets, aggregate=aggregate, **arguments)
        rows = frame[frame.run == vd.run_label(path)]
        same_bits(rows.value.to_numpy(), values.reshape(-1))
        same_bits(rows.retention_time_sec.to_numpy(), np.tile(rt, len(targets)))
        same_bits(rows.target_index.to_numpy(), np.repeat(np.arange(len(targets), dtype=np.int64), len(rt)))
        same_bits(rows.target_mz.to_numpy(), np.repeat(targets, len(rt)))


def test_xic_failures_raise_or_are_listed(client, runs, damaged, tmp_path):
    missing = str(tmp_path / "gone.d")
    bad_scan = library_text(lambda: velorium.Acquisition(damaged)[2])
    for path, text in ((damaged, bad_scan), (missing, GONE)):
        with pytest.raises(RuntimeError) as raised:
            vd.xic([runs[0], path], [100.0], 10.0)
        assert raised.value.args[0] == f"{path}: {text}"
    frame, failures = vd.xic([runs[0], damaged, missing, runs[1]], [100.0, 200.0], 0.5, unit="mz",
                             ms_level=None, errors="collect")
    assert failures == [(damaged, bad_scan), (missing, GONE)]
    assert frame.run.unique().tolist() == ["run0.d", "run1.d"]
    rt, values = velorium.Acquisition(runs[1]).xic([100.0, 200.0], 0.5, unit="mz", ms_level=None)
    same_bits(frame[frame.run == "run1.d"].value.to_numpy(), values.reshape(-1))
    with pytest.raises(ValueError, match="tolerance"):
        vd.xic(runs, [100.0], -1.0, errors="collect")  # an argument error is not a run's failure


# ------------------------------------------------------------------ convert


@pytest.mark.parametrize("scheduler", ["distributed", "sync"])
def test_convert_writes_each_run_and_reports_each_failure(client, runs, damaged, tmp_path, scheduler):
    out = tmp_path / "out"
    twin = tmp_path / "again" / "run1.d"
    twin.parent.mkdir()
    os.symlink(runs[1], twin)
    with dask.config.set(scheduler=scheduler):
        outcomes = vd.convert([runs[0], damaged, runs[1], twin, tmp_path / "gone.d"], out)
    bad_scan = library_text(lambda: velorium.Acquisition(damaged)[2])
    assert outcomes == [
        vd.Converted(runs[0], str(out / "run0.mzML"), None),
        vd.Converted(damaged, None, f"RuntimeError: {bad_scan}"),
        vd.Converted(runs[1], str(out / "run1.mzML"), None),
        vd.Converted(str(twin), None, f"{out / 'run1.mzML'}: also the output of an earlier input"),
        vd.Converted(str(tmp_path / "gone.d"), None, f"RuntimeError: {GONE}"),
    ]
    assert sorted(os.listdir(out)) == ["run0.mzML", "run1.mzML"]  # and no temporary file is left


def test_convert_passes_its_options_on(client, runs, tmp_path):
    for format, prefer, options in (("mzml", "centroid", dict(compression=False)), ("mgf", "profile", {})):
        [outcome] = vd.convert(runs[:1], tmp_path / format, format=format, prefer=prefer, **options)
        here = tmp_path / f"here.{format}"
        getattr(velorium.Acquisition(runs[0], prefer), f"to_{format}")(here, **options)
        assert outcome.error is None and here.read_bytes() == open(outcome.output, "rb").read()
    with pytest.raises(TypeError, match="level"):
        vd.convert(runs, tmp_path / "never", level=2)  # no task is started for an option no run takes
    assert not (tmp_path / "never").exists()


@pytest.mark.parametrize("opening", [dict(pick_peaks="all"), dict(prefer="centroid", pick_peaks="missing", min_snr=5.0)])
def test_every_function_opens_runs_with_the_acquisitions_picking(client, runs, tmp_path, opening):
    def here(path):
        return velorium.Acquisition(path, **opening)

    table = vd.scan_table(runs, **opening).compute()
    peaks = vd.peaks(runs, partition_points=2000, **opening).compute()
    targets = targets_of(runs, 3)
    frame = vd.xic(runs, targets, 20.0, ms_level=None, **opening)
    for path in runs:
        label = vd.run_label(path)
        same_bits(table[table.run == label].scan_mode.to_numpy(), here(path).scan_table()["scan_mode"])
        want = here(path).peak_table()
        same_bits(peaks[peaks.run == label].mz.to_numpy(), want["mz"])
        same_bits(peaks[peaks.run == label].intensity.to_numpy(), want["intensity"])
        same_bits(frame[frame.run == label].value.to_numpy(), here(path).xic(targets, 20.0, ms_level=None)[1].reshape(-1))
    [outcome] = vd.convert(runs[:1], tmp_path / "out", **opening)
    here(runs[0]).to_mzml(tmp_path / "here.mzML")
    assert outcome.error is None and (tmp_path / "here.mzML").read_bytes() == open(outcome.output, "rb").read()


@pytest.mark.parametrize("call", [lambda paths, out, **o: vd.scan_table(paths, **o),
                                  lambda paths, out, **o: vd.peaks(paths, **o),
                                  lambda paths, out, **o: vd.xic(paths, [100.0], 10.0, **o),
                                  lambda paths, out, **o: vd.convert(paths, out, **o)])
@pytest.mark.parametrize("options, error, text", [
    (dict(pick_peaks="some"), ValueError, "pick_peaks must be None, 'missing' or 'all', not 'some'"),
    (dict(pick_peaks="all", min_snr=-1.0), ValueError, "min_snr must be finite and not negative"),
    (dict(min_intensity=float("nan")), ValueError, "min_intensity must be finite and not negative"),
    (dict(min_snr=True), TypeError, "'min_snr' must be a number, not bool"),
])
def test_opening_options_are_checked_before_any_task(runs, tmp_path, call, options, error, text):
    with pytest.raises(error, match=re.escape(text)):
        call(runs, tmp_path / "never", **options)
    assert not (tmp_path / "never").exists()


# ------------------------------------------------------------------ Parquet


def test_parquet_of_peaks_and_scans_reads_back_bit_for_bit(client, runs, tmp_path):
    import pyarrow.parquet as pq

    vd.peaks(runs[:3], partition_points=3000).to_parquet(tmp_path / "peaks")
    vd.scan_table(runs[:3]).to_parquet(tmp_path / "scans")
    def read(folder):  # the files in the order of the partitions
        files = sorted(folder.glob("*.parquet"), key=lambda f: int(f.name.split(".")[1]))
        return pd.concat([pq.read_table(f).to_pandas() for f in files], ignore_index=True)

    peaks, scans = read(tmp_path / "peaks"), read(tmp_path / "scans")
    assert len(list((tmp_path / "peaks").glob("*.parquet"))) > 3
    for path in runs[:3]:
        label = vd.run_label(path)
        acquisition = velorium.Acquisition(path)
        table = acquisition.peak_table()
        same_bits(peaks[peaks.run == label].mz.to_numpy(), table["mz"])
        same_bits(peaks[peaks.run == label].intensity.to_numpy(), table["intensity"])
        for name, column in acquisition.scan_table().items():
            same_bits(scans[scans.path == path][name].to_numpy(), column)

    duckdb = pytest.importorskip("duckdb")
    low, high = 300.0, 900.0
    found = duckdb.sql(f"""
        SELECT run, scan_number, max(intensity) AS top FROM read_parquet('{tmp_path / "peaks"}/*.parquet')
        WHERE ms_level = 1 AND mz BETWEEN {low!r} AND {high!r} GROUP BY run, scan_number""").df()
    for path in runs[:3]:
        acquisition = velorium.Acquisition(path)
        _, top = acquisition.xic([(low + high) / 2], (high - low) / 2, unit="mz", aggregate="max")
        numbers = acquisition.scan_table()["scan_number"][acquisition.select(ms_level=1)]
        rows = found[found.run == vd.run_label(path)].set_index("scan_number").top
        want = dict(zip(numbers.tolist(), top[0].tolist()))
        assert rows.to_dict() == {n: v for n, v in want.items() if v != 0.0} and len(rows) > 0
