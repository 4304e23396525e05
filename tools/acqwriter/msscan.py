"""MSScan.bin: the scan index.

The file is a header (magic 257 at 0, the payload offset at 88) followed by
fixed-size records. Five record layouts exist, known by their size (the
stride): 284, 220, 216 (time-of-flight) and 196, 186 (triple quadrupole).
The file does not name its stride; a reader infers it from the payload length
and a plausibility test on the second record (see ``infer_stride``).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Mapping, Sequence

__all__ = [
    "MAGIC",
    "MIN_HEADER_SIZE",
    "STRIDES",
    "TOF_STRIDES",
    "QQQ_STRIDES",
    "Descriptor",
    "Layout",
    "LAYOUTS",
    "ScanRecord",
    "record_bytes",
    "msscan_bytes",
    "infer_stride",
]

MAGIC = 257
MIN_HEADER_SIZE = 92
HEADER_SIZE_OFFSET = 88
# Candidate strides, in the order a reader tries them.
STRIDES = (284, 220, 216, 196, 186)
TOF_STRIDES = (284, 220, 216)
QQQ_STRIDES = (196, 186)
ID_WINDOW = 100000


@dataclass(frozen=True)
class Layout:
    """Where each field of a record of one stride lives: name -> (offset, struct code)."""

    stride: int
    fields: Mapping[str, tuple[int, str]]
    descriptor_positions: tuple[int, ...]
    compact_descriptor: bool

    def carries(self, name: str) -> bool:
        return name in self.fields


_COMMON = {"scan_id": (0, "I"), "retention_time_min": (12, "d"), "ms_level": (20, "H")}
_TOF = {
    "tic": (28, "d"),
    "base_peak_mz": (36, "d"),
    "base_peak_intensity": (44, "d"),
    "calibration_id": (52, "i"),
    "ion_polarity": (64, "i"),
    "collision_energy": (76, "d"),
    "target_mz": (84, "d"),
}

LAYOUTS: dict[int, Layout] = {
    284: Layout(284, {**_COMMON, **_TOF, "min_x": (244, "d"), "max_x": (252, "d")}, (156, 220), False),
    220: Layout(220, {**_COMMON, **_TOF}, (156,), False),
    216: Layout(216, {**_COMMON, **_TOF}, (152,), False),
    196: Layout(196, {**_COMMON, "mrm_channel_id": (4, "I"), "ion_polarity": (64, "i")}, (144,), False),
    186: Layout(186, {**_COMMON, "mrm_channel_id": (4, "I"), "ion_polarity": (62, "h")}, (136,), True),
}

# Fields that a reader takes only from records whose ms_level is 2 or more.
MSN_ONLY_FIELDS = ("collision_energy", "target_mz")


@dataclass(frozen=True)
class Descriptor:
    """One block descriptor of a scan record.

    Values are written as given, without any check beyond the field widths, so
    that deliberately odd descriptors (format id 7, point_count 4294967295,
    an offset past the end of the data file) can be built. uncompressed_byte_count
    None is written as 0; a reader looks at it only for format id 1.
    """

    format_id: int
    offset: int
    byte_count: int
    point_count: int
    uncompressed_byte_count: int | None = None

    def pack(self, compact: bool) -> bytes:
        ubc = self.uncompressed_byte_count or 0
        if compact:
            return struct.pack("<HQIII", self.format_id, self.offset, self.byte_count, self.point_count, ubc)
        return struct.pack("<IQIII", self.format_id, self.offset, self.byte_count, self.point_count, ubc)


@dataclass
class ScanRecord:
    """One scan record. Fields that the chosen layout lacks are not written.

    Optional fields left as None are not written either (their bytes keep the
    record's fill byte). target_mz and collision_energy are written whenever
    given, even for MS1 records (a reader must then ignore them).

    descriptors: one entry per descriptor position of the layout (two for
    stride 284: at 156 then 220; one for the others); None leaves a position
    unwritten. raw: extra bytes laid over the finished record, keyed by offset,
    for crafting anything the fields cannot express.
    """

    scan_id: int
    retention_time_min: float
    ms_level: int = 1
    tic: float | None = None
    base_peak_mz: float | None = None
    base_peak_intensity: float | None = None
    calibration_id: int | None = None
    ion_polarity: int = 0
    mrm_channel_id: int | None = None
    target_mz: float | None = None
    collision_energy: float | None = None
    min_x: float | None = None
    max_x: float | None = None
    descriptors: Sequence[Descriptor | None] = field(default_factory=list)
    raw: Mapping[int, bytes] = field(default_factory=dict)


def record_bytes(record: ScanRecord, stride: int, fill: int = 0) -> bytes:
    """The `stride` bytes of one record in that stride's layout."""
    layout = LAYOUTS.get(stride)
    if layout is None:
        raise ValueError(f"unknown stride {stride}; expected one of {STRIDES}")
    buf = bytearray([fill & 0xFF]) * stride
    for name, (off, code) in layout.fields.items():
        value = getattr(record, name)
        if value is None:
            continue
        try:
            struct.pack_into("<" + code, buf, off, value)
        except struct.error as exc:
            raise ValueError(f"{name}={value!r} does not fit the {stride}-byte layout ({code}): {exc}") from None
    descs = list(record.descriptors)
    if len(descs) > len(layout.descriptor_positions):
        raise ValueError(
            f"stride {stride} has {len(layout.descriptor_positions)} descriptor position(s), "
            f"got {len(descs)} descriptors"
        )
    for pos, desc in zip(layout.descriptor_positions, descs):
        if desc is None:
            continue
        try:
            packed = desc.pack(layout.compact_descriptor)
        except struct.error as exc:
            raise ValueError(f"descriptor {desc} does not fit the {stride}-byte layout: {exc}") from None
        buf[pos : pos + len(packed)] = packed
    for off, data in record.raw.items():
        if off < 0 or off + len(data) > stride:
            raise ValueError(f"raw bytes at {off} (+{len(data)}) fall outside the {stride}-byte record")
        buf[off : off + len(data)] = data
    return bytes(buf)


def msscan_bytes(
    records: Sequence[ScanRecord],
    stride: int,
    header_size: int = MIN_HEADER_SIZE,
    magic: int = MAGIC,
    *,
    header_size_field: int | None = None,
    header_fill: int = 0,
    fill: int = 0,
    trailing: bytes = b"",
) -> bytes:
    """A complete MSScan.bin image.

    header_size: length of the header, where the records begin (at least 92).
    header_size_field: the value written at offset 88, if it must differ from
    header_size (to build a broken file). header_fill: the byte of the header's
    uninterpreted parts; fill: the byte of the records' uninterpreted parts.
    trailing: bytes appended after the last record (e.g. to break the payload
    length).
    """
    if header_size < MIN_HEADER_SIZE:
        raise ValueError(
            f"header_size {header_size} < {MIN_HEADER_SIZE}: the header itself is 92 bytes; "
            "use header_size_field to write a smaller value at offset 88"
        )
    header = bytearray([header_fill & 0xFF]) * header_size
    struct.pack_into("<I", header, 0, magic & 0xFFFFFFFF)
    field_value = header_size if header_size_field is None else header_size_field
    struct.pack_into("<I", header, HEADER_SIZE_OFFSET, field_value & 0xFFFFFFFF)
    parts = [bytes(header)]
    parts.extend(record_bytes(r, stride, fill) for r in records)
    parts.append(bytes(trailing))
    return b"".join(parts)


def infer_stride(data: bytes) -> int | None:
    """The stride a reader infers for an MSScan.bin image, or None if none fits.

    The writer uses it to make sure the files it produces are read back with
    the stride they were written with: a payload that is a multiple of several
    strides could otherwise be taken for an earlier candidate.
    """
    if len(data) < MIN_HEADER_SIZE:
        return None
    (hsize,) = struct.unpack_from("<I", data, HEADER_SIZE_OFFSET)
    if hsize > len(data):
        return None
    payload = len(data) - hsize
    if payload < 4:
        return None
    (first,) = struct.unpack_from("<I", data, hsize)
    limit = min(first + ID_WINDOW, 0xFFFFFFFF)
    for s in STRIDES:
        if payload % s:
            continue
        if payload == s:
            return s
        (second,) = struct.unpack_from("<I", data, hsize + s)
        (level,) = struct.unpack_from("<H", data, hsize + s + 20)
        if first < second < limit and level in (1, 2):
            return s
    return None
