"""Many acquisitions at once, on Dask (needs ``pip install 'velorium[dask]'``)."""

import os
from collections.abc import Iterable
from typing import Any, Final, Literal, NamedTuple, SupportsIndex, overload

import dask.dataframe as dd
import pandas as pd

__all__ = ["scan_table", "peaks", "xic", "convert", "Converted", "run_label", "PARTITION_POINTS"]

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Paths = _Path | Iterable[_Path]
# Scan selection, as Acquisition's: one MS level, or several (a sequence of ints, a range).
_MsLevels = SupportsIndex | Iterable[SupportsIndex]

PARTITION_POINTS: Final[int]
def run_label(path: _Path) -> str:
    """The run's label, as run_info()["source_file_name"] gives it, without opening the run."""

def scan_table(paths: _Paths, prefer: Literal["profile", "centroid"] = "profile", *,
               pick_peaks: Literal["missing", "all"] | None = None, min_intensity: float = 0.0, min_snr: float = 2.0,
               errors: Literal["raise", "collect"] = "raise") -> dd.DataFrame:
    """Every scan of every run, one partition per run.

    Columns: run (category: the run label), path (category), then those of
    Acquisition.scan_table(): index int64, scan_number uint32, ms_level uint32,
    retention_time_sec float64, polarity int8, scan_mode int8, has_profile bool,
    has_centroid bool, point_count uint64, total_ion_current, base_peak_mz,
    base_peak_intensity, low_mz, high_mz, precursor_mz, collision_energy float64.
    With errors="collect": Int64, UInt32, Int8, boolean and UInt64 in place of the
    integer and boolean types, and error (string)."""

def peaks(paths: _Paths, *, ms_level: _MsLevels | None = None, rt_range: tuple[float, float] | None = None,
          polarity: Literal["positive", "negative"] | None = None, scan_range: tuple[int, int] | None = None,
          prefer: Literal["profile", "centroid"] = "profile", pick_peaks: Literal["missing", "all"] | None = None,
          min_intensity: float = 0.0, min_snr: float = 2.0,
          partition_points: int = ...) -> dd.DataFrame:
    """One row per point of the selected scans: run (category), scan_number uint32,
    ms_level uint32, retention_time_sec float64, mz float64, intensity float32."""

@overload
def xic(paths: _Paths, targets: Iterable[float], tolerance: float, unit: Literal["ppm", "mz"] = "ppm",
        ms_level: _MsLevels | None = 1, rt_range: tuple[float, float] | None = None,
        aggregate: Literal["sum", "max"] = "sum", *, polarity: Literal["positive", "negative"] | None = None,
        scan_range: tuple[int, int] | None = None, prefer: Literal["profile", "centroid"] = "profile",
        pick_peaks: Literal["missing", "all"] | None = None, min_intensity: float = 0.0, min_snr: float = 2.0,
        errors: Literal["raise"] = "raise") -> pd.DataFrame: ...
@overload
def xic(paths: _Paths, targets: Iterable[float], tolerance: float, unit: Literal["ppm", "mz"] = "ppm",
        ms_level: _MsLevels | None = 1, rt_range: tuple[float, float] | None = None,
        aggregate: Literal["sum", "max"] = "sum", *, polarity: Literal["positive", "negative"] | None = None,
        scan_range: tuple[int, int] | None = None, prefer: Literal["profile", "centroid"] = "profile",
        pick_peaks: Literal["missing", "all"] | None = None, min_intensity: float = 0.0, min_snr: float = 2.0,
        errors: Literal["collect"]) -> tuple[pd.DataFrame, list[tuple[str, str]]]: ...

class Converted(NamedTuple):
    """The outcome of one run's conversion: the file written, or the error."""

    path: str
    output: str | None
    error: str | None

def convert(paths: _Paths, output_folder: str | os.PathLike[str], *, format: Literal["mzml", "mgf"] = "mzml",
            prefer: Literal["profile", "centroid"] = "profile", pick_peaks: Literal["missing", "all"] | None = None,
            min_intensity: float = 0.0, min_snr: float = 2.0,
            **options: Any) -> list[Converted]:
    """Writes each run NAME.d to output_folder/NAME.mzML (or NAME.mgf), one task per run."""
