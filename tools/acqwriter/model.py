"""The acquisition model and the folder writer.

An ``Acquisition`` is a sequence of ``Scan`` values (a scan record plus its
profile and/or centroid data and calibration) and the run-level parts
(calibration entries, device, acquired time, record stride). The scan
sequence may be a plain list or a ``LazyScans`` that builds each scan on
demand, so that ``write_acquisition`` can stream runs far larger than memory.

``write_acquisition`` lays out ``<folder>/AcqData/`` and returns a
``WriteResult``; ``Acquisition.expected(i)`` gives what a correct reader
must decode for scan i (``ExpectedSpectrum``). The high-level model needs
numpy.
"""

from __future__ import annotations

import dataclasses
import os
import struct
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

import numpy as np

from .calibration import Calibration, MassCalRecord, masscal_bytes, masscal_record_bytes
from .msscan import LAYOUTS, MSN_ONLY_FIELDS, Descriptor, ScanRecord, infer_stride, msscan_bytes
from .peak import peak_block_format2, peak_block_format3
from .profile import profile_lzf_block, profile_rle_encode
from .xmlfiles import DefaultCalEntry, contents_xml, default_masscal_xml, devices_xml

__all__ = [
    "ACQ_FILES",
    "Profile",
    "Centroids",
    "Scan",
    "Device",
    "LazyScans",
    "Acquisition",
    "ExpectedSpectrum",
    "WriteResult",
    "expected_spectrum",
    "write_acquisition",
]

ACQ_FILES = (
    "MSScan.bin",
    "MSProfile.bin",
    "MSPeak.bin",
    "MSMassCal.bin",
    "DefaultMassCal.xml",
    "Devices.xml",
    "Contents.xml",
)

PROFILE_ENCODINGS = ("lzf", "lzf-literal", "rle")


@dataclass
class Profile:
    """A profile spectrum: intensities (integers) on the flight-time axis x0 + i * dx.

    encoding: "lzf" (liblzf), "lzf-literal" (LZF literal runs, no library)
    or "rle" (run-length; intensities must be >= 0 and x0 > 0).
    block: a prebuilt block written verbatim instead (with
    uncompressed_byte_count and point_count for its descriptor); the
    intensities then only serve as the expected content.
    """

    x0: float
    dx: float
    intensities: Any
    encoding: str = "lzf"
    block: bytes | None = None
    uncompressed_byte_count: int | None = None
    point_count: int | None = None

    def encode(self) -> tuple[bytes, int, int]:
        """(block, uncompressed_byte_count, point_count)."""
        n = len(self.intensities)
        if self.block is not None:
            ubc = self.uncompressed_byte_count if self.uncompressed_byte_count is not None else 16 + 4 * n
            return self.block, ubc, n if self.point_count is None else self.point_count
        if self.encoding == "lzf":
            block, ubc = profile_lzf_block(self.x0, self.dx, self.intensities)
        elif self.encoding == "lzf-literal":
            block, ubc = profile_lzf_block(self.x0, self.dx, self.intensities, literal_only=True)
        elif self.encoding == "rle":
            block, ubc = profile_rle_encode(self.x0, self.dx, self.intensities)
        else:
            raise ValueError(f"unknown profile encoding {self.encoding!r}; expected one of {PROFILE_ENCODINGS}")
        return block, ubc, n


@dataclass
class Centroids:
    """A centroid list. format_id 2: xs are flight times; 3: xs are m/z values."""

    format_id: int
    xs: Any
    intensities: Any

    def encode(self) -> tuple[bytes, int]:
        if self.format_id == 2:
            return peak_block_format2(self.xs, self.intensities), len(self.xs)
        if self.format_id == 3:
            return peak_block_format3(self.xs, self.intensities), len(self.xs)
        raise ValueError(f"centroid format must be 2 or 3, got {self.format_id}")


@dataclass
class Scan:
    """One scan: its record (descriptors are filled in by the writer) and data.

    calibration: the calibration the scan's flight times are meant for; it is
    what the expected m/z values are computed with, and (unless `masscal`
    is given) its ten values form the scan's MSMassCal.bin record.
    """

    record: ScanRecord
    profile: Profile | None = None
    centroids: Centroids | None = None
    calibration: Calibration | None = None
    masscal: MassCalRecord | None = None


@dataclass(frozen=True)
class Device:
    name: str
    model: str


class LazyScans(Sequence[Scan]):
    """A sequence of `count` scans, scan i being built by factory(i) when asked for."""

    def __init__(self, count: int, factory: Callable[[int], Scan]):
        self._count = count
        self._factory = factory

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, i):  # type: ignore[override]
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(self._count))]
        if i < 0:
            i += self._count
        if not 0 <= i < self._count:
            raise IndexError(i)
        return self._factory(i)

    def __iter__(self) -> Iterator[Scan]:
        for i in range(self._count):
            yield self._factory(i)


@dataclass
class ExpectedSpectrum:
    """What a correct reader decodes for one scan.

    Record fields that the layout does not carry are None, as are
    target_mz and collision_energy of records below MS level 2. m/z arrays
    are f64, intensity arrays f32; the m/z of flight-time data is None
    when the scan has no calibration (such data cannot be decoded).
    """

    index: int
    scan_id: int
    retention_time_min: float
    ms_level: int
    ion_polarity: int
    mrm_channel_id: int | None
    tic: float | None
    base_peak_mz: float | None
    base_peak_intensity: float | None
    calibration_id: int | None
    target_mz: float | None
    collision_energy: float | None
    min_x: float | None
    max_x: float | None
    calibration: Calibration | None
    profile_mz: Any = None
    profile_intensity: Any = None
    centroid_format: int | None = None
    centroid_mz: Any = None
    centroid_intensity: Any = None

    @property
    def retention_time_s(self) -> float:
        return self.retention_time_min * 60.0

    @property
    def precursor_mz(self) -> float | None:
        return self.target_mz

    @property
    def scan_mode(self) -> str | None:
        """"profile" or "centroid" for a scan that carries one kind of block, else None."""
        has_p = self.profile_intensity is not None
        has_c = self.centroid_intensity is not None
        if has_p and not has_c:
            return "profile"
        if has_c and not has_p:
            return "centroid"
        return None


def expected_spectrum(scan: Scan, stride: int, index: int, fill: int = 0) -> ExpectedSpectrum:
    """The decoded content of `scan` written as record `index` of a `stride` file."""
    layout = LAYOUTS[stride]
    rec = scan.record

    def carried(name: str) -> Any:
        if not layout.carries(name):
            return None
        if name in MSN_ONLY_FIELDS and rec.ms_level < 2:
            return None
        value = getattr(rec, name)
        if value is None:  # not written: the field reads back as fill bytes
            off, code = layout.fields[name]
            size = struct.calcsize("<" + code)
            return struct.unpack("<" + code, bytes([fill & 0xFF]) * size)[0]
        return value

    exp = ExpectedSpectrum(
        index=index,
        scan_id=rec.scan_id,
        retention_time_min=rec.retention_time_min,
        ms_level=rec.ms_level,
        ion_polarity=rec.ion_polarity,
        mrm_channel_id=carried("mrm_channel_id"),
        tic=carried("tic"),
        base_peak_mz=carried("base_peak_mz"),
        base_peak_intensity=carried("base_peak_intensity"),
        calibration_id=carried("calibration_id"),
        target_mz=carried("target_mz"),
        collision_energy=carried("collision_energy"),
        min_x=carried("min_x"),
        max_x=carried("max_x"),
        calibration=scan.calibration,
    )
    cal = scan.calibration
    if scan.profile is not None:
        p = scan.profile
        ints = np.asarray(p.intensities, dtype=np.int64)
        exp.profile_intensity = ints.astype(np.float32)
        if cal is not None:
            t = p.x0 + np.arange(ints.size, dtype=np.float64) * p.dx
            exp.profile_mz = cal.mz_array(t)
    if scan.centroids is not None:
        c = scan.centroids
        exp.centroid_format = c.format_id
        exp.centroid_intensity = np.asarray(c.intensities).astype(np.float32)
        xs = np.asarray(c.xs, dtype=np.float64)
        if c.format_id == 3:
            exp.centroid_mz = xs
        elif cal is not None:
            exp.centroid_mz = cal.mz_array(xs)
    return exp


@dataclass
class Acquisition:
    """A whole run.

    files: the names (of ACQ_FILES) to write; None writes MSScan.bin and
    every other file that has content: MSProfile.bin / MSPeak.bin when a scan
    has such data, MSMassCal.bin when a scan has a calibration or a masscal
    record, DefaultMassCal.xml when there are calibration entries, Devices.xml
    with a device, Contents.xml with an acquired time.
    profile_slot: for stride 284, the descriptor position (0: offset 156,
    1: offset 220) of the profile block; the centroid block takes the other.
    record_fill: byte of the records' uninterpreted parts.
    *_text: replace a generated XML file by the given text.
    params: the generator parameters of a synthetic run (informational).
    """

    scans: Sequence[Scan]
    stride: int = 284
    calibration_entries: Sequence[DefaultCalEntry] = ()
    device: Device | None = field(default_factory=lambda: Device("QTOF", "G6530A"))
    acquired_time: str | None = "2024-03-14T09:26:53.5890000+01:00"
    header_size: int = 92
    files: frozenset[str] | None = None
    profile_slot: int = 0
    record_fill: int = 0
    default_masscal_text: str | None = None
    devices_text: str | None = None
    contents_text: str | None = None
    params: Any = None  # the parameters of a synthetic run, if it is one

    def expected(self, index: int) -> ExpectedSpectrum:
        return expected_spectrum(self.scans[index], self.stride, index, self.record_fill)

    def expected_spectra(self) -> Iterator[ExpectedSpectrum]:
        for i, scan in enumerate(self.scans):
            yield expected_spectrum(scan, self.stride, i, self.record_fill)


@dataclass
class WriteResult:
    folder: Path
    stride: int
    files: dict[str, int]  # name -> size in bytes
    scans: int
    ms2_scans: int
    profile_points: int
    centroid_points: int
    records: list[ScanRecord]  # as written, with their descriptors
    record_fill: int
    seconds: float

    @property
    def decoded_bytes(self) -> int:
        """Decoded size at 12 bytes per point (f64 m/z + f32 intensity)."""
        return 12 * (self.profile_points + self.centroid_points)

    def summary(self) -> str:
        sizes = ", ".join(f"{k} {_human(v)}" for k, v in self.files.items())
        return (
            f"wrote {self.folder}: {self.scans} scan{'s' if self.scans != 1 else ''} ({self.ms2_scans} MS2, stride "
            f"{self.stride}), {self.profile_points} profile + {self.centroid_points} "
            f"centroid points ({_human(self.decoded_bytes)} decoded); {sizes}; {self.seconds:.1f} s"
        )


def _human(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return str(n)


class _LazyFile:
    """A data file opened on its first block, so that files without blocks are never created."""

    def __init__(self, path: Path):
        self.path = path
        self.fh = None
        self.offset = 0

    def write(self, data: bytes) -> int:
        if self.fh is None:
            self.fh = open(self.path, "wb", buffering=1 << 20)
        at = self.offset
        self.fh.write(data)
        self.offset += len(data)
        return at

    def close(self) -> None:
        if self.fh is not None:
            self.fh.close()


def write_acquisition(folder: str | os.PathLike, acquisition: Acquisition, *, overwrite: bool = False) -> WriteResult:
    """Write `acquisition` as <folder>/AcqData/... and return what was written.

    Refuses (FileExistsError) to write over an AcqData folder that already
    holds any of the acquisition files unless overwrite is true; then those
    files are replaced and the ones this acquisition does not write are
    removed, so no stale file survives. Other files are left alone.
    """
    t_start = time.perf_counter()
    acq = acquisition
    if acq.stride not in LAYOUTS:
        raise ValueError(f"unknown stride {acq.stride}")
    layout = LAYOUTS[acq.stride]
    if acq.files is not None:
        unknown = set(acq.files) - set(ACQ_FILES)
        if unknown:
            raise ValueError(f"unknown acquisition files {sorted(unknown)}")
    folder = Path(folder)
    acqdata = folder / "AcqData"
    acqdata.mkdir(parents=True, exist_ok=True)
    existing = [n for n in ACQ_FILES if (acqdata / n).exists()]
    if existing and not overwrite:
        raise FileExistsError(f"{acqdata} already holds {', '.join(existing)} (pass overwrite=True to replace)")
    for n in existing:
        (acqdata / n).unlink()

    def wanted(name: str) -> bool:
        return acq.files is None or name in acq.files

    profile_file = _LazyFile(acqdata / "MSProfile.bin")
    peak_file = _LazyFile(acqdata / "MSPeak.bin")
    records: list[ScanRecord] = []
    masscal_parts: list[bytes] = []
    any_cal = False
    ms2 = profile_points = centroid_points = 0
    slots = len(layout.descriptor_positions)
    try:
        for index, scan in enumerate(acq.scans):
            descs: list[Descriptor | None] = [None] * slots
            prof_desc = cent_desc = None
            if scan.profile is not None:
                block, ubc, n = scan.profile.encode()
                at = profile_file.write(block) if wanted("MSProfile.bin") else 0
                prof_desc = Descriptor(1, at, len(block), n, ubc)
                profile_points += n
            if scan.centroids is not None:
                block, n = scan.centroids.encode()
                at = peak_file.write(block) if wanted("MSPeak.bin") else 0
                cent_desc = Descriptor(scan.centroids.format_id, at, len(block), n)
                centroid_points += n
            if prof_desc and cent_desc:
                if slots < 2:
                    raise ValueError(
                        f"scan {index}: stride {acq.stride} has one descriptor position; "
                        "a scan cannot carry both a profile and a centroid block"
                    )
                descs[acq.profile_slot] = prof_desc
                descs[1 - acq.profile_slot] = cent_desc
            elif prof_desc or cent_desc:
                descs[acq.profile_slot if prof_desc and slots > 1 else 0] = prof_desc or cent_desc
            records.append(dataclasses.replace(scan.record, descriptors=descs))
            if scan.record.ms_level >= 2:
                ms2 += 1
            if scan.masscal is not None:
                masscal_parts.append(scan.masscal.pack())
                any_cal = True
            else:
                masscal_parts.append(masscal_record_bytes(scan.calibration))
                any_cal = any_cal or scan.calibration is not None
    finally:
        profile_file.close()
        peak_file.close()

    if not records:
        raise ValueError("an acquisition needs at least one scan")
    scan_bytes = msscan_bytes(records, acq.stride, acq.header_size, fill=acq.record_fill)
    # A payload that is a multiple of an earlier candidate stride could be read
    # with that stride when its bytes at the probed positions look like a
    # second record; never write such a file silently.
    inferred = infer_stride(scan_bytes)
    if inferred != acq.stride:
        raise ValueError(
            f"a reader would infer stride {inferred} instead of {acq.stride} for these {len(records)} "
            "records; change the scan count or the scan ids"
        )
    written: dict[str, int] = {}

    def put(name: str, data: bytes | str) -> None:
        raw = data.encode("utf-8") if isinstance(data, str) else data
        (acqdata / name).write_bytes(raw)
        written[name] = len(raw)

    if wanted("MSScan.bin"):
        put("MSScan.bin", scan_bytes)
    for f in (profile_file, peak_file):
        if f.fh is not None:
            written[f.path.name] = f.offset
    if acq.files is not None:  # requested data files without any block are written empty
        for f in (profile_file, peak_file):
            if f.path.name in acq.files and f.fh is None:
                put(f.path.name, b"")
    if (acq.files is None and any_cal) or (acq.files is not None and "MSMassCal.bin" in acq.files):
        put("MSMassCal.bin", masscal_bytes([]) + b"".join(masscal_parts))
    if acq.default_masscal_text is not None or acq.calibration_entries:
        if wanted("DefaultMassCal.xml"):
            put("DefaultMassCal.xml", acq.default_masscal_text or default_masscal_xml(acq.calibration_entries))
    if acq.devices_text is not None or acq.device is not None:
        if wanted("Devices.xml"):
            text = acq.devices_text
            if text is None:
                assert acq.device is not None
                text = devices_xml(acq.device.name, acq.device.model)
            put("Devices.xml", text)
    if acq.contents_text is not None or acq.acquired_time is not None:
        if wanted("Contents.xml"):
            put("Contents.xml", acq.contents_text if acq.contents_text is not None else contents_xml(acq.acquired_time))
    ordered = {n: written[n] for n in ACQ_FILES if n in written}
    result = WriteResult(
        folder=folder,
        stride=acq.stride,
        files=ordered,
        scans=len(records),
        ms2_scans=ms2,
        profile_points=profile_points,
        centroid_points=centroid_points,
        records=records,
        record_fill=acq.record_fill,
        seconds=time.perf_counter() - t_start,
    )
    return result
