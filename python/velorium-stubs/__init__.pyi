"""Type information for velorium, a reader of Agilent Q-TOF and triple-quadrupole acquisitions."""

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Literal, SupportsIndex, TypedDict, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra", "Acquisition", "pick_peaks"]

__version__: str

Polarity = Literal["negative", "positive"]
ScanMode = Literal["centroid", "profile"]
Analyzer = Literal["itms", "tqms", "sqms", "tofms", "ftms", "sector"]
Activation = Literal["hcd", "mpid", "etd", "cid", "ecd", "irmpd", "pd", "pqd", "uvpd", "sid", "ethcd"]
MobilityArrayKind = Literal["inverse_reduced_k0", "drift_time_ms"]
CalibrationSource = Literal["default_mass_cal", "mass_cal_record"]
# Scan selection: one MS level, or several (a sequence of ints, a range).
_MsLevels = SupportsIndex | Iterable[SupportsIndex]

class _Threshold(TypedDict, total=False):
    absolute: float  # the lowest intensity kept
    top: int  # the number of most intense points kept per spectrum

class CvTerm(TypedDict):
    accession: str
    name: str

class Precursor(TypedDict):
    target_mz: float | None
    selected_mz: float | None
    isolation_width: float | None
    charge: int | None
    intensity: float | None
    collision_energy: float | None
    ce_is_nce: bool
    precursor_native_id: str | None
    activation: Activation | None
    analyzer: Analyzer | None
    ccs: float | None

class RunInfo(TypedDict):
    source_file_name: str
    source_file_format: CvTerm
    native_id_format: CvTerm
    instrument: CvTerm
    instrument_serial_number: str | None
    software_name: str
    software_version: str
    acquisition_software_name: str | None
    acquisition_software_version: str | None
    start_timestamp: str | None
    mobility_array_kind: MobilityArrayKind | None
    analyzers: list[Analyzer]
    extra: dict[str, str]

class DeviceInfo(TypedDict):
    name: str
    model: str

class Chromatogram(TypedDict):
    index: int
    id: str
    chromatogram_type: CvTerm | None
    precursor_mz: float | None
    product_mz: float | None
    time_sec: list[float]
    intensity: list[float]

class SpectrumParams(TypedDict):
    format_id: int
    offset: int
    byte_count: int
    point_count: int
    uncompressed_byte_count: int | None

class ScanRecord(TypedDict):
    scan_id: int
    retention_time_min: float
    ms_level: int
    min_x: float | None
    max_x: float | None
    tic: float | None
    base_peak_mz: float | None
    base_peak_intensity: float | None
    calibration_id: int | None
    ion_polarity: int
    calibration_source: CalibrationSource | None
    mrm_channel_id: int | None
    target_mz: float | None
    collision_energy: float | None
    profile_params: SpectrumParams | None
    centroid_params: SpectrumParams | None

class ScanIndex(TypedDict):
    global_header_size: int
    stride: int
    records: list[ScanRecord]

class PeakTable(TypedDict):
    """All decoded points of a RawReader; views of its memory, read-only."""

    mz: npt.NDArray[np.float64]
    intensity: npt.NDArray[np.float32]
    # uint64, scan_count + 1 entries: scan i's points are offsets[i]:offsets[i + 1].
    offsets: npt.NDArray[np.uint64]

class ScanTable(TypedDict):
    """One entry per scan, in index order; floats are NaN where a value is absent."""

    index: npt.NDArray[np.int64]
    scan_number: npt.NDArray[np.uint32]
    ms_level: npt.NDArray[np.uint32]
    retention_time_sec: npt.NDArray[np.float64]
    # int8: 1 positive, -1 negative, 0 unknown polarity code.
    polarity: npt.NDArray[np.int8]
    # int8: 0 profile, 1 centroid (the block the spectrum is read from).
    scan_mode: npt.NDArray[np.int8]
    has_profile: npt.NDArray[np.bool_]
    has_centroid: npt.NDArray[np.bool_]
    # uint64: points of the spectrum (of the block it is read from).
    point_count: npt.NDArray[np.uint64]
    # float64: the spectrum's total_ion_current, base_peak_mz, base_peak_intensity.
    total_ion_current: npt.NDArray[np.float64]
    base_peak_mz: npt.NDArray[np.float64]
    base_peak_intensity: npt.NDArray[np.float64]
    low_mz: npt.NDArray[np.float64]
    high_mz: npt.NDArray[np.float64]
    # float64: the precursor's target m/z and collision energy.
    precursor_mz: npt.NDArray[np.float64]
    collision_energy: npt.NDArray[np.float64]

@final
class RawReader:
    """Opens an acquisition folder and decodes every spectrum at once."""

    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    def read_spectrum(self, scan_index: int) -> Spectrum: ...
    def run_info(self) -> RunInfo: ...
    def device_info(self) -> DeviceInfo | None:
        """Instrument name and model decoded from Devices.xml, when available."""
    def read_chromatograms(self) -> list[Chromatogram]: ...
    def scan_index(self) -> ScanIndex:
        """The decoded MSScan.bin header and scan records."""
    def peak_table(self) -> PeakTable:
        """All decoded points as NumPy arrays that share the reader's memory: 'mz' (float64),
        'intensity' (float32) and 'offsets' (uint64, scan_count + 1 entries; scan i's points are
        offsets[i]:offsets[i + 1])."""
    def scan_table(self) -> ScanTable:
        """One NumPy array per column, one entry per scan, of what the scan index and
        the decoded spectra say; pandas.DataFrame(reader.scan_table()) makes it a table."""
    def xic(
        self,
        /,
        targets: Iterable[float],
        tolerance: float,
        unit: Literal["ppm", "mz"] = "ppm",
        ms_level: _MsLevels | None = 1,
        rt_range: tuple[float, float] | None = None,
        aggregate: Literal["sum", "max"] = "sum",
        *,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Extracted-ion chromatograms of many targets in one pass."""

@final
class Spectrum:
    """A complete vendor-neutral spectrum record. Peak arrays remain Python lists
    for compatibility with existing callers."""

    @property
    def index(self) -> int: ...
    @property
    def scan_number(self) -> int: ...
    @property
    def native_id(self) -> str: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def polarity(self) -> Polarity | None: ...
    @property
    def scan_mode(self) -> ScanMode | None: ...
    @property
    def analyzer(self) -> Analyzer | None: ...
    @property
    def acquisition_event_id(self) -> int | None: ...
    @property
    def filter(self) -> str | None: ...
    @property
    def retention_time_sec(self) -> float: ...
    @property
    def total_ion_current(self) -> float: ...
    @property
    def reported_total_ion_current(self) -> float | None: ...
    @property
    def base_peak_mz(self) -> float | None: ...
    @property
    def reported_base_peak_mz(self) -> float | None: ...
    @property
    def base_peak_intensity(self) -> float | None: ...
    @property
    def reported_base_peak_intensity(self) -> float | None: ...
    @property
    def low_mz(self) -> float | None: ...
    @property
    def high_mz(self) -> float | None: ...
    @property
    def ion_injection_time_ms(self) -> float | None: ...
    @property
    def inv_mobility(self) -> float | None: ...
    @property
    def faims_cv(self) -> float | None: ...
    @property
    def precursor(self) -> Precursor | None: ...
    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def inv_mobility_per_peak(self) -> list[float] | None: ...
    @property
    def extra(self) -> dict[str, str]: ...
    # Read-only NumPy views of the decoded peaks (no copy; the same values as
    # mz and intensity). Without NumPy they raise ImportError.
    @property
    def mz_array(self) -> npt.NDArray[np.float64]: ...
    @property
    def intensity_array(self) -> npt.NDArray[np.float32]: ...
    def __len__(self) -> int: ...

@final
class SpectrumIter:
    def __iter__(self) -> SpectrumIter: ...
    def __next__(self) -> Spectrum: ...

def iter_spectra(path: str) -> SpectrumIter:
    """Decode spectra one at a time without buffering the whole acquisition."""

@final
class Acquisition:
    """An acquisition opened without decoding: each spectrum is decoded when it is
    asked for. A sequence of Spectrum objects in scan order. prefer='centroid' reads
    the centroid block of every scan that has one. pick_peaks='missing' hands out
    every spectrum that would be profile as the centroids picked from it;
    pick_peaks='all' picks from every profile block."""

    def __new__(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        prefer: Literal["profile", "centroid"] = "profile",
        pick_peaks: Literal["missing", "all"] | None = None,
        *,
        min_intensity: float = 0.0,
        min_snr: float = 2.0,
    ) -> Acquisition: ...
    @property
    def path(self) -> str:
        """The acquisition folder as given (a str)."""
    @property
    def prefer(self) -> Literal["profile", "centroid"]:
        """'profile' or 'centroid': the block read from scans that have both."""
    @property
    def pick_peaks(self) -> Literal["missing", "all"] | None:
        """None, 'missing' or 'all': which spectra are handed out as the centroids picked from their profile."""
    @property
    def min_intensity(self) -> float:
        """The least apex height of a picked peak."""
    @property
    def min_snr(self) -> float:
        """The least apex height of a picked peak, in multiples of its spectrum's noise level."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Spectrum: ...
    @overload
    def __getitem__(self, key: slice, /) -> list[Spectrum]: ...
    def __iter__(self) -> Iterator[Spectrum]: ...
    def spectra(
        self,
        /,
        ms_level: _MsLevels | None = None,
        rt_range: tuple[float, float] | None = None,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
    ) -> Iterator[Spectrum]:
        """The selected spectra in scan order, decoded ahead on worker threads."""
    def select(
        self,
        /,
        ms_level: _MsLevels | None = None,
        rt_range: tuple[float, float] | None = None,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
    ) -> list[int]:
        """The indices of the scans that spectra() with the same arguments yields."""
    def index_of(self, /, scan_number: int) -> int:
        """The index of the first scan with this scan number; ValueError if none has it."""
    def nearest(self, /, retention_time_sec: float, ms_level: _MsLevels | None = None) -> int:
        """The index of the scan (of this MS level) closest in retention time."""
    def run_info(self, /) -> RunInfo: ...
    def device_info(self, /) -> DeviceInfo | None:
        """Instrument name and model decoded from Devices.xml, when available."""
    def scan_index(self, /) -> ScanIndex:
        """The decoded MSScan.bin header and scan records."""
    def scan_table(self, /) -> ScanTable:
        """One NumPy array per column, one entry per scan, of what the scan index records."""
    def peak_table(
        self,
        /,
        ms_level: _MsLevels | None = None,
        rt_range: tuple[float, float] | None = None,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
    ) -> PeakTable:
        """The selected spectra decoded in parallel, as NumPy arrays."""
    def read_chromatograms(self, /) -> list[Chromatogram]: ...
    def xic(
        self,
        /,
        targets: Iterable[float],
        tolerance: float,
        unit: Literal["ppm", "mz"] = "ppm",
        ms_level: _MsLevels | None = 1,
        rt_range: tuple[float, float] | None = None,
        aggregate: Literal["sum", "max"] = "sum",
        *,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Extracted-ion chromatograms of many targets in one pass."""
    def __reduce__(self) -> tuple[Callable[..., Acquisition], tuple[str, str] | tuple[str, str, str]]: ...
    # Export (python/export.cpp).
    def to_mzml(
        self,
        /,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        compression: bool = True,
        *,
        ms_level: _MsLevels | None = None,
        rt_range: tuple[float, float] | None = None,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
        trim_zeros: bool = False,
        threshold: _Threshold | None = None,
        mz_precision: Literal[32, 64] | None = None,
        numpress: str | Sequence[str] | None = None,
        compact: bool = False,
    ) -> None:
        """Write the acquisition as indexed mzML 1.1 to path."""
    def to_mgf(
        self,
        /,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        ms_level: _MsLevels | None = None,
        rt_range: tuple[float, float] | None = None,
        polarity: Polarity | None = None,
        scan_range: tuple[int, int] | None = None,
        trim_zeros: bool = False,
        threshold: _Threshold | None = None,
        mgf_title: str | None = None,
    ) -> None:
        """Write the spectra as MGF to path (MS level 2 and higher unless ms_level says otherwise)."""

def pick_peaks(
    mz: npt.ArrayLike,
    intensity: npt.ArrayLike,
    *,
    min_intensity: float = 0.0,
    min_snr: float = 2.0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]:
    """The centroids of one profile spectrum: (m/z float64, apex intensity float32)
    NumPy arrays."""
