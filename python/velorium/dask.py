"""Many acquisitions at once, on Dask.

Tables over a whole study, computed by Dask on the cores of one machine or on a
cluster, one task per run or per part of a run:

- ``scan_table(paths)``: a Dask DataFrame of every scan's metadata, one
  partition per run;
- ``peaks(paths, ms_level=..., rt_range=..., polarity=..., scan_range=...)``: a
  Dask DataFrame of one row per point of the selected scans, in partitions of at most ``partition_points``
  points (a large run is split into several partitions of consecutive scans);
- ``xic(paths, targets, tolerance)``: the extracted-ion chromatograms of the
  same targets in every run, as one long pandas DataFrame;
- ``convert(paths, output_folder)``: each run written as mzML or MGF.

Each task opens its own acquisition: the task graph holds paths and options,
never data, so the workers need the same paths (a shared file system on a
cluster). The functions compute on Dask's current scheduler: the
``dask.distributed`` client in use, or Dask's default. A table goes to Parquet
with Dask's own writer::

    velorium.dask.peaks(paths, ms_level=1).to_parquet("peaks/")

Needs Dask DataFrames, pandas and pyarrow: ``pip install 'velorium[dask]'``.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

try:
    import dask
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    import pyarrow  # noqa: F401  (Parquet files of the tables)
except ImportError as missing:
    raise ImportError(
        f"velorium.dask needs Dask DataFrames, pandas and pyarrow, and {missing.name} is not installed: "
        "pip install 'velorium[dask]'",
        name=missing.name,
    ) from missing

import velorium

__all__ = ["scan_table", "peaks", "xic", "convert", "Converted", "run_label", "PARTITION_POINTS"]

# Points of one partition of peaks() by default: about 120 MB of columns.
PARTITION_POINTS = 4_000_000

# The columns of Acquisition.scan_table(), in its order, with their types.
_SCAN_COLUMNS = {
    "index": "int64",
    "scan_number": "uint32",
    "ms_level": "uint32",
    "retention_time_sec": "float64",
    "polarity": "int8",
    "scan_mode": "int8",
    "has_profile": "bool",
    "has_centroid": "bool",
    "point_count": "uint64",
    "total_ion_current": "float64",
    "base_peak_mz": "float64",
    "base_peak_intensity": "float64",
    "low_mz": "float64",
    "high_mz": "float64",
    "precursor_mz": "float64",
    "collision_energy": "float64",
}
# The same columns where a row may lack values (a run that failed).
_NULLABLE = {"int64": "Int64", "uint32": "UInt32", "int8": "Int8", "bool": "boolean", "uint64": "UInt64"}

_PEAK_COLUMNS = {
    "scan_number": "uint32",
    "ms_level": "uint32",
    "retention_time_sec": "float64",
    "mz": "float64",
    "intensity": "float32",
}


# ------------------------------------------------------------------ runs


def run_label(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """The run's label, as run_info()["source_file_name"] gives it, without
    opening the run: the last plain component of the folder path (invalid UTF-8
    replaced), or "bundle.d" for a path without one ("", ".", "/", "a/..")."""
    raw = os.fsencode(os.fspath(path))
    absolute = raw.startswith(b"/")
    last, plain = (b"/", False) if absolute else (None, False)
    first = True
    for part in raw.split(b"/"):
        if not part or (part == b"." and not (first and not absolute)):
            continue
        first = False
        last, plain = part, part not in (b".", b"..")
    if last is None or not plain:
        return "bundle.d"
    return last.decode("utf-8", "replace")


def _paths(paths: Any) -> list[str]:
    """The acquisition folders: one path, or an iterable of paths, as str."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    out = []
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"paths must be acquisition folders (str, bytes or os.PathLike), not {type(path).__name__}")
        out.append(os.fsdecode(os.fspath(path)))
    return out


def _distinct(values: list[str]) -> list[str]:
    return list(dict.fromkeys(values))


def _unique_labels(paths: list[str]) -> list[str]:
    """The run labels of `paths`, which must differ: a table without a path
    column could not tell two runs of the same label apart."""
    seen: dict[str, str] = {}
    for path in paths:
        label = run_label(path)
        if label in seen:
            raise ValueError(f"{seen[label]!r} and {path!r} have the same run label {label!r}; "
                             "each run needs a folder name of its own")
        seen[label] = path
    return list(seen)


def _category_codes(count: int, code: int, categories: int) -> np.ndarray:
    dtype = np.int8 if categories < 2**7 else np.int16 if categories < 2**15 else np.int32
    return np.full(count, code, dtype=dtype)


@functools.lru_cache(maxsize=8)
def _categories(values: tuple[str, ...]) -> pd.CategoricalDtype:
    """The categorical type of `values`, made once per process (a worker
    computes many partitions of the same table)."""
    return pd.CategoricalDtype(list(values))


def _category_column(count: int, value: str, values: tuple[str, ...]) -> pd.Categorical:
    """`count` times `value`, as a categorical of `values`."""
    dtype = _categories(values)
    return pd.Categorical.from_codes(_category_codes(count, values.index(value), len(values)), dtype=dtype)


def _failure(path: str, error: RuntimeError) -> RuntimeError:
    """The library's error of a run, its text prefixed by the run's path."""
    return RuntimeError(f"{path}: {error}")


def _selection(ms_level: Any, rt_range: Any, polarity: Any, scan_range: Any) -> dict[str, Any]:
    """The keywords of Acquisition's selecting methods (select, peak_table,
    xic) for the scans the caller chose; every function passes its selection
    through here. The values are Acquisition's own (one MS level, several, a
    range); levels given by an iterator are read once, here, since every task
    selects again."""
    if isinstance(ms_level, Iterator):
        ms_level = tuple(ms_level)
    return {"ms_level": ms_level, "rt_range": rt_range, "polarity": polarity, "scan_range": scan_range}


def _within(selection: dict[str, Any], low: float, high: float) -> dict[str, Any]:
    """The selection narrowed to the retention times [low, high], a window
    inside the selection's own rt_range."""
    return {**selection, "rt_range": (low, high)}


def _distributed_client() -> Any:
    """The dask.distributed client that Dask would compute on, or None."""
    try:
        from distributed import Client
    except ImportError:
        return None
    owner = getattr(dask.base.get_scheduler(), "__self__", None)
    return owner if isinstance(owner, Client) else None


class _Failed(NamedTuple):
    """The one-line error of a run whose task failed."""

    text: str


def _compute_each(tasks: list[Any]) -> list[Any]:
    """The results of `tasks`, in their order. The tasks return the library's
    errors as _Failed results themselves; on a distributed cluster, a task
    whose worker died (again and again, until the scheduler gave up on it)
    becomes one too instead of stopping the others. Any other exception is
    raised, the first in the order of the tasks."""
    client = _distributed_client()
    if client is None:
        return list(dask.compute(*tasks))
    from distributed import wait
    from distributed.scheduler import KilledWorker

    futures = client.compute(tasks)
    wait(futures)
    results = []
    for future in futures:
        if future.status == "finished":
            results.append(future.result())
            continue
        error = future.exception()
        if not isinstance(error, KilledWorker):
            raise error
        results.append(_Failed(f"{type(error).__name__}: {error}"))
    return results


# ------------------------------------------------------------------ scan_table


def _scan_meta(labels: tuple[str, ...], paths: tuple[str, ...], collect: bool) -> pd.DataFrame:
    columns: dict[str, Any] = {
        "run": pd.Categorical([], dtype=_categories(labels)),
        "path": pd.Categorical([], dtype=_categories(paths)),
    }
    for name, dtype in _SCAN_COLUMNS.items():
        columns[name] = pd.array([], dtype=_NULLABLE.get(dtype, dtype)) if collect else np.empty(0, dtype=dtype)
    if collect:
        columns["error"] = pd.array([], dtype="string")
    return pd.DataFrame(columns)


def _scan_partition(path: str, labels: tuple[str, ...], paths: tuple[str, ...], opening: _Opening,
                    collect: bool) -> pd.DataFrame:
    try:
        table = opening.open(path).scan_table()
        error = None
    except RuntimeError as failed:
        if not collect:
            raise _failure(path, failed) from failed
        table, error = None, str(failed)
    count = 1 if table is None else len(table["index"])
    columns: dict[str, Any] = {
        "run": _category_column(count, run_label(path), labels),
        "path": _category_column(count, path, paths),
    }
    for name, dtype in _SCAN_COLUMNS.items():
        if table is None:
            columns[name] = pd.array([None], dtype=_NULLABLE.get(dtype, dtype))
        elif collect:
            columns[name] = pd.array(table[name], dtype=_NULLABLE.get(dtype, dtype))
        else:
            columns[name] = table[name]
    if collect:
        columns["error"] = pd.array([error] * count, dtype="string")
    return pd.DataFrame(columns, copy=False)


def scan_table(paths: Any, prefer: str = "profile", *, pick_peaks: str | None = None, min_intensity: float = 0.0,
               min_snr: float = 2.0, errors: str = "raise") -> dd.DataFrame:
    """Every scan of every run: the columns of Acquisition.scan_table() after
    `run` (the run label, categorical) and `path` (categorical), one partition
    per run, in the order of `paths`. Opens no run until computed.

    A run that cannot be opened raises RuntimeError, when its partition is
    computed, with the library's text after the run's path. With
    errors="collect" it gives one row instead, with its run, path and the
    library's text in an `error` column (a str column, missing for the scans of
    the runs that opened) and no other value; the integer and boolean columns
    are then pandas' nullable types.

    Each run is opened as Acquisition(path, prefer, pick_peaks,
    min_intensity=min_intensity, min_snr=min_snr), here and in peaks, xic and
    convert."""
    collect = _errors_option(errors)
    opening = _opening(prefer, pick_peaks, min_intensity, min_snr)
    paths = _paths(paths)
    labels, distinct = tuple(_distinct([run_label(p) for p in paths])), tuple(_distinct(paths))
    meta = _scan_meta(labels, distinct, collect)
    if not paths:
        return dd.from_pandas(meta, npartitions=1)
    return _from_map(_scan_partition, paths, (labels, distinct, opening, collect), meta, "velorium-scan-table")


def _from_map(function: Any, items: list[Any], arguments: tuple[Any, ...], meta: pd.DataFrame,
              label: str) -> dd.DataFrame:
    """A Dask DataFrame of one partition per item, function(item, *arguments),
    each of the types of `meta`: the partitions are made with those types, so
    Dask adds no conversion of strings after each."""
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(function, items, args=arguments, meta=meta, label=label, enforce_metadata=False)


def _errors_option(errors: str) -> bool:
    if errors not in ("raise", "collect"):
        raise ValueError(f"errors must be 'raise' or 'collect', not {errors!r}")
    return errors == "collect"


def _prefer_option(prefer: str) -> None:
    if prefer not in ("profile", "centroid"):
        raise ValueError(f"prefer must be 'profile' or 'centroid', not {prefer!r}")


class _Opening(NamedTuple):
    """How each run is opened: the arguments of Acquisition after the path."""

    prefer: str
    pick_peaks: str | None
    min_intensity: float
    min_snr: float

    def open(self, path: str) -> velorium.Acquisition:
        return velorium.Acquisition(path, self.prefer, self.pick_peaks, min_intensity=self.min_intensity,
                                    min_snr=self.min_snr)


def _opening(prefer: str, pick_peaks: str | None, min_intensity: float, min_snr: float) -> _Opening:
    """The options checked now, with the library's own rules, rather than
    once per run when the tasks run."""
    _prefer_option(prefer)
    if pick_peaks not in (None, "missing", "all"):
        raise ValueError(f"pick_peaks must be None, 'missing' or 'all', not {pick_peaks!r}")
    velorium.pick_peaks(np.empty(0), np.empty(0, dtype=np.float32), min_intensity=min_intensity, min_snr=min_snr)
    return _Opening(prefer, pick_peaks, float(min_intensity), float(min_snr))


# ------------------------------------------------------------------ peaks


def _plan_run(path: str, opening: _Opening, selection: dict[str, Any],
              limit: int) -> list[tuple[dict[str, Any], int | None]]:
    """The partitions of one run: the selection of each (the run's selection
    narrowed to a retention-time window) and its scan count. A run splits
    between two scans of different retention times only, and only where the
    retention times ascend in scan order; a run that cannot be opened is one
    partition, which raises when it is computed."""
    try:
        acquisition = opening.open(path)
    except RuntimeError:
        return [(selection, None)]
    chosen = np.asarray(acquisition.select(**selection), dtype=np.intp)
    if chosen.size == 0:
        return []
    table = acquisition.scan_table()
    points = table["point_count"][chosen]
    times = table["retention_time_sec"][chosen]
    if not bool(np.all(times[1:] >= times[:-1])):  # descending, or NaN
        return [(selection, int(chosen.size))]
    bounds = [0]
    total = 0
    for k, count in enumerate(points.tolist()):
        if k > bounds[-1] and total + count > limit and times[k] != times[k - 1]:
            bounds.append(k)
            total = 0
        total += count
    bounds.append(int(chosen.size))
    if len(bounds) == 2:
        return [(selection, int(chosen.size))]
    return [(_within(selection, float(times[a]), float(times[b - 1])), b - a) for a, b in zip(bounds, bounds[1:])]


def _peaks_meta(labels: tuple[str, ...]) -> pd.DataFrame:
    columns: dict[str, Any] = {"run": pd.Categorical([], dtype=_categories(labels))}
    columns.update({name: np.empty(0, dtype=dtype) for name, dtype in _PEAK_COLUMNS.items()})
    return pd.DataFrame(columns)


def _peaks_partition(part: tuple[str, dict[str, Any], int | None], labels: tuple[str, ...],
                     opening: _Opening) -> pd.DataFrame:
    path, selection, scans = part
    try:
        acquisition = opening.open(path)
        chosen = np.asarray(acquisition.select(**selection), dtype=np.intp)
        table = acquisition.peak_table(**selection)
    except RuntimeError as failed:
        raise _failure(path, failed) from failed
    if scans is not None and chosen.size != scans:
        raise RuntimeError(f"{path}: {chosen.size} scans where {scans} were planned: "
                           "the acquisition changed after the table was made")
    counts = np.diff(table["offsets"]).astype(np.intp)
    index = acquisition.scan_table()
    columns = {
        "run": _category_column(int(table["offsets"][-1]), run_label(path), labels),
        "scan_number": np.repeat(index["scan_number"][chosen], counts),
        "ms_level": np.repeat(index["ms_level"][chosen], counts),
        "retention_time_sec": np.repeat(index["retention_time_sec"][chosen], counts),
        "mz": table["mz"],  # the decoded columns themselves, not a copy
        "intensity": table["intensity"],
    }
    return pd.DataFrame(columns, copy=False)


def peaks(paths: Any, *, ms_level: Any = None, rt_range: tuple[float, float] | None = None,
          polarity: str | None = None, scan_range: tuple[int, int] | None = None, prefer: str = "profile",
          pick_peaks: str | None = None, min_intensity: float = 0.0, min_snr: float = 2.0,
          partition_points: int = PARTITION_POINTS) -> dd.DataFrame:
    """One row per point of the selected scans of every run: `run` (the run
    label, categorical), `scan_number`, `ms_level`, `retention_time_sec`, `mz`
    (float64) and `intensity` (float32), in the order of `paths` and, within a
    run, of Acquisition(path, prefer, pick_peaks, ...).peak_table(ms_level, rt_range, polarity,
    scan_range), whose selection the arguments are.

    A run is split into partitions of consecutive scans of at most
    `partition_points` points each (a scan is never split, so a scan with more
    points is a partition of its own), which bounds a worker's memory whatever
    the size of the run. Planning them reads each run's scan index now (runs
    whose retention times do not ascend with the scans stay one partition);
    the points are decoded when a partition is computed, with
    Acquisition.peak_table. A run that cannot be opened or a scan that fails to
    decode raises RuntimeError then, with the library's text after the run's
    path. The runs' labels must differ."""
    if isinstance(partition_points, bool) or not isinstance(partition_points, int) or partition_points < 1:
        raise ValueError(f"partition_points must be a positive int, not {partition_points!r}")
    opening = _opening(prefer, pick_peaks, min_intensity, min_snr)
    paths = _paths(paths)
    labels = tuple(_unique_labels(paths))
    meta = _peaks_meta(labels)
    selection = _selection(ms_level, rt_range, polarity, scan_range)
    with ThreadPoolExecutor(max_workers=min(8, max(1, len(paths)))) as pool:  # opening waits on the disk
        plans = list(pool.map(lambda p: _plan_run(p, opening, selection, partition_points), paths))
    parts = [(path, chosen, scans) for path, plan in zip(paths, plans) for chosen, scans in plan]
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    return _from_map(_peaks_partition, parts, (labels, opening), meta, "velorium-peaks")


# ------------------------------------------------------------------ xic


def _xic_run(targets: Any, path: str, opening: _Opening, arguments: dict[str, Any], collect: bool) -> Any:
    try:
        return opening.open(path).xic(targets, **arguments)
    except RuntimeError as failed:
        if collect:
            return _Failed(str(failed))
        raise _failure(path, failed) from failed


def _xic_frame(labels: tuple[str, ...], target_mz: np.ndarray, results: list[Any]) -> pd.DataFrame:
    """The long table of the (retention times, values) of each run of
    `labels` (None for a run left out), each column written once, in place."""
    count = target_mz.size
    sizes = [0 if result is None else result[1].size for result in results]
    total = sum(sizes)
    codes = np.empty(total, dtype=_category_codes(0, 0, len(labels)).dtype)
    target_index = np.empty(total, dtype=np.int64)
    target_column = np.empty(total)
    times = np.empty(total)
    values = np.empty(total)
    start = 0
    for run, (result, size) in enumerate(zip(results, sizes)):
        if result is None or size == 0:
            continue
        rt, table = result
        end = start + size
        codes[start:end] = run
        target_index[start:end].reshape(count, -1)[:] = np.arange(count)[:, None]
        target_column[start:end].reshape(count, -1)[:] = target_mz[:, None]
        times[start:end].reshape(count, -1)[:] = rt
        values[start:end] = table.reshape(-1)
        start = end
    return pd.DataFrame({
        "run": pd.Categorical.from_codes(codes, dtype=_categories(labels)),
        "target_index": target_index,
        "target_mz": target_column,
        "retention_time_sec": times,
        "value": values,
    }, copy=False)


def xic(paths: Any, targets: Any, tolerance: float, unit: str = "ppm", ms_level: Any = 1,
        rt_range: tuple[float, float] | None = None, aggregate: str = "sum", *, polarity: str | None = None,
        scan_range: tuple[int, int] | None = None, prefer: str = "profile", pick_peaks: str | None = None,
        min_intensity: float = 0.0, min_snr: float = 2.0, errors: str = "raise") -> Any:
    """The extracted-ion chromatograms of the same targets in every run, as one
    long pandas DataFrame: `run` (the run label, categorical), `target_index`
    (int64, the target's position in `targets`), `target_mz` (float64),
    `retention_time_sec` and `value` (float64). Each run is one task,
    Acquisition(path, prefer, pick_peaks, ...).xic(targets, tolerance, unit, ms_level, rt_range,
    aggregate, polarity=polarity, scan_range=scan_range); its rows come target
    by target, each in scan order, and the runs in the order of `paths`.

    A run that cannot be opened or a scan that fails to decode raises
    RuntimeError, with the library's text after the run's path. With
    errors="collect" the result is (frame, failures) instead: the frame of the
    runs that succeeded and a list of (path, library text) of those that did
    not. The runs' labels must differ."""
    collect = _errors_option(errors)
    opening = _opening(prefer, pick_peaks, min_intensity, min_snr)
    paths = _paths(paths)
    labels = tuple(_unique_labels(paths))
    if not isinstance(targets, np.ndarray):
        targets = list(targets)  # an iterator is read once, here
    arguments = dict(tolerance=tolerance, unit=unit, aggregate=aggregate,
                     **_selection(ms_level, rt_range, polarity, scan_range))
    shared = dask.delayed(targets, pure=True, traverse=False)
    tasks = [dask.delayed(_xic_run, pure=True)(shared, path, opening, arguments, collect) for path in paths]
    results = _compute_each(tasks) if collect else list(dask.compute(*tasks))
    failures = [(path, result.text) for path, result in zip(paths, results) if isinstance(result, _Failed)]
    frame = _xic_frame(labels, np.asarray(targets, dtype=np.float64).reshape(-1),
                       [None if isinstance(result, _Failed) else result for result in results])
    return (frame, failures) if collect else frame


# ------------------------------------------------------------------ convert


class Converted(NamedTuple):
    """The outcome of one run's conversion: the file written, or the error."""

    path: str
    output: str | None
    error: str | None


_FORMATS = {"mzml": ".mzML", "mgf": ".mgf"}


def _output_stem(path: str) -> str:
    """NAME of a run NAME.d (any letter case), or its run label as it is."""
    label = run_label(path)
    return label[:-2] if len(label) > 2 and label[-2:] in (".d", ".D") else label


def _convert_run(path: str, output: str, format: str, opening: _Opening, options: dict[str, Any]) -> Any:
    try:
        acquisition = opening.open(path)
        getattr(acquisition, f"to_{format}")(output, **options)
    except Exception as failed:  # every failure is this run's outcome
        return _Failed(f"{type(failed).__name__}: {failed}")
    return output


def convert(paths: Any, output_folder: str | os.PathLike[str], *, format: str = "mzml", prefer: str = "profile",
            pick_peaks: str | None = None, min_intensity: float = 0.0, min_snr: float = 2.0,
            **options: Any) -> list[Converted]:
    """Writes each run to output_folder/NAME.mzML (NAME.mgf with format="mgf")
    for a run NAME.d, one task per run, with Acquisition(path, prefer, pick_peaks, ...).to_mzml
    (or to_mgf) and `options` as its keywords. Returns one Converted per path,
    in their order: the file written, or the one-line error of a run that
    failed; one failure does not stop the others. A run whose file another run
    of the list writes already fails without being converted. Creates the
    folder if it is missing."""
    if format not in _FORMATS:
        raise ValueError(f"format must be 'mzml' or 'mgf', not {format!r}")
    opening = _opening(prefer, pick_peaks, min_intensity, min_snr)
    paths = _paths(paths)
    _check_options(getattr(velorium.Acquisition, f"to_{format}"), options)
    folder = os.fsdecode(os.fspath(output_folder))
    os.makedirs(folder, exist_ok=True)
    outputs = [os.path.join(folder, _output_stem(p) + _FORMATS[format]) for p in paths]
    taken: set[str] = set()
    tasks, positions, outcomes = [], [], [Converted(p, None, None) for p in paths]
    for i, (path, output) in enumerate(zip(paths, outputs)):
        key = os.path.normpath(output)
        if key in taken:
            outcomes[i] = Converted(path, None, f"{output}: also the output of an earlier input")
            continue
        taken.add(key)
        tasks.append(dask.delayed(_convert_run, pure=False)(path, output, format, opening, options))
        positions.append(i)
    for i, result in zip(positions, _compute_each(tasks)):
        outcomes[i] = Converted(paths[i], None, result.text) if isinstance(result, _Failed) else \
            Converted(paths[i], result, None)
    return outcomes


def _check_options(method: Any, options: dict[str, Any]) -> None:
    """TypeError now for a keyword that `method` does not take, rather than
    one failure per run."""
    import inspect

    try:
        signature = inspect.signature(method)
    except (TypeError, ValueError):  # no signature to check against
        return
    signature.bind(None, "output", **options)
