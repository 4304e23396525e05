"""One version: the project() call of CMakeLists.txt defines it; the package
metadata, the module, the run metadata and the changelog all say the same."""

import importlib.metadata
import re
from pathlib import Path

import velorium

ROOT = Path(__file__).resolve().parents[2]


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.findall(r"project\(velorium\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)\b", text)
    assert len(found) == 1, "CMakeLists.txt must define the version exactly once"
    return found[0]


def test_every_place_reports_the_project_version(qtof_run):
    folder, _ = qtof_run
    version = project_version()
    # The installed module was built from this checkout, not an older one.
    assert velorium.__version__ == version
    assert importlib.metadata.version("velorium") == version
    assert velorium.RawReader(str(folder)).run_info()["software_version"] == version
    assert "__version__" not in velorium.__all__


def test_changelog_records_the_release():
    """The newest released section of CHANGELOG.md is this version, dated, in Keep a Changelog form."""
    text = (ROOT / "CHANGELOG.md").read_text()
    sections = re.findall(r"^## \[([^\]]+)\](?: - (\d{4}-\d{2}-\d{2}))?$", text, flags=re.MULTILINE)
    assert sections[0] == ("Unreleased", "")
    released = sections[1:]
    assert released, "no released version in CHANGELOG.md"
    assert released[0][0] == project_version()
    assert all(date for _, date in released), "every released version carries its date"
    versions = [tuple(map(int, name.split("."))) for name, _ in released]
    assert versions == sorted(versions, reverse=True) and len(set(versions)) == len(versions)
    assert released[-1][0] == "1.0.0"
    for name, _ in released:  # each release says what changed under the usual headings
        body = text.split(f"## [{name}]", 1)[1].split("\n## ", 1)[0]
        headings = re.findall(r"^### (.+)$", body, flags=re.MULTILINE)
        assert headings and set(headings) <= {"Added", "Changed", "Deprecated", "Removed", "Fixed", "Security"}
