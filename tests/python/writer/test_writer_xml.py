"""DefaultMassCal.xml, Devices.xml and Contents.xml builders, read back with a generic XML parser."""

from __future__ import annotations

import struct
import xml.etree.ElementTree as ET

import pytest

from acqwriter import Calibration, DefaultCalEntry, Step, contents_xml, default_masscal_xml, devices_xml

CAL1 = Calibration(3.50651e-4, 1.340152, 21527.244, 154842.604, (-2.9e-4, 1.75e-9, 2.09e-13, 0.0, 0.0, 0.0), 7)
CAL2 = Calibration(4.9e-4, 0.0, 1e-5, 1e16, (1e-300, 0.0, 0.0, 0.0, 0.0, 0.0), 2**31)


def local(el):
    return el.tag.rsplit("}", 1)[-1]


def children(el, name):
    return [c for c in el if local(c) == name]


def parse(text):
    n = len(text) - len(text.lstrip("\ufeff"))
    return n, ET.fromstring(text.lstrip("\ufeff").encode("utf-8"))


def read_entries(root):
    """{id text: [(formula, flags, count, {number: value text})]}"""
    out = {}
    for el in root.iter():
        if local(el) != "DefaultCalibration":
            continue
        steps = []
        for st in children(el, "Step"):
            f = children(st, "CalibrationFormula")[0].text.strip()
            flags = children(st, "ValueUseFlags")[0].text.strip()
            count = children(st, "NumberOfCoefficients")[0].text.strip()
            vals = {v.get("Number"): v.text.strip() for v in children(children(st, "Values")[0], "Value")}
            steps.append((f, flags, count, vals))
        out[el.get("DefaultCalibrationID")] = steps
    return out


def bits(x):
    return struct.pack("<d", x)


class TestDefaultMassCal:
    def test_entries_round_trip_every_value_bit_for_bit(self):
        _, root = parse(default_masscal_xml([DefaultCalEntry(1, CAL1), DefaultCalEntry(-7, CAL2, traditional_flags=3)]))
        entries = read_entries(root)
        assert list(entries) == ["1", "-7"]
        for key, cal, tflags in (("1", CAL1, "0"), ("-7", CAL2, "3")):
            (f1, fl1, n1, v1), (f2, fl2, n2, v2) = entries[key]
            assert (f1, fl1, n1) == ("Traditional", tflags, "2")
            assert (f2, fl2, n2) == ("Polynomial", str(cal.value_use_flags), "8")
            assert [bits(float(v1[str(i)])) for i in (1, 2)] == [bits(cal.a), bits(cal.t0)]
            assert [bits(float(v2[str(i)])) for i in range(1, 9)] == [bits(x) for x in cal.polynomial_values]

    def test_boms_namespace_prefix_padding_and_value_order(self):
        text = default_masscal_xml([DefaultCalEntry(3, CAL1)], namespace="urn:x-cal", prefix="c", bom=2,
                                   pad_text=True, reverse_values=True)
        n, root = parse(text)
        assert n == 2
        assert root.tag == "{urn:x-cal}CalibrationFile"
        assert all(el.tag.startswith("{urn:x-cal}") for el in root.iter())
        step = read_entries(root)["3"][1]
        assert step[2] == "8" and step[3]["1"] == repr(CAL1.range_low)
        values = [v for v in root.iter() if local(v) == "Value"]
        assert [v.get("Number") for v in values[:2]] == ["2", "1"]
        assert values[0].text != values[0].text.strip()  # padded, to be trimmed by readers
        _, root = parse(default_masscal_xml([DefaultCalEntry(3, CAL1)], namespace="urn:y"))
        assert root.tag == "{urn:y}CalibrationFile"

    def test_custom_id_text_and_hand_made_steps(self):
        steps = [Step("Traditional", [1.0, (2, "1,5"), (2, "nan")], value_use_flags="+1", number_of_coefficients=2),
                 Step("traditional", [])]
        _, root = parse(default_masscal_xml([DefaultCalEntry(7, id_text=" 7", steps=steps)]))
        (e,) = [el for el in root.iter() if local(el) == "DefaultCalibration"]
        assert e.get("DefaultCalibrationID") == " 7"
        s1, s2 = read_entries(root)[" 7"]
        assert s1 == ("Traditional", "+1", "2", {"1": "1.0", "2": "nan"})
        assert [v.text for v in root.iter() if local(v) == "Value"] == ["1.0", "1,5", "nan"]
        assert s2[0] == "traditional" and s2[2] == "0"

    def test_entry_without_calibration_or_steps_is_refused(self):
        with pytest.raises(ValueError):
            default_masscal_xml([DefaultCalEntry(1)])


class TestSideFiles:
    def test_devices_first_device_name_and_model(self):
        text = devices_xml("QTOF", "G6530A", extra_devices=[("Other", "X1")], bom=1, pad_text=True)
        _, root = parse(text)
        devs = [d for d in root.iter() if local(d) == "Device"]
        assert len(devs) == 2
        assert children(devs[0], "Name")[0].text.strip() == "QTOF"
        assert children(devs[0], "ModelNumber")[0].text.strip() == "G6530A"
        assert children(devs[1], "ModelNumber")[0].text.strip() == "X1"

    def test_devices_missing_elements_and_escaping(self):
        _, root = parse(devices_xml("A<&>B", None, namespace="urn:d"))
        dev = [d for d in root.iter() if local(d) == "Device"][0]
        assert children(dev, "Name")[0].text == "A<&>B"
        assert children(dev, "ModelNumber") == []

    def test_contents_acquired_time_is_a_direct_child_of_the_root(self):
        ts = "2024-05-17T10:42:07.1234567+02:00"
        _, root = parse(contents_xml(ts, prefix="p", namespace="urn:c"))
        assert [c.text for c in children(root, "AcquiredTime")] == [ts]
        _, root = parse(contents_xml(None))
        assert children(root, "AcquiredTime") == []
