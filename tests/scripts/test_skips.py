"""scripts/skips.py: the skips of JUnit reports as pytest and ctest write
them, checked against an allowlist."""

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))

import skips  # noqa: E402

PYTEST_REPORT = """<?xml version="1.0" encoding="utf-8"?><testsuites><testsuite name="pytest" skipped="2">
<testcase classname="test_a" name="test_runs" time="0.1"/>
<testcase classname="test_a" name="test_needs_two_cpus" time="0.0">
  <skipped type="pytest.skip" message="needs two CPUs">/x/test_a.py:12: needs two CPUs</skipped></testcase>
<testcase classname="test_b" name="test_pandas" time="0.0">
  <skipped type="pytest.skip" message="could not import 'pandas': No module named 'pandas'">...</skipped></testcase>
</testsuite></testsuites>"""

# ctest gives a generic message; the reason is in gtest's own output.
CTEST_REPORT = """<?xml version="1.0" encoding="UTF-8"?><testsuite name="Linux" tests="2" failures="0" skipped="1">
<testcase name="Store.LimitedAddressSpace" classname="Store.LimitedAddressSpace" time="0.01" status="notrun">
  <skipped message="Skipped"/>
  <system-out>[ RUN      ] Store.LimitedAddressSpace
/src/tests/cpp/store_test.cpp:388: Skipped
sanitizers reserve more address space than the limit allows

[  SKIPPED ] Store.LimitedAddressSpace (0 ms)</system-out></testcase>
<testcase name="Lzf.RoundTrip" classname="Lzf.RoundTrip" time="0.02" status="run"><system-out>ok</system-out></testcase>
</testsuite>"""


@pytest.fixture
def reports(tmp_path):
    (tmp_path / "py.xml").write_text(PYTEST_REPORT)
    (tmp_path / "asan.xml").write_text(CTEST_REPORT)
    return {"python3": tmp_path / "py.xml", "asan": tmp_path / "asan.xml"}


def test_reasons_are_read_from_both_runners(reports):
    assert skips.skips(reports["python3"]) == [
        ("test_a.test_needs_two_cpus", "needs two CPUs"),
        ("test_b.test_pandas", "could not import 'pandas': No module named 'pandas'"),
    ]
    assert skips.skips(reports["asan"]) == [
        ("Store.LimitedAddressSpace", "sanitizers reserve more address space than the limit allows")]


@pytest.mark.parametrize("allowlist,undeclared", [
    ("", 3),
    ("asan | sanitizers reserve", 2),
    ("cpp | sanitizers reserve", 3),  # the suite must match too
    ("a* | sanitizers reserve\npython3 | two CPUs\npython3 | pandas", 0),
    ("# comment\n\n* | .", 0),
])
def test_undeclared_skips_fail_the_check(reports, tmp_path, allowlist, undeclared, capsys):
    path = tmp_path / "allowed.txt"
    path.write_text(allowlist + "\n")
    args = [str(path), *(f"{suite}={file}" for suite, file in reports.items())]
    assert skips.main(args) == (1 if undeclared else 0)
    out = capsys.readouterr().out
    assert out.splitlines()[0] == f"skipped tests: 3 ({undeclared} without a declared reason)"
    assert out.count("NOT DECLARED") == undeclared


@pytest.mark.parametrize("argument", ["python3", "python3=/no/such/file.xml"])
def test_a_missing_report_is_an_error(tmp_path, argument):
    path = tmp_path / "allowed.txt"
    path.write_text("")
    with pytest.raises(SystemExit):
        skips.main([str(path), argument])
