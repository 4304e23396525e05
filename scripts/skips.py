#!/usr/bin/env python3
"""Counts the tests that a run of scripts/test.sh skipped, from the JUnit XML
files its test runners wrote (pytest's --junitxml, ctest's --output-junit),
prints each skip with its reason, and fails when a skip matches no line of
the allowlist (tests/skips-allowed.txt).

    python3 scripts/skips.py ALLOWLIST SUITE=FILE.xml...

SUITE names the run that wrote the file (cpp, asan, tsan, python3, ...); the
allowlist's lines are "SUITE-PATTERN | REASON-PATTERN", a shell pattern for
the suite and a regular expression searched in the reason.
"""

from __future__ import annotations

import fnmatch
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

# gtest prints "FILE:LINE: Skipped" then the reason given to GTEST_SKIP().
GTEST_REASON = re.compile(r"^[^\n]*: Skipped\n(.*?)\n", re.MULTILINE | re.DOTALL)


def read_allowlist(path: Path) -> list[tuple[str, re.Pattern[str]]]:
    rules = []
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        suite, sep, reason = line.partition(" | ")
        if not sep or not suite.strip() or not reason.strip():
            raise SystemExit(f"{path}:{number}: expected 'SUITE-PATTERN | REASON-PATTERN', got {line!r}")
        rules.append((suite.strip(), re.compile(reason.strip())))
    return rules


def skip_reason(case: ET.Element) -> str | None:
    """The reason a test case was skipped, or None when it ran."""
    skipped = case.find("skipped")
    if skipped is None:
        return None
    reason = (skipped.get("message") or skipped.text or "").strip()
    output = case.findtext("system-out") or ""
    found = GTEST_REASON.search(output)
    if found and found.group(1).strip():  # ctest's message is generic; gtest's output has the reason
        reason = found.group(1).strip()
    # pytest writes "path:line: reason" for a skip raised inside a test.
    reason = re.sub(r"^\S+:\d+: ", "", reason)
    return reason or "(no reason given)"


def skips(path: Path) -> list[tuple[str, str]]:
    """(test id, reason) of every skipped test case of a JUnit XML file."""
    out = []
    for case in ET.parse(path).getroot().iter("testcase"):
        reason = skip_reason(case)
        if reason is not None:
            classname, name = case.get("classname"), case.get("name") or ""
            if classname and classname != name:  # ctest repeats the name as the class
                name = f"{classname}.{name}"
            out.append((name, reason))
    return out


def check(rules: list[tuple[str, re.Pattern[str]]], runs: list[tuple[str, Path]]) -> tuple[list[str], list[str]]:
    """Lines to print for the allowed skips and for the undeclared ones."""
    allowed, undeclared = [], []
    for suite, path in runs:
        for name, reason in skips(path):
            line = f"{suite}: {name}: {reason}"
            ok = any(fnmatch.fnmatchcase(suite, pattern) and rule.search(reason) for pattern, rule in rules)
            (allowed if ok else undeclared).append(line)
    return allowed, undeclared


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        raise SystemExit(__doc__)
    rules = read_allowlist(Path(argv[0]))
    runs = []
    for arg in argv[1:]:
        suite, sep, file = arg.partition("=")
        if not sep:
            raise SystemExit(f"expected SUITE=FILE.xml, got {arg!r}")
        if not Path(file).is_file():
            raise SystemExit(f"{suite}: no test report at {file}")
        runs.append((suite, Path(file)))
    allowed, undeclared = check(rules, runs)
    print(f"skipped tests: {len(allowed) + len(undeclared)} ({len(undeclared)} without a declared reason)")
    for line in allowed:
        print(f"  declared: {line}")
    for line in undeclared:
        print(f"  NOT DECLARED: {line}")
    if undeclared:
        print(f"every skip needs a line in {argv[0]} (or the test must run)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
