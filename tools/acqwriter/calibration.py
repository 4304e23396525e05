"""Mass calibration: the flight-time to m/z formula and MSMassCal.bin.

A calibration is ten numbers, A, T0, range_low, range_high, c1..c6, plus
a bit mask ValueUseFlags: bit k set means the correction polynomial has a
term of power k; the selected powers, ascending, take c1, c2, ... in order.

    x  = t clamped to [range_low, range_high]     (a NaN t stays NaN)
    s  = -0.0 + c1 * x**p1 + c2 * x**p2 + ...     (ascending powers)
    m  = A * (t - T0)                             (the unclamped t)
    mz = m * m - s

x**p is an integer power by square-and-multiply. ``mz_at`` follows this
operation by operation in IEEE double arithmetic, so it predicts every bit
of a correct reader's result (a reader built with fused multiply-add
contraction would differ in the last bits).

MSMassCal.bin: a 72-byte header (not interpreted), then one 84-byte record
per scan: a u32 count (at most 10) and ten f64 slots, of which the first
`count` are the scan's coefficient vector.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from typing import Any, Sequence

__all__ = [
    "powers_from_flags",
    "terms_from_flags",
    "int_power",
    "mz_at",
    "mz_at_array",
    "Calibration",
    "MassCalRecord",
    "masscal_bytes",
    "MASSCAL_HEADER_SIZE",
    "MASSCAL_RECORD_SIZE",
]

MASSCAL_HEADER_SIZE = 72
MASSCAL_RECORD_SIZE = 84
MASSCAL_SLOTS = 10


def powers_from_flags(flags: int) -> list[int]:
    """Bit positions 0..31 set in flags, ascending."""
    return [k for k in range(32) if (flags >> k) & 1]


def terms_from_flags(flags: int, coefficients: Sequence[float]) -> list[tuple[int, float]]:
    """Pair the powers selected by flags with c1..c6, refusing what a reader refuses.

    Raises ValueError when more than 6 powers are selected or a coefficient
    without a power is non-zero.
    """
    coeffs = list(coefficients)
    if len(coeffs) != 6:
        raise ValueError(f"expected 6 polynomial coefficients, got {len(coeffs)}")
    powers = powers_from_flags(flags)
    if len(powers) > 6:
        raise ValueError(f"ValueUseFlags {flags} selects {len(powers)} powers; at most 6 coefficients exist")
    for c in coeffs[len(powers):]:
        if c != 0:
            raise ValueError(f"coefficient {c!r} has no power in ValueUseFlags {flags}")
    return [(p, coeffs[i]) for i, p in enumerate(powers)]


def int_power(x: float, p: int) -> float:
    """x**p for an integer p >= 0 by square-and-multiply (x**0 is 1, even for NaN)."""
    r = 1.0
    e = p
    while e != 0:
        if e & 1:
            r = r * x
        e >>= 1
        if e != 0:
            x = x * x
    return r


def mz_at(t: float, a: float, t0: float, range_low: float, range_high: float,
          terms: Sequence[tuple[int, float]]) -> float:
    """The m/z of flight time t, evaluated exactly as a reader evaluates it."""
    if t < range_low:
        x = range_low
    elif t > range_high:
        x = range_high
    else:
        x = t
    s = -0.0
    for p, c in terms:
        s = s + c * int_power(x, p)
    m = a * (t - t0)
    return m * m - s


def mz_at_array(t: Any, a: float, t0: float, range_low: float, range_high: float,
                terms: Sequence[tuple[int, float]]) -> Any:
    """Vectorised mz_at over a numpy array of flight times, bit-identical to mz_at."""
    import numpy as np

    t = np.asarray(t, dtype=np.float64)
    x = np.where(t < range_low, range_low, np.where(t > range_high, range_high, t))
    s = np.full(t.shape, -0.0)
    for p, c in terms:
        s = s + c * int_power(x, p)  # elementwise on arrays, the same operations
    m = a * (t - t0)
    return m * m - s


@dataclass(frozen=True)
class Calibration:
    """One complete calibration: A, T0, the polynomial range and c1..c6, and its flags."""

    a: float
    t0: float
    range_low: float
    range_high: float
    coefficients: tuple[float, ...] = (0.0,) * 6
    value_use_flags: int = 0

    def __post_init__(self) -> None:
        if len(self.coefficients) != 6:
            raise ValueError(f"expected 6 polynomial coefficients, got {len(self.coefficients)}")
        object.__setattr__(self, "coefficients", tuple(float(c) for c in self.coefficients))

    @property
    def terms(self) -> list[tuple[int, float]]:
        return terms_from_flags(self.value_use_flags, self.coefficients)

    def vector(self) -> list[float]:
        """The ten-value coefficient vector: A, T0, range_low, range_high, c1..c6."""
        return [self.a, self.t0, self.range_low, self.range_high, *self.coefficients]

    @property
    def traditional_values(self) -> list[float]:
        return [self.a, self.t0]

    @property
    def polynomial_values(self) -> list[float]:
        return [self.range_low, self.range_high, *self.coefficients]

    def mz_at(self, t: float) -> float:
        return mz_at(t, self.a, self.t0, self.range_low, self.range_high, self.terms)

    def mz_array(self, t: Any) -> Any:
        return mz_at_array(t, self.a, self.t0, self.range_low, self.range_high, self.terms)

    def flight_time(self, mz: float) -> float:
        """An approximate inverse of mz_at (on the t > T0 branch), for placing peaks."""
        t = self.t0 + math.sqrt(max(mz, 0.0)) / abs(self.a)
        for _ in range(3):
            x = min(max(t, self.range_low), self.range_high)
            s = sum(c * int_power(x, p) for p, c in self.terms)
            t = self.t0 + math.sqrt(max(mz + s, 0.0)) / abs(self.a)
        return t


@dataclass(frozen=True)
class MassCalRecord:
    """One MSMassCal.bin record: count, then ten slots.

    coefficients (at most 10) fill the slots from slot 1, the rest are 0.0
    (or `filler`). count defaults to len(coefficients) but may be any u32, to
    build records that claim more values than they hold.
    """

    coefficients: Sequence[float] = field(default_factory=list)
    count: int | None = None
    filler: float = 0.0

    def pack(self) -> bytes:
        vals = [float(c) for c in self.coefficients]
        if len(vals) > MASSCAL_SLOTS:
            raise ValueError(f"a record has 10 slots, got {len(vals)} coefficients")
        count = len(vals) if self.count is None else self.count
        vals += [self.filler] * (MASSCAL_SLOTS - len(vals))
        return struct.pack("<I10d", count & 0xFFFFFFFF, *vals)


def masscal_bytes(records: Sequence[MassCalRecord | Calibration | Sequence[float] | None],
                  *, header: bytes | None = None, trailing: bytes = b"") -> bytes:
    """A complete MSMassCal.bin image, one record per scan in scan order.

    Each record is a MassCalRecord, a Calibration (its ten-value vector), a
    plain list of values, or None (a record with count 0).
    """
    if header is None:
        header = bytes(MASSCAL_HEADER_SIZE)
    if len(header) != MASSCAL_HEADER_SIZE:
        raise ValueError(f"the header is {MASSCAL_HEADER_SIZE} bytes, got {len(header)}")
    parts = [bytes(header)]
    for r in records:
        parts.append(masscal_record_bytes(r))
    parts.append(bytes(trailing))
    return b"".join(parts)


def masscal_record_bytes(r: MassCalRecord | Calibration | Sequence[float] | None) -> bytes:
    if r is None:
        return MassCalRecord([]).pack()
    if isinstance(r, MassCalRecord):
        return r.pack()
    if isinstance(r, Calibration):
        return MassCalRecord(r.vector()).pack()
    return MassCalRecord(list(r)).pack()
