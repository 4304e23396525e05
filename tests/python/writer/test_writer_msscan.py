"""MSScan.bin builder: record layouts at their documented offsets, header, stride inference."""

from __future__ import annotations

import struct

import pytest

from acqwriter import Descriptor, ScanRecord, infer_stride, msscan_bytes, record_bytes

FILL = 0xAB

# The documented layouts, restated here independently of the writer's own table:
# field -> (offset, struct code), per stride; descriptors -> (positions, compact).
DOC = {
    284: ({"tic": (28, "d"), "base_peak_mz": (36, "d"), "base_peak_intensity": (44, "d"),
           "calibration_id": (52, "i"), "ion_polarity": (64, "i"), "collision_energy": (76, "d"),
           "target_mz": (84, "d"), "min_x": (244, "d"), "max_x": (252, "d")}, (156, 220), False),
    220: ({"tic": (28, "d"), "base_peak_mz": (36, "d"), "base_peak_intensity": (44, "d"),
           "calibration_id": (52, "i"), "ion_polarity": (64, "i"), "collision_energy": (76, "d"),
           "target_mz": (84, "d")}, (156,), False),
    216: ({"tic": (28, "d"), "base_peak_mz": (36, "d"), "base_peak_intensity": (44, "d"),
           "calibration_id": (52, "i"), "ion_polarity": (64, "i"), "collision_energy": (76, "d"),
           "target_mz": (84, "d")}, (152,), False),
    196: ({"mrm_channel_id": (4, "I"), "ion_polarity": (64, "i")}, (144,), False),
    186: ({"mrm_channel_id": (4, "I"), "ion_polarity": (62, "h")}, (136,), True),
}


def full_record(n_desc: int) -> ScanRecord:
    descs = [Descriptor(1, 0x0102030405060708, 1000, 250, 1016), Descriptor(2, 77, 36, 3)][:n_desc]
    return ScanRecord(
        scan_id=4000000001, retention_time_min=12.25, ms_level=2, tic=1.5e7, base_peak_mz=524.2647,
        base_peak_intensity=88123.5, calibration_id=-3, ion_polarity=-2, mrm_channel_id=4000000002,
        target_mz=622.0290, collision_energy=35.5, min_x=100.0, max_x=1700.0, descriptors=descs,
    )


@pytest.mark.parametrize("stride", sorted(DOC))
def test_record_fields_land_at_documented_offsets_and_nowhere_else(stride):
    fields, positions, compact = DOC[stride]
    rec = full_record(len(positions))
    b = record_bytes(rec, stride, fill=FILL)
    assert len(b) == stride
    written = set()

    def take(off, code):
        size = struct.calcsize("<" + code)
        written.update(range(off, off + size))
        return struct.unpack_from("<" + code, b, off)[0]

    assert take(0, "I") == rec.scan_id
    assert take(12, "d") == rec.retention_time_min
    assert take(20, "H") == rec.ms_level
    for name, (off, code) in fields.items():
        assert take(off, code) == getattr(rec, name), name
    for pos, desc in zip(positions, rec.descriptors):
        if compact:
            got = (take(pos, "H"), take(pos + 2, "Q"), take(pos + 10, "I"), take(pos + 14, "I"), take(pos + 18, "I"))
        else:
            got = (take(pos, "I"), take(pos + 4, "Q"), take(pos + 12, "I"), take(pos + 16, "I"), take(pos + 20, "I"))
        want = (desc.format_id, desc.offset, desc.byte_count, desc.point_count, desc.uncompressed_byte_count or 0)
        assert got == want
    # Fields the layout lacks were not written anywhere: every other byte is fill.
    stray = [i for i in range(stride) if i not in written and b[i] != FILL]
    assert stray == []


def test_unset_optional_fields_and_empty_descriptor_slots_keep_the_fill():
    rec = ScanRecord(scan_id=5, retention_time_min=1.0, descriptors=[None, Descriptor(3, 0, 12, 1)])
    b = record_bytes(rec, 284, fill=FILL)
    assert b[28:36] == bytes([FILL]) * 8  # tic not given
    assert b[156:180] == bytes([FILL]) * 24  # first slot left empty
    assert struct.unpack_from("<I", b, 220)[0] == 3


def test_polarity_minus_one_in_compact_layout_is_ff_ff():
    b = record_bytes(ScanRecord(1, 0.0, ion_polarity=-1), 186)
    assert b[62:64] == b"\xff\xff"


def test_raw_overlay_and_odd_descriptor_values_are_written_verbatim():
    rec = ScanRecord(1, 0.0, descriptors=[Descriptor(7, 2**64 - 1, 0, 4294967295, 4294967295)], raw={22: b"\x01\x02"})
    b = record_bytes(rec, 196)
    assert struct.unpack_from("<IQIII", b, 144) == (7, 2**64 - 1, 0, 4294967295, 4294967295)
    assert b[22:24] == b"\x01\x02"


@pytest.mark.parametrize(
    "rec, stride",
    [
        (ScanRecord(1, 0.0, descriptors=[Descriptor(1, 0, 0, 0)] * 2), 220),  # one slot only
        (ScanRecord(1, 0.0, descriptors=[Descriptor(70000, 0, 0, 0)]), 186),  # u16 format id
        (ScanRecord(2**32, 0.0), 284),
        (ScanRecord(1, 0.0, ion_polarity=40000), 186),
        (ScanRecord(1, 0.0, raw={280: b"12345"}), 284),
        (ScanRecord(1, 0.0), 200),
    ],
)
def test_values_that_cannot_be_laid_out_are_refused(rec, stride):
    with pytest.raises(ValueError):
        record_bytes(rec, stride)


def test_header_magic_size_field_and_payload():
    recs = [ScanRecord(10 + i, 0.1 * i) for i in range(3)]
    data = msscan_bytes(recs, 216, header_size=300, header_fill=0x11)
    assert len(data) == 300 + 3 * 216
    assert struct.unpack_from("<I", data, 0)[0] == 257
    assert struct.unpack_from("<I", data, 88)[0] == 300
    assert data[4:88] == b"\x11" * 84 and data[92:300] == b"\x11" * 208
    assert data[300:] == b"".join(record_bytes(r, 216) for r in recs)

    broken = msscan_bytes(recs, 216, magic=258, header_size_field=10**6, trailing=b"xy")
    assert struct.unpack_from("<II", broken, 0)[0] == 258
    assert struct.unpack_from("<I", broken, 88)[0] == 10**6
    assert broken.endswith(b"xy")
    with pytest.raises(ValueError):
        msscan_bytes(recs, 216, header_size=91)


class TestInferStride:
    def test_single_record_of_each_stride_is_taken_whatever_its_content(self):
        for s in (284, 220, 216, 196, 186):
            data = msscan_bytes([ScanRecord(0, float("nan"), ms_level=9)], s)
            assert infer_stride(data) == s

    def test_payload_divisible_by_220_and_216_picks_the_first_plausible(self):
        # 11880 = 54 * 220 = 55 * 216
        recs216 = [ScanRecord(100 + i, i / 10, ms_level=1) for i in range(55)]
        assert infer_stride(msscan_bytes(recs216, 216)) == 216
        recs220 = [ScanRecord(100 + i, i / 10, ms_level=2) for i in range(54)]
        assert infer_stride(msscan_bytes(recs220, 220)) == 220

    @pytest.mark.parametrize("second_id, level, ok", [(6, 1, True), (5, 1, False), (5 + 100000, 2, False),
                                                      (5 + 99999, 2, True), (7, 0, False), (7, 3, False)])
    def test_plausibility_of_second_record(self, second_id, level, ok):
        data = msscan_bytes([ScanRecord(5, 0.0), ScanRecord(second_id, 0.1, ms_level=level)], 186)
        assert infer_stride(data) == (186 if ok else None)

    def test_id_limit_saturates(self):
        first = 2**32 - 50
        good = msscan_bytes([ScanRecord(first, 0.0), ScanRecord(2**32 - 2, 0.1)], 284)
        bad = msscan_bytes([ScanRecord(first, 0.0), ScanRecord(2**32 - 1, 0.1)], 284)
        assert infer_stride(good) == 284 and infer_stride(bad) is None

    def test_empty_payload_and_short_file(self):
        assert infer_stride(msscan_bytes([], 284)) is None
        assert infer_stride(b"\x01\x01\x00\x00" + bytes(80)) is None
