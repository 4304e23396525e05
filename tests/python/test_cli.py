"""The velorium command: info, convert with each of its options, exit
statuses, the error paths, and what it leaves on disk."""

from __future__ import annotations

import hashlib
import json
import os
import pty
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from lxml import etree

import velorium
from acqwriter import synthetic_run, write_acquisition
from mzml_check import NS, check_mzml, failing_run, parse_mgf, schema_errors, semantic_errors

VELORIUM = Path(sys.executable).parent / "velorium"

pytestmark = pytest.mark.skipif(not VELORIUM.is_file(), reason=f"the velorium command is not installed ({VELORIUM})")


def run_cli(*args, cwd=None, timeout=300, permissions_bind=False):
    """The command's completed process. With permissions_bind, it runs without
    the capabilities that let root ignore file permissions (setpriv drops them
    from the bounding set, so root's command has them neither), as any user."""
    prefix = []
    if permissions_bind and os.geteuid() == 0:
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
    return subprocess.run([*prefix, str(VELORIUM), *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          timeout=timeout)


class Inotify:
    """Linux inotify through libc: waits for a file to be created in a folder."""

    IN_CREATE = 0x100

    def __init__(self, folder: Path):
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, bytes(folder), self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def wait_for_creation(self, proc: subprocess.Popen) -> bool:
        """True once a file is created; False if `proc` ends first."""
        import select

        pidfd = os.pidfd_open(proc.pid)
        try:
            ready, _, _ = select.select([self.fd, pidfd], [], [], 120)
        finally:
            os.close(pidfd)
        return self.fd in ready

    def close(self):
        os.close(self.fd)


def tree_digest(folder: Path) -> dict[str, str]:
    return {str(p.relative_to(folder)): hashlib.sha1(p.read_bytes()).hexdigest() if p.is_file() else "dir"
            for p in sorted(folder.rglob("*"))}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    folders = []
    for i, params in enumerate([dict(stride=284, spectra="both", encoding="mixed"), dict(stride=186),
                                dict(stride=216, spectra="mixed", polarity="alternate")]):
        acq = synthetic_run(scans=14, points=150, ms2_share=0.4, seed=i, compounds=4, background_ions=5, **params)
        folder = root / f"run{i}.d"
        write_acquisition(folder, acq)
        folders.append(folder)
    return folders


def test_version_and_usage_errors():
    done = run_cli("--version")
    assert done.returncode == 0
    assert done.stdout.strip() == f"velorium {velorium_version()}"
    for args in ([], ["convert"], ["convert", "x.d"], ["convert", "x.d", "-o", "y", "--format", "csv"],
                 ["convert", "x.d", "-o", "y", "--jobs", "0"], ["nonsense"], ["info"]):
        done = run_cli(*args)
        assert done.returncode == 2, args
        assert done.stderr.startswith("velorium: error: "), (args, done.stderr)
        assert done.stdout == ""


def test_help_names_every_option():
    done = run_cli("convert", "--help")
    assert done.returncode == 0
    for flag in ("-o,--output", "--format", "--centroid", "--no-compression", "--ms-level", "--jobs", "--force",
                 "--skip-bad-scans"):
        assert flag in done.stdout, flag
    done = run_cli("info", "--help")
    assert done.returncode == 0 and "--json" in done.stdout


def velorium_version():
    folder = Path(__file__).resolve().parents[2] / "examples" / "data" / "sample.d"
    return velorium.Acquisition(str(folder)).run_info()["software_version"]


def test_info_text_and_json(runs):
    folder = runs[0]
    reader = velorium.RawReader(str(folder))
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    done = run_cli("info", "--json", folder)
    assert done.returncode == 0 and done.stderr == ""
    info = json.loads(done.stdout)
    run_info = reader.run_info()
    assert info["run_label"] == run_info["source_file_name"]
    assert info["instrument"] == run_info["instrument"]
    assert info["device"] == reader.device_info()
    assert info["start_timestamp"] == run_info["start_timestamp"]
    assert info["scan_count"] == reader.scan_count
    levels = {}
    for s in spectra:
        levels[str(s.ms_level)] = levels.get(str(s.ms_level), 0) + 1
    assert info["ms_levels"] == levels
    rts = [s.retention_time_sec for s in spectra]
    assert info["retention_time_sec"] == {"min": min(rts), "max": max(rts)}
    index = reader.scan_index()["records"]
    assert info["profile_blocks"] == sum(r["profile_params"] is not None for r in index)
    assert info["centroid_blocks"] == sum(r["centroid_params"] is not None for r in index)
    text = run_cli("info", folder)
    assert text.returncode == 0
    assert run_info["instrument"]["name"] in text.stdout and f"scans           {reader.scan_count}" in text.stdout

    bad = run_cli("info", folder.parent / "missing.d")
    assert bad.returncode == 1 and bad.stdout == ""
    assert bad.stderr.splitlines() == [f"velorium: {folder.parent / 'missing.d'}: parse error: AcqData directory not found"]


@pytest.mark.parametrize("options", [[], ["--no-compression"], ["--centroid"], ["--ms-level", "2"]])
def test_convert_one_input_writes_only_the_output(runs, tmp_path, options):
    folder = runs[0]
    before = tree_digest(folder)
    work = tmp_path / "cwd"
    work.mkdir()
    out = tmp_path / "out" / "x.mzML"
    out.parent.mkdir()
    done = run_cli("convert", folder, "-o", out, *options, cwd=work)
    assert (done.returncode, done.stderr) == (0, "")
    assert list(out.parent.iterdir()) == [out] and list(work.iterdir()) == []
    assert tree_digest(folder) == before
    check_mzml(out)
    acq = velorium.Acquisition(str(folder), **(dict(prefer="centroid", pick_peaks="missing") if "--centroid" in options
                                               else {}))
    want = [s for s in acq if "--ms-level" not in options or s.ms_level == 2]
    root = etree.parse(str(out)).getroot()
    spectra = list(root.iter(f"{NS}spectrum"))
    assert [s.get("id") for s in spectra] == [w.native_id for w in want]
    assert [int(s.get("defaultArrayLength")) for s in spectra] == [len(w.mz) for w in want]
    assert ("zlib compression" in out.read_text()) == ("--no-compression" not in options)
    # The same bytes as Acquisition.to_mzml with the same choices.
    if options in ([], ["--centroid"]):
        again = tmp_path / "again.mzML"
        acq.to_mzml(str(again))
        assert again.read_bytes() == out.read_bytes()


def test_convert_mgf_and_several_inputs_in_parallel(runs, tmp_path):
    out = tmp_path / "many"
    done = run_cli("convert", *runs, "-o", out, "--format", "mgf", "--jobs", "2")
    assert (done.returncode, done.stderr) == (0, "")
    assert sorted(p.name for p in out.iterdir()) == ["run0.mgf", "run1.mgf", "run2.mgf"]
    for folder in runs:
        blocks = parse_mgf((out / (folder.name[:-2] + ".mgf")).read_text())
        want = [s for s in velorium.Acquisition(str(folder)) if s.ms_level >= 2]
        assert [h["TITLE"] for h, _ in blocks] == [
            f'{folder.name[:-2]}.{s.scan_number}.{s.scan_number}. File:"{folder.name}", NativeID:"{s.native_id}"'
            for s in want]
        assert [[float(mz) for mz, _ in peaks] for _, peaks in blocks] == [s.mz for s in want]


def test_an_unreadable_input_fails_alone_with_one_line(runs, tmp_path):
    missing = tmp_path / "missing.d"
    out = tmp_path / "out"
    done = run_cli("convert", runs[0], missing, runs[1], "-o", out, "--jobs", "3")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"velorium: {missing}: parse error: AcqData directory not found"]
    assert sorted(p.name for p in out.iterdir()) == ["run0.mzML", "run1.mzML"]
    for p in out.iterdir():
        check_mzml(p)


def test_a_failing_block_fails_its_input_unless_skipped(tmp_path):
    folder = failing_run(tmp_path / "bad.d", scans=8, bad=3)
    with pytest.raises(RuntimeError) as raw:
        velorium.RawReader(str(folder))
    out = tmp_path / "bad.mzML"
    for fmt in ("mzml", "mgf"):
        done = run_cli("convert", folder, "-o", out, "--format", fmt)
        assert done.returncode == 1
        assert done.stderr.splitlines() == [f"velorium: {folder}: {raw.value.args[0]}"]
        assert "scanId=4: centroid block: parse error:" in done.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.d"]

    done = run_cli("convert", folder, "-o", out, "--skip-bad-scans")
    assert done.returncode == 0
    assert done.stderr.splitlines() == [
        f"velorium: {folder}: skipped 1 of 8 scans that failed to decode (first: {raw.value.args[0]})"]
    check_mzml(out)
    root = etree.parse(str(out)).getroot()
    spectra = list(root.iter(f"{NS}spectrum"))
    assert [s.get("id") for s in spectra] == [f"scanId={i + 1}" for i in range(8) if i != 3]
    assert [s.get("index") for s in spectra] == [str(i) for i in range(7)]
    assert int(root.find(f".//{NS}spectrumList").get("count")) == 7

    # Every scan failing is a failure, skipped or not.
    all_bad = failing_run(tmp_path / "allbad.d", scans=1, bad=0)
    done = run_cli("convert", all_bad, "-o", tmp_path / "allbad.mzML", "--skip-bad-scans")
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 1
    assert "no scan could be decoded" in done.stderr
    assert not (tmp_path / "allbad.mzML").exists()


def test_skipped_scans_lower_a_count_of_several_digits(tmp_path):
    folder = failing_run(tmp_path / "wide.d", scans=12, bad=5)
    out = tmp_path / "wide.mzML"
    done = run_cli("convert", folder, "-o", out, "--skip-bad-scans")
    assert done.returncode == 0
    check_mzml(out)  # the checksum covers the corrected count
    assert 'spectrumList count="11"' in out.read_text()
    folder = failing_run(tmp_path / "ten.d", scans=10, bad=5)
    done = run_cli("convert", folder, "-o", out, "--skip-bad-scans", "--force")
    assert done.returncode == 0
    check_mzml(out)
    count = etree.parse(str(out)).getroot().find(f".//{NS}spectrumList").get("count")
    assert count == "09" and int(count) == len(list(etree.parse(str(out)).getroot().iter(f"{NS}spectrum")))


def test_an_existing_output_is_kept_unless_forced(runs, tmp_path):
    out = tmp_path / "x.mzML"
    out.write_text("precious")
    done = run_cli("convert", runs[1], "-o", out)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"velorium: {runs[1]}: {out}: exists (not replaced); pass --force to replace it"]
    assert out.read_text() == "precious" and sorted(p.name for p in tmp_path.iterdir()) == ["x.mzML"]
    done = run_cli("convert", runs[1], "-o", out, "--force")
    assert (done.returncode, done.stderr) == (0, "")
    check_mzml(out)


def test_an_output_that_cannot_be_written(runs, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    done = run_cli("convert", runs[1], "-o", blocker / "x.mzML")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"velorium: {runs[1]}: {blocker / 'x.mzML'}: I/O error: Not a directory"]
    done = run_cli("convert", *runs[:2], "-o", blocker)
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    try:
        done = run_cli("convert", runs[1], "-o", locked / "x.mzML", permissions_bind=True)
        assert done.returncode == 1 and "Permission denied" in done.stderr
        assert list(locked.iterdir()) == []
    finally:
        locked.chmod(0o755)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file", "locked"]


def test_two_inputs_with_one_name_do_not_overwrite_each_other(runs, tmp_path):
    twin = tmp_path / "b" / runs[0].name
    twin.parent.mkdir()
    os.symlink(runs[0], twin)
    out = tmp_path / "out"
    done = run_cli("convert", runs[0], twin, "-o", out)
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 1
    assert "also the output of an earlier input" in done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["run0.mzML"]


def test_an_empty_selection_is_a_plain_valid_mzml(runs, tmp_path):
    out = tmp_path / "e.mzML"
    done = run_cli("convert", runs[0], "-o", out, "--ms-level", "7")
    assert (done.returncode, done.stderr) == (0, "")
    assert schema_errors(out, indexed=False) == []
    assert semantic_errors(out)[0] == []
    root = etree.parse(str(out)).getroot()
    assert root.tag == f"{NS}mzML" and root.find(f".//{NS}spectrumList").get("count") == "0"


def test_progress_bar_only_on_a_terminal(tmp_path):
    acq = synthetic_run(scans=400, points=20000, ms2_share=0.25, stride=284, spectra="profile", seed=9)
    folder = tmp_path / "big.d"
    write_acquisition(folder, acq)
    plain = run_cli("convert", folder, "-o", tmp_path / "plain.mzML")
    assert (plain.returncode, plain.stderr) == (0, "")

    leader, follower = pty.openpty()
    proc = subprocess.Popen([str(VELORIUM), "convert", str(folder), "-o", str(tmp_path / "tty.mzML")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    assert proc.wait(timeout=300) == 0
    os.close(leader)
    assert b"scans" in seen and b"%" in seen
    assert (tmp_path / "tty.mzML").read_bytes() == (tmp_path / "plain.mzML").read_bytes()

    # Interrupted once its temporary file exists: status 130 and nothing left.
    out_dir = tmp_path / "interrupted"
    out_dir.mkdir()
    watch = Inotify(out_dir)
    try:
        proc = subprocess.Popen([str(VELORIUM), "convert", str(folder), "-o", str(out_dir / "x.mzML")],
                                stderr=subprocess.PIPE, text=True)
        created = watch.wait_for_creation(proc)
    finally:
        watch.close()
    assert created, "the conversion ended before it created its temporary file"
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130
    assert err.splitlines() == ["velorium: interrupted; no partial output was left"]
    assert list(out_dir.iterdir()) == []
