"""The figures the project quotes are the report's: README.md's benchmark
summary is the one bench/run.sh derives from BENCHMARKS.md, and no other
page quotes a measured figure that BENCHMARKS.md does not hold."""

import re
from pathlib import Path

import pytest
from velbench import report

ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = (ROOT / "BENCHMARKS.md").read_text()

# A measured figure: a ratio, a rate, a time or a size.
FIGURE = re.compile(r"\b\d[\d,]*(?:\.\d+)?\s?(?:×|GB/s|MB/s|M/s|µs|ms\b|MiB\b|GiB\b)")


def test_readme_summary_is_the_reports():
    readme = (ROOT / "README.md").read_text()
    begin, end = readme.index(report.README_BEGIN), readme.index(report.README_END) + len(report.README_END)
    assert readme[begin:end] == report.readme_block(BENCHMARKS)


@pytest.mark.parametrize("page", ["README.md", "CHANGELOG.md", *sorted(p.name for p in (ROOT / "docs").glob("*.md"))])
def test_pages_quote_no_figure_the_report_lacks(page):
    path = ROOT / page if (ROOT / page).is_file() else ROOT / "docs" / page
    text = path.read_text()
    if page == "README.md":  # the generated block is checked above
        text = text[:text.index(report.README_BEGIN)] + text[text.index(report.README_END):]
    section = re.search(r"^## Benchmarks\n(.*?)(?=^## )", text, re.MULTILINE | re.DOTALL)
    quoted = FIGURE.findall(section.group(1) if section else "") + FIGURE.findall(
        "\n".join(line for line in text.splitlines() if re.search(r"faster|slower|times the|benchmark", line, re.I)))
    assert [figure for figure in quoted if figure not in BENCHMARKS] == []
