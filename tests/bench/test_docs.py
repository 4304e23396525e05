"""The figures the project quotes are the report's: README.md's benchmark
summary and its quotes are what bench/run.sh derives from BENCHMARKS.md, and
no page quotes a measured figure that BENCHMARKS.md does not hold."""

import re
from pathlib import Path

import pytest
from velbench import report

ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = (ROOT / "BENCHMARKS.md").read_text()
README = (ROOT / "README.md").read_text()

# A measured figure: a ratio, a rate, a time, a size, a share or an accuracy.
FIGURE = re.compile(r"(?<![\w.+\-/])\d[\d,]*(?:\.\d+)?\s?(?:×|GB/s|MB/s|M/s|µs|ms\b|KiB\b|MiB\b|GiB\b|kB\b|KB\b|MB\b"
                    r"|GB\b|ppm\b|%|times\b|million\b)|(?<![\w.])\d+\.\d+ s\b")

# Figures of the pages that are no measurement of velorium's speed, size or memory.
NOT_MEASURED = {
    "1.5 MiB": "the largest wheel the test command accepts",
    "72%": "the share of zeros in the sample's profiles, a property of the synthetic data",
    "1 %": "a parameter of the picker's gap rule",
    "1.5 times": "a parameter of the picker's gap rule",
    "100 ppm": "the tolerance of an example call",
    "1 GB": "a run's size in words, and 12 bytes a point times a 1 GB run's points",
}


def generated_blocks(text: str) -> list[str]:
    summary = re.findall(re.escape(report.README_BEGIN) + ".*?" + re.escape(report.README_END), text, re.DOTALL)
    quotes = re.findall(r"<!-- benchmark quote ([a-z0-9-]+): .*?<!-- end of the benchmark quote \1 -->", text,
                        re.DOTALL)
    return summary + [report.quote_block(BENCHMARKS, name) for name in quotes]


def written_by_hand(text: str) -> str:
    for block in generated_blocks(text):
        text = text.replace(block, "")
    return text


def test_readme_summary_is_the_reports():
    begin, end = README.index(report.README_BEGIN), README.index(report.README_END) + len(report.README_END)
    assert README[begin:end] == report.readme_block(BENCHMARKS)


@pytest.mark.parametrize("name", report.quote_names(README))
def test_readme_quotes_are_the_reports(name):
    begin = README.index(report.QUOTE_BEGIN.format(name=name))
    end = README.index(report.QUOTE_END.format(name=name)) + len(report.QUOTE_END.format(name=name))
    assert README[begin:end] == report.quote_block(BENCHMARKS, name)


def pages() -> dict[str, str]:
    """README.md, the unreleased part of CHANGELOG.md (the released ones record
    the past) and docs/."""
    changelog = (ROOT / "CHANGELOG.md").read_text()
    unreleased = re.search(r"^## \[Unreleased\]\n(.*?)(?=^## \[)", changelog, re.MULTILINE | re.DOTALL)
    out = {"README.md": README, "CHANGELOG.md": unreleased.group(1) if unreleased else changelog}
    out.update({f"docs/{p.name}": p.read_text() for p in sorted((ROOT / "docs").glob("*.md"))})
    return out


@pytest.mark.parametrize("page", list(pages()))
def test_pages_quote_no_figure_the_report_lacks(page):
    quoted = FIGURE.findall(written_by_hand(pages()[page]))
    assert [figure for figure in quoted if figure not in BENCHMARKS and figure not in NOT_MEASURED] == []


@pytest.mark.parametrize("text, stale", [
    ("`--compact` writes 1.55 times the folder", ["1.55 times"]),
    ("234 million points per second, **8.9×** (8.7× in wall time)", ["234 million", "8.9×", "8.7×"]),
    ("| (none) | 48.9 MB | 18.1 |\n| `--compact` | 4.2 MB | 1.55 |", ["48.9 MB", "4.2 MB"]),
    ("1.08 s against 0.81 s, recall 99.2 %, 0.62 ppm, 4360 KiB", ["1.08 s", "0.81 s", "99.2 %", "0.62 ppm",
                                                                  "4360 KiB"]),
    ("2.3e-10 times the largest m/z, 400 scans, `--threshold top=150`, 90 s", []),
])
def test_figure_pattern(text, stale):
    assert FIGURE.findall(text) == stale
