"""BENCHMARKS.md from the result files of one run of bench/run.sh, and the
README's benchmark summary from BENCHMARKS.md.

The summary rows and the sections come from the benchmark modules
themselves (see summary.py): every module of this package that defines
`report(results)` and `ORDER` takes part, so a new module needs no change
here. The README's blocks (the summary, and the quotes that modules mark with
summary.quote) are a pure function of BENCHMARKS.md, so the two cannot
disagree.
"""

from __future__ import annotations

import importlib
import pkgutil
import re
from pathlib import Path

from .summary import SUMMARY_HEADER, Part, Results, mib, table

README_BEGIN = "<!-- benchmark summary: written by bench/run.sh from BENCHMARKS.md; do not edit by hand -->"
README_END = "<!-- end of the benchmark summary -->"


# --- The modules' parts ------------------------------------------------------


def reporting_modules() -> list:
    """Every module of the package with report() and ORDER, in ascending ORDER."""
    package = importlib.import_module(__package__)
    modules = []
    for info in pkgutil.iter_modules(package.__path__):
        module = importlib.import_module(f"{__package__}.{info.name}")  # an import error is the run's failure
        if callable(getattr(module, "report", None)) and hasattr(module, "ORDER"):
            modules.append(module)
    return sorted(modules, key=lambda m: (m.ORDER, m.__name__))


def collect(results: Results) -> list[Part]:
    parts = []
    for module in reporting_modules():
        part = module.report(results)
        if part is not None:
            parts.append(part)
    return parts


# --- Sections of the run itself ------------------------------------------------


def machine_section(m: dict, steps: list[tuple[str, float]]) -> str:
    pythons = "; ".join(v for v in m["pythons"].values())
    pk = m["debian_packages"]
    rows = [
        ["CPU", m["cpu"]],
        ["Cores", f"{m['cores']} ({m['cores_usable']} usable by this process)"],
        ["Memory", mib(m["memory_bytes"]) if m["memory_bytes"] else "unknown"],
        ["OS", f"{m['os']}, Linux {m['kernel']} ({m['machine']}), glibc {m['glibc']}"],
        ["Compiler", f"{m['compiler']}; {m['cmake']}; C++ benchmark built with CMAKE_BUILD_TYPE=Release"],
        ["Python", pythons],
        ["Libraries", f"liblzf {pk['liblzf1']}, Google Benchmark {pk['libbenchmark-dev']}, pugixml {pk['libpugixml-dev']}"],
        ["Transparent huge pages", m["transparent_hugepages"]],
        ["Load average (1, 5, 15 min)", "at the start " + ", ".join(f"{x:.2f}" for x in m["load_average"])
         + ("; at the end " + ", ".join(f"{x:.2f}" for x in m["load_average_end"]) if "load_average_end" in m else "")],
    ]
    text = table(["", ""], rows, "ll")
    if steps:
        total = sum(s for _, s in steps)
        text += "\n\nSteps of this run (wall clock): " + ", ".join(f"{n} {s:.0f} s" for n, s in steps)
        text += f"; {total / 60:.1f} min in all."
    return text


def datasets_section(d: dict) -> str:
    rows = []
    for name, info in d.items():
        s = info["writer_summary"]
        what = s.split(": ", 1)[1].split(";", 1)[0] if ": " in s else ""
        rows.append([f"`{name}`", what, mib(info["bytes_on_disk"]), info["purpose"],
                     "`" + " ".join(info["writer_args"]) + "`"])
    return table(["Acquisition", "Content (decoded = 12 bytes per point)", "On disk", "Used for",
                  "tools/write_acquisition.py arguments"], rows, "lllll")


def read_steps(folder: Path) -> list[tuple[str, float]]:
    steps = []
    if (folder / "steps.tsv").is_file():
        for line in (folder / "steps.tsv").read_text().splitlines():
            name, _, seconds = line.partition("\t")
            steps.append((name, float(seconds)))
    return steps


# --- The report ----------------------------------------------------------------


def render(folder: Path) -> str:
    results = Results(folder)
    machine = results.one("machine")
    run = results.one("run") or {}
    parts = collect(results)
    quick = run.get("quick", False)
    intro = (f"Written by `bash bench/run.sh` on {machine['date'] if machine else 'an unknown date'}. Every "
             "comparison below is measured side by side in this one run, on the same machine, with the cases of "
             "each comparison run in interleaved rounds (so that a busy spell of the machine hits them alike); "
             "ratios use the best round of each case in wall-clock time, and the least CPU time (user + system, "
             "summed over all threads of the process) of the rounds. Each summary row gives both, the threads "
             "each side ran on, and which of the two its goal is judged on. The acquisitions are synthetic, "
             "written by `tools/write_acquisition.py` (the data folder is outside the repository and is not "
             "committed).")
    if quick:
        intro += (" **Quick mode** (`VELORIUM_BENCH_QUICK=1`): smaller acquisitions, one round, one Python: a "
                  "check of the harness, not the project's benchmark figures.")
    out = ["# Benchmarks", "", intro, "", "## Summary", "",
           table(SUMMARY_HEADER, [row.cells() for p in parts for row in p.rows], "llllll")]
    misses = [m for p in parts for m in p.misses]
    if misses:
        out += ["", "### Goals missed, and why", ""]
        out += [f"- **{name}.** {text}" for name, text in misses]
    if machine:
        out += ["", "## Machine", "", machine_section(machine, read_steps(folder)), "",
                "The machine is shared: other work may have been running during the measurements (see the load "
                "average above); the interleaved rounds and best-of timings are meant to absorb that, the medians "
                "show how much it mattered, and CPU time is disturbed less than wall-clock time."]
    commands = (folder / "commands.txt").read_text().strip() if (folder / "commands.txt").is_file() else ""
    if commands:
        out += ["", "## Commands", "", "```", commands, "```"]
    datasets = results.one("datasets")
    if datasets:
        out += ["", "## Acquisitions", "", datasets_section(datasets)]
    for p in parts:
        out += ["", f"## {p.title}", "", p.text]
    return "\n".join(out) + "\n"


def write_report(results: Path, out: Path) -> None:
    out.write_text(render(results))


# --- The README's block ----------------------------------------------------------


def summary_of(report_text: str) -> str:
    """The summary section of a BENCHMARKS.md (its table and the goals missed)."""
    found = re.search(r"^## Summary\n\n(.*?)(?=^## )", report_text, re.MULTILINE | re.DOTALL)
    if not found:
        raise ValueError("BENCHMARKS.md has no summary section")
    return found.group(1).strip()


def readme_block(report_text: str) -> str:
    """What README.md holds between its markers, from BENCHMARKS.md alone."""
    written = re.search(r"^Written by `bash bench/run.sh` on ([^.]+)\.", report_text, re.MULTILINE)
    quick = "**Quick mode**" in report_text.split("## Summary", 1)[0]
    load = re.search(r"^\| Load average \(1, 5, 15 min\) \| (.*) \|$", report_text, re.MULTILINE)
    lead = (f"From the run of `bash bench/run.sh` on {written.group(1) if written else 'an unknown date'} that wrote "
            "[BENCHMARKS.md](BENCHMARKS.md), the full report (machine, commands, method, details)")
    lead += f"; load average {load.group(1)}." if load else "."
    if quick:
        lead += " That run was in quick mode: a check of the harness, not the project's benchmark figures."
    return "\n".join([README_BEGIN, "", lead, "", summary_of(report_text), "", README_END])


QUOTE_BEGIN = "<!-- benchmark quote {name}: written by bench/run.sh from BENCHMARKS.md; do not edit by hand -->"
QUOTE_END = "<!-- end of the benchmark quote {name} -->"
_QUOTE_NAMES = re.compile(r"^<!-- benchmark quote ([a-z0-9][a-z0-9-]*): ", re.MULTILINE)


def quote_of(report_text: str, name: str) -> str:
    """The quote NAME of a BENCHMARKS.md (see summary.quote), or a line saying
    that the report has none."""
    found = re.search(rf"^<!-- quote {name} -->\n(.*?)\n<!-- end of quote {name} -->$", report_text,
                      re.MULTILINE | re.DOTALL)
    if found:
        return found.group(1).strip()
    return f"(The latest run of `bash bench/run.sh` measured nothing for this: BENCHMARKS.md has no quote `{name}`.)"


def quote_names(page_text: str) -> list[str]:
    """The names of the benchmark quotes a page holds, in order."""
    return _QUOTE_NAMES.findall(page_text)


def quote_block(report_text: str, name: str) -> str:
    """What a page holds for the quote NAME, markers included."""
    return "\n".join([QUOTE_BEGIN.format(name=name), "", quote_of(report_text, name), "", QUOTE_END.format(name=name)])


def _replace_block(text: str, begin: str, end: str, block: str, markers: str) -> str:
    start, stop = text.find(begin), text.find(end)
    if start < 0 or stop < start:
        raise ValueError(f"{markers} are missing or out of order")
    return text[:start] + block + text[stop + len(end):]


def update_readme(readme: Path, report_text: str) -> bool:
    """Replaces the summary block and every quote block; True when the file changed."""
    text = readme.read_text()
    new = _replace_block(text, README_BEGIN, README_END, readme_block(report_text),
                         f"{readme}: the benchmark summary markers")
    for name in quote_names(new):
        new = _replace_block(new, QUOTE_BEGIN.format(name=name), QUOTE_END.format(name=name),
                             quote_block(report_text, name), f"{readme}: the markers of quote {name}")
    if new != text:
        readme.write_text(new)
    return new != text
