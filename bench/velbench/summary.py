"""What each benchmark module hands the report: its rows of the summary table
and its section of BENCHMARKS.md.

The convention: a module of the velbench package that defines

    ORDER = 50                      # where its section goes (ascending)
    def report(results: Results) -> Part | None: ...

takes part in the report; `report` returns None when the run has no result
of that module. The report finds such modules by itself, so a new benchmark
module adds its rows and its section without any change to report.py.

A piece of a section that another page quotes (the sizes table of README's
"Convert to mzML", say) is marked with quote(NAME, text); README.md holds
it between the markers of report.QUOTE_BEGIN and QUOTE_END with that NAME,
and bench/run.sh rewrites it there from BENCHMARKS.md, as it does the
summary.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .common import read_json

MiB = 1024 * 1024
GiB = 1024 * MiB

NOT_TIMED = "—"  # a CPU or wall cell of a row that measures no time


@dataclass(frozen=True)
class Row:
    """One line of the summary: the figure in wall-clock time and in CPU time
    (user + system, summed over threads), the threads of each side, the goal
    and the verdict (see verdict())."""

    benchmark: str
    wall: str
    cpu: str
    threads: str
    goal: str
    result: str

    def cells(self) -> list[str]:
        return [self.benchmark, self.wall, self.cpu, self.threads, self.goal, self.result]


SUMMARY_HEADER = ["Benchmark", "Wall clock (or memory)", "CPU time", "Threads", "Goal", "Result"]


@dataclass
class Part:
    """A module's share of the report."""

    title: str
    text: str
    rows: list[Row] = field(default_factory=list)
    misses: list[tuple[str, str]] = field(default_factory=list)  # (what, why), for "Goals missed"

    def add(self, row: Row, what: str, why: str) -> Row:
        """Adds a summary row and, when it reads missed, why (under the name `what`)."""
        self.rows.append(row)
        if "missed" in row.result:
            self.misses.append((what, why))
        return row


class Results:
    """The result files of one run (results/*.json)."""

    def __init__(self, folder: Path) -> None:
        self.folder = Path(folder)

    def one(self, name: str) -> Any:
        """The content of NAME.json, or None."""
        path = self.folder / f"{name}.json"
        return read_json(path) if path.is_file() else None

    def each(self, prefix: str) -> list[Any]:
        """The content of every PREFIX-*.json (one per interpreter), the newest Python first."""
        return [read_json(p) for p in sorted(self.folder.glob(f"{prefix}-*.json"), reverse=True)]


def quote(name: str, text: str) -> str:
    """`text`, marked in the report as the quote NAME (one word of letters,
    digits and hyphens) for the pages that hold it."""
    if not re.fullmatch(r"[a-z0-9][a-z0-9-]*", name):
        raise ValueError(f"a quote's name is one word of lowercase letters, digits and hyphens, not {name!r}")
    return f"<!-- quote {name} -->\n\n{text.strip()}\n\n<!-- end of quote {name} -->"


# --- Formatting --------------------------------------------------------------


def rate(bps: float | None) -> str:
    """Bytes per second in GB/s (decimal) or MB/s."""
    if bps is None or not math.isfinite(bps):
        return "n/a"
    return f"{bps / 1e9:.2f} GB/s" if bps >= 1e9 else f"{bps / 1e6:.0f} MB/s"


def mib(n: float) -> str:
    return f"{n / GiB:.2f} GiB" if abs(n) >= GiB else f"{n / MiB:.1f} MiB"


def secs(t: float) -> str:
    return f"{t * 1000:.0f} ms" if t < 1 else f"{t:.2f} s"


def times(x: float | None) -> str:
    return "n/a" if x is None or not math.isfinite(x) else f"{x:.2f}×"


def table(header: list[str], rows: list[list[str]], align: str | None = None) -> str:
    align = align or "l" + "r" * (len(header) - 1)
    rule = ["---:" if a == "r" else "---" for a in align]
    lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(rule) + " |"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def verdict(value: float | None, goal: float, higher_is_better: bool) -> str:
    """'met', or 'missed by N %' measured against the goal."""
    if value is None or not math.isfinite(value):
        return "not measured"
    ok = value >= goal if higher_is_better else value <= goal
    if ok:
        return "**met**"
    short = (goal - value) / goal if higher_is_better else (value - goal) / goal
    return f"**missed** by {short * 100:.0f} %"


def ratio_row(benchmark: str, wall: float | None, cpu: float | None, threads: str, goal: float | None,
              higher_is_better: bool, basis: str, suffix: str = "×") -> Row:
    """A row of one ratio measured both ways. The verdict is on `basis`
    ("wall" or "CPU"), which the goal cell names; goal None: reported only."""
    def fmt(x: float | None) -> str:
        return "n/a" if x is None or not math.isfinite(x) else f"{x:.2f}{suffix}"

    if goal is None:
        return Row(benchmark, fmt(wall), fmt(cpu), threads, "reported", "—")
    sign = "≥" if higher_is_better else "≤"
    value = wall if basis == "wall" else cpu
    return Row(benchmark, fmt(wall), fmt(cpu), threads, f"{sign} {goal:g} ({basis})",
               verdict(value, goal, higher_is_better))
