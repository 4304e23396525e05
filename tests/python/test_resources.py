"""No descriptor, thread or memory is held beyond what a call needs."""

import gc
import os
import subprocess
import sys
import textwrap
import time

from acqwriter import Descriptor, ScanRecord, profile_lzf_block
from conftest import open_fds, write_scans


def os_threads():
    return len(os.listdir("/proc/self/task"))


def settle(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def test_a_thousand_uses_leave_nothing_behind(qtof_run):
    import velorium

    folder, _ = qtof_run
    path = str(folder)
    fds, threads = open_fds(), os_threads()
    for i in range(1000):
        if i % 4 == 0:
            velorium.RawReader(path).read_spectrum(0)
        elif i % 4 == 1:
            for _ in velorium.iter_spectra(path):
                pass
        elif i % 4 == 2:
            it = velorium.iter_spectra(path)
            next(it)
            del it  # abandoned mid-stream
        else:
            velorium.iter_spectra(path)  # never started
    gc.collect()
    assert settle(lambda: open_fds() <= fds), (open_fds(), fds)
    assert settle(lambda: os_threads() <= threads), (os_threads(), threads)


def test_a_thousand_acquisitions_leave_nothing_behind(qtof_run):
    import pickle

    import velorium

    folder, _ = qtof_run
    path = str(folder)
    fds, threads = open_fds(), os_threads()
    kept = velorium.Acquisition(path)
    for i in range(1000):
        if i % 5 == 0:
            velorium.Acquisition(path)[-1]
        elif i % 5 == 1:
            for _ in velorium.Acquisition(path).spectra(ms_level=1):
                pass
        elif i % 5 == 2:
            it = kept.spectra()
            next(it)
            del it  # abandoned with its workers mid-window
        elif i % 5 == 3:
            kept.spectra(rt_range=(0.0, 1e9))  # never started
            iter(velorium.Acquisition(path, prefer="centroid"))
        else:
            pickle.loads(pickle.dumps(kept))[2:5]
    del kept
    gc.collect()
    assert settle(lambda: open_fds() <= fds), (open_fds(), fds)
    assert settle(lambda: os_threads() <= threads), (os_threads(), threads)


CLAIMS_CHILD = textwrap.dedent("""
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[2]), int(sys.argv[2])))
    import velorium
    for path in sys.argv[3:]:
        try:
            velorium.RawReader(path)
            print("ok")
        except RuntimeError as e:
            print(str(e))
        try:
            for _ in velorium.iter_spectra(path):
                pass
        except RuntimeError as e:
            print(str(e))
        try:
            velorium.Acquisition(path)[0]
            print("ok")
        except RuntimeError as e:
            print(str(e))
""")


def test_huge_claims_allocate_nothing_beyond_the_caps(tmp_path):
    block, ubc = profile_lzf_block(1000.0, 0.5, [1, 2, 3])
    cases = {
        # 4 GB block at the start of a small file: refused by the size check.
        "bytes": ([ScanRecord(1, 0.1, descriptors=[Descriptor(3, 0, 4294967295, 1)])],
                  "read_bytes: requested 4294967295 bytes at offset 0"),
        # 4294967295 peaks in a 36-byte block.
        "peaks": ([ScanRecord(1, 0.1, descriptors=[Descriptor(3, 0, 36, 4294967295)])],
                  "Truncated MSPeak.bin block"),
        # 4294967295 profile points: no uncompressed size can hold them.
        "points": ([ScanRecord(1, 0.1, calibration_id=1, descriptors=[None, Descriptor(1, 0, len(block), 4294967295, 4294967295)])],
                   "too short for 4294967295 points"),
        # A 4 GB decompressed size: above the 512 MiB cap.
        "lzf": ([ScanRecord(1, 0.1, calibration_id=1, descriptors=[None, Descriptor(1, 0, len(block), 3, 4294967295)])],
                "exceeds cap of 536870912"),
    }
    from acqwriter import Calibration, DefaultCalEntry, default_masscal_xml

    xml = default_masscal_xml([DefaultCalEntry(1, Calibration(2.0, 0.0, 0.0, 1e9))])
    paths = []
    for name, (records, _) in cases.items():
        files = {"MSPeak.bin": bytes(36), "MSProfile.bin": block, "DefaultMassCal.xml": xml}
        paths.append(str(write_scans(tmp_path / f"{name}.d", records, stride=284, files=files)))
    limit = 1536 << 20
    child = subprocess.run([sys.executable, "-c", CLAIMS_CHILD, "x", str(limit), *paths],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert len(lines) == 3 * len(cases), child.stdout
    for i, (_, expected) in enumerate(cases.values()):
        outcomes = lines[3 * i: 3 * i + 3]  # RawReader, iter_spectra, Acquisition
        assert all(expected in line for line in outcomes), (expected, outcomes)
