"""Smoke test of an installed velorium wheel, run by scripts/wheel-check.sh in a
fresh virtual environment with no compiler, CMake or headers reachable: the
environment really lacks the build tools, the package is the installed one and
says its version everywhere, the Python API reads the sample acquisition, the
quick-look demo runs, and the `velorium` command converts the sample (when the
wheel has the command; VELORIUM_WHEEL_REQUIRE_CLI=1 makes it mandatory).

Exits with status 1 and one line per failed check."""

from __future__ import annotations

import argparse
import base64
import importlib.metadata
import os
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path
from xml.etree import ElementTree

FAILURES: list[str] = []


def check(condition: bool, what: str) -> bool:
    if not condition:
        FAILURES.append(what)
        print(f"FAIL: {what}", file=sys.stderr)
    return condition


def check_environment(hidden_headers: bool) -> None:
    for tool in ("g++", "gcc", "c++", "cc", "clang", "clang++", "cmake", "ninja", "make"):
        check(shutil.which(tool) is None, f"{tool} is reachable on PATH ({shutil.which(tool)})")
    for variable in ("CPATH", "CPLUS_INCLUDE_PATH", "C_INCLUDE_PATH", "LIBRARY_PATH", "LD_LIBRARY_PATH"):
        check(variable not in os.environ, f"{variable} is set")
    if hidden_headers:
        check(not Path("/usr/include/pugixml.hpp").exists(), "the pugixml headers are reachable")
        check(not any(Path("/usr/include").iterdir()), "the system headers are reachable")


def check_package(version: str) -> None:
    import velorium

    site = Path(sys.prefix).resolve()
    module_file = Path(velorium.__file__).resolve()
    check(site in module_file.parents, f"velorium was imported from {module_file}, not from {site}")
    check(velorium.__version__ == version, f"velorium.__version__ is {velorium.__version__!r}, not {version!r}")
    check(importlib.metadata.version("velorium") == version, "the package metadata has another version")
    files = {str(f) for f in importlib.metadata.files("velorium") or ()}
    check("velorium-stubs/__init__.pyi" in files, "the type stubs are not installed")
    check("velorium/dask.py" in files, "velorium.dask is not installed")
    check(any(f.endswith("licenses/LICENSE") for f in files), "the license is not installed")
    check(velorium.__all__[:4] == ["RawReader", "Spectrum", "SpectrumIter", "iter_spectra"],
          f"__all__ begins {velorium.__all__[:4]}")


def check_api(sample: Path, version: str, work: Path) -> None:
    import velorium

    reader = velorium.RawReader(str(sample))
    count = reader.scan_count
    check(count > 0, "the sample has no scans")
    info = reader.run_info()
    check(info["software_name"] == "velorium" and info["software_version"] == version,
          f"run_info() reports {info['software_name']} {info['software_version']}")
    streamed = list(velorium.iter_spectra(str(sample)))
    check(len(streamed) == count, f"iter_spectra gave {len(streamed)} spectra, RawReader {count}")
    for index in sorted({0, count // 2, count - 1}):
        spectrum = reader.read_spectrum(index)
        other = streamed[index]
        check(spectrum.native_id == other.native_id and spectrum.mz == other.mz
              and spectrum.intensity == other.intensity,
              f"spectrum {index}: RawReader and iter_spectra disagree")
        check(len(spectrum) == len(spectrum.mz) > 0, f"spectrum {index} has no points")
        check(all(a < b for a, b in zip(spectrum.mz, spectrum.mz[1:])), f"spectrum {index}: m/z not increasing")
        if hasattr(spectrum, "mz_array"):
            check(spectrum.mz_array.tolist() == spectrum.mz, f"spectrum {index}: mz_array differs from mz")
    ms1 = sum(1 for s in streamed if s.ms_level == 1)
    tic, bpc = reader.read_chromatograms()
    check(tic["id"] == "TIC" and bpc["id"] == "BPC", "the chromatograms are not TIC and BPC")
    check(len(tic["time_sec"]) == len(bpc["intensity"]) == ms1,
          f"the TIC has {len(tic['time_sec'])} points for {ms1} MS1 scans")
    try:
        velorium.RawReader(str(work))
        check(False, "a folder without AcqData opened")
    except RuntimeError as exc:
        check(str(exc) == "parse error: AcqData directory not found", f"the error text is {exc}")


def run(command: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=600)


def check_demo(root: Path, sample: Path, work: Path) -> None:
    figure = work / "quicklook.png"
    result = run([sys.executable, str(root / "examples" / "quicklook.py"), str(sample), "--out", str(figure),
                  "--no-progress"], cwd=work)
    if not check(result.returncode == 0, f"quicklook.py exited with {result.returncode}: {result.stderr[-2000:]}"):
        return
    check("Most intense MS1 peaks" in result.stdout, "quicklook.py printed no peak table")
    check(figure.is_file() and figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", "quicklook.py wrote no PNG figure")


def decode_array(array: ElementTree.Element, ns: str) -> tuple[str, list[float]]:
    accessions = {param.get("accession") for param in array.iter(f"{ns}cvParam")}
    kind = "mz" if "MS:1000514" in accessions else "intensity" if "MS:1000515" in accessions else "other"
    data = base64.b64decode(array.findtext(f"{ns}binary") or "")
    if "MS:1000574" in accessions:
        data = zlib.decompress(data)
    code = "d" if "MS:1000523" in accessions else "f"
    return kind, list(struct.unpack(f"<{len(data) // struct.calcsize(code)}{code}", data))


def check_command(sample: Path, version: str, work: Path, required: bool) -> None:
    import velorium

    command = shutil.which("velorium")
    if command is None:
        check(not required, "the wheel installs no velorium command")
        print("note: no velorium command in this wheel; its checks were skipped", file=sys.stderr)
        return
    result = run([command, "--version"], cwd=work)
    check(result.returncode == 0 and version in result.stdout.split(),
          f"velorium --version gave {result.returncode}: {result.stdout!r} {result.stderr!r}")
    # A folder of its own: the demo has already written sample.mzML in `work`.
    folder = work / "convert"
    folder.mkdir()
    output = folder / "sample.mzML"
    before = set(folder.iterdir())
    result = run([command, "convert", str(sample), "-o", str(output)], cwd=folder)
    if not check(result.returncode == 0 and output.is_file(),
                 f"velorium convert exited with {result.returncode}: {result.stderr[-2000:]}"):
        return
    check(set(folder.iterdir()) - before == {output}, "velorium convert left other files next to its output")
    tree = ElementTree.parse(output)
    ns = "{http://psi.hupo.org/ms/mzml}"
    software = [s.attrib for s in tree.iter(f"{ns}software")]
    check(any(s.get("version") == version for s in software), f"the mzML's software elements are {software}")
    spectra = list(tree.iter(f"{ns}spectrum"))
    reader = velorium.RawReader(str(sample))
    check(len(spectra) == reader.scan_count, f"the mzML holds {len(spectra)} spectra of {reader.scan_count}")
    for index in sorted({0, len(spectra) - 1}) if spectra else ():
        expected = reader.read_spectrum(index)
        arrays = dict(decode_array(a, ns) for a in spectra[index].iter(f"{ns}binaryDataArray"))
        check(spectra[index].get("id") == expected.native_id, f"mzML spectrum {index} has id {spectra[index].get('id')}")
        check(arrays.get("mz") == expected.mz, f"mzML spectrum {index}: m/z values differ from RawReader's")
        check(arrays.get("intensity") == expected.intensity,
              f"mzML spectrum {index}: intensities differ from RawReader's")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True, help="the version the package must report")
    parser.add_argument("--root", type=Path, required=True, help="the project's folder (examples)")
    parser.add_argument("--work", type=Path, required=True, help="an empty folder to write in")
    parser.add_argument("--hidden-headers", action="store_true", help="/usr/include is an empty mount")
    args = parser.parse_args()
    sample = args.root / "examples" / "data" / "sample.d"
    check_environment(args.hidden_headers)
    check_package(args.version)
    check_api(sample, args.version, args.work)
    check_demo(args.root, sample, args.work)
    check_command(sample, args.version, args.work, os.environ.get("VELORIUM_WHEEL_REQUIRE_CLI") == "1")
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed", file=sys.stderr)
        return 1
    hidden = "; /usr/include and /usr/lib/gcc hidden" if args.hidden_headers else ""
    print(f"smoke test passed (PATH={os.environ.get('PATH')}{hidden}): environment, package, API, demo"
          + (", command" if shutil.which("velorium") else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
