"""DefaultMassCal.xml, Devices.xml and Contents.xml.

Readers match elements by local name and ignore namespaces, trim element
text but not attribute values, and skip leading byte-order marks of
DefaultMassCal.xml. The builders here can exercise all of that: a default
namespace or a prefix, several BOMs, padded element text.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Sequence
from xml.sax.saxutils import escape, quoteattr

from .calibration import Calibration

__all__ = ["DefaultCalEntry", "Step", "default_masscal_xml", "devices_xml", "contents_xml", "format_value"]

BOM = "\ufeff"


def format_value(v: float) -> str:
    """Shortest text that reads back to the same double ("1e-05", "inf", "nan")."""
    return repr(float(v))


@dataclass(frozen=True)
class Step:
    """One <Step>. values are floats (numbered 1..n) or (number, text) pairs written verbatim.

    number_of_coefficients defaults to the number of values; give it to build
    steps whose declared count differs from what they hold.
    """

    formula: str
    values: Sequence[float | tuple[int | str, str]]
    value_use_flags: int | str = 0
    number_of_coefficients: int | str | None = None


@dataclass(frozen=True)
class DefaultCalEntry:
    """One <DefaultCalibration>: its id and calibration, or explicit steps.

    id_text replaces the attribute text (e.g. "+7" or " 7"); steps, when
    given, replace the Traditional and Polynomial steps built from the
    calibration.
    """

    id: int
    calibration: Calibration | None = None
    traditional_flags: int = 0
    id_text: str | None = None
    steps: Sequence[Step] | None = None

    def build_steps(self) -> list[Step]:
        if self.steps is not None:
            return list(self.steps)
        if self.calibration is None:
            raise ValueError(f"calibration entry {self.id} has neither a calibration nor steps")
        cal = self.calibration
        return [
            Step("Traditional", cal.traditional_values, self.traditional_flags),
            Step("Polynomial", cal.polynomial_values, cal.value_use_flags),
        ]


class _Writer:
    def __init__(self, namespace: str | None, prefix: str | None, indent: str, pad_text: bool):
        self.ns = namespace
        self.prefix = prefix
        self.indent = indent
        self.pad = pad_text
        self.lines: list[str] = []

    def name(self, local: str) -> str:
        return f"{self.prefix}:{local}" if self.prefix else local

    def ns_attr(self) -> str:
        if self.ns is None:
            return ""
        if self.prefix:
            return f" xmlns:{self.prefix}={quoteattr(self.ns)}"
        return f" xmlns={quoteattr(self.ns)}"

    def open(self, depth: int, local: str, attrs: str = "") -> None:
        self.lines.append(f"{self.indent * depth}<{self.name(local)}{attrs}>")

    def close(self, depth: int, local: str) -> None:
        self.lines.append(f"{self.indent * depth}</{self.name(local)}>")

    def leaf(self, depth: int, local: str, text: str, attrs: str = "") -> None:
        body = escape(text)
        if self.pad:
            body = f"\n{self.indent * (depth + 1)}  {body} \t\n{self.indent * depth}"
        self.lines.append(f"{self.indent * depth}<{self.name(local)}{attrs}>{body}</{self.name(local)}>")

    def text(self, bom: int, declaration: bool) -> str:
        head = [BOM * bom + '<?xml version="1.0" encoding="utf-8"?>'] if declaration else []
        body = "\n".join(head + self.lines) + "\n"
        if not declaration:
            body = BOM * bom + body
        return body


def default_masscal_xml(
    entries: Sequence[DefaultCalEntry],
    *,
    namespace: str | None = None,
    prefix: str | None = None,
    bom: int = 0,
    pad_text: bool = False,
    indent: str = "  ",
    xml_declaration: bool = True,
    value_format: Callable[[float], str] = format_value,
    reverse_values: bool = False,
) -> str:
    """DefaultMassCal.xml text with one <DefaultCalibration> per entry.

    bom: number of U+FEFF characters put first. pad_text: surround element
    text with spaces and line breaks. reverse_values: write the <Value>
    elements of each step in descending Number order.
    """
    w = _Writer(namespace, prefix, indent, pad_text)
    w.open(0, "CalibrationFile", w.ns_attr())
    w.leaf(1, "Version", "1")
    w.open(1, "DefaultCalibrations")
    for e in entries:
        id_text = str(e.id) if e.id_text is None else e.id_text
        w.open(2, "DefaultCalibration", f" DefaultCalibrationID={quoteattr(id_text)}")
        for step in e.build_steps():
            w.open(3, "Step")
            w.leaf(4, "CalibrationFormula", step.formula)
            w.leaf(4, "ValueUseFlags", str(step.value_use_flags))
            n = len(step.values) if step.number_of_coefficients is None else step.number_of_coefficients
            w.leaf(4, "NumberOfCoefficients", str(n))
            w.open(4, "Values")
            items: list[tuple[str, str]] = []
            for i, v in enumerate(step.values, start=1):
                if isinstance(v, tuple):
                    items.append((str(v[0]), v[1]))
                else:
                    items.append((str(i), value_format(v)))
            if reverse_values:
                items.reverse()
            for number, text in items:
                w.leaf(5, "Value", text, f" Number={quoteattr(number)}")
            w.close(4, "Values")
            w.close(3, "Step")
        w.close(2, "DefaultCalibration")
    w.close(1, "DefaultCalibrations")
    w.close(0, "CalibrationFile")
    return w.text(bom, xml_declaration)


@dataclass(frozen=True)
class _Device:
    name: str | None
    model: str | None
    device_id: int = 1
    serial: str = "SG00000000"
    kind: str = "Mass Spectrometer"


def devices_xml(
    name: str | None = "QTOF",
    model: str | None = "G6530A",
    *,
    serial: str = "SG12345678",
    device_type: str = "Mass Spectrometer",
    extra_devices: Sequence[tuple[str | None, str | None]] = (),
    namespace: str | None = None,
    prefix: str | None = None,
    bom: int = 0,
    pad_text: bool = False,
    indent: str = "  ",
) -> str:
    """Devices.xml text: a <Device> with <Name> and <ModelNumber> (None omits the element).

    extra_devices: (name, model) pairs of further <Device> elements after the first.
    """
    w = _Writer(namespace, prefix, indent, pad_text)
    w.open(0, "Devices", w.ns_attr())
    w.leaf(1, "Version", "1")
    devices = [_Device(name, model, 1, serial, device_type)]
    devices += [_Device(n, m, i + 2) for i, (n, m) in enumerate(extra_devices)]
    for d in devices:
        w.open(1, "Device", f" DeviceID={quoteattr(str(d.device_id))}")
        if d.name is not None:
            w.leaf(2, "Name", d.name)
        if d.model is not None:
            w.leaf(2, "ModelNumber", d.model)
        w.leaf(2, "SerialNumber", d.serial)
        w.leaf(2, "Type", d.kind)
        w.close(1, "Device")
    w.close(0, "Devices")
    return w.text(bom, True)


def contents_xml(
    acquired_time: str | None,
    *,
    instrument_name: str = "Instrument 1",
    namespace: str | None = None,
    prefix: str | None = None,
    bom: int = 0,
    pad_text: bool = False,
    indent: str = "  ",
) -> str:
    """Contents.xml text with <AcquiredTime> as a direct child of the root (None omits it)."""
    w = _Writer(namespace, prefix, indent, pad_text)
    w.open(0, "Contents", w.ns_attr())
    w.leaf(1, "Version", "1")
    if acquired_time is not None:
        w.leaf(1, "AcquiredTime", acquired_time)
    w.leaf(1, "AcqStatus", "128")
    w.leaf(1, "InstrumentName", instrument_name)
    w.close(0, "Contents")
    return w.text(bom, True)
