import gc
import os
import threading
import time

import pytest

import velorium
from acqwriter import Descriptor, ScanRecord, msscan_bytes, peak_block_format3
from conftest import SPECTRUM_PROPERTIES, open_fds, write_scans



def fields(s):
    return {name: getattr(s, name) for name in SPECTRUM_PROPERTIES}


def test_streaming_equals_raw_reader_field_by_field(qtof_run):
    folder, _ = qtof_run
    reader = velorium.RawReader(str(folder))
    it = velorium.iter_spectra(str(folder))
    assert iter(it) is it
    assert type(it) is velorium.SpectrumIter
    streamed = list(it)
    assert len(streamed) == reader.scan_count
    for i, s in enumerate(streamed):
        assert fields(s) == fields(reader.read_spectrum(i))
    with pytest.raises(StopIteration):
        next(it)


def test_open_failure_is_raised_once_by_the_first_next(tmp_path):
    it = velorium.iter_spectra(str(tmp_path / "nothing.d"))
    with pytest.raises(RuntimeError) as info:
        next(it)
    assert info.value.args == ("parse error: AcqData directory not found",)
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_spectra_before_a_failure_are_delivered(tmp_path):
    peaks = peak_block_format3([100.0], [1.0])
    records = [ScanRecord(i + 1, 0.1 * i, descriptors=[Descriptor(3, 0, 12, 2 if i == 2 else 1)]) for i in range(5)]
    folder = write_scans(tmp_path / "f.d", records, stride=196, files={"MSPeak.bin": peaks})
    it = velorium.iter_spectra(str(folder))
    assert next(it).index == 0
    assert next(it).index == 1
    with pytest.raises(RuntimeError) as info:
        next(it)
    assert info.value.args == ("vendor parser error: scanId=3: centroid block: parse error: Truncated MSPeak.bin block",)
    with pytest.raises(StopIteration):
        next(it)


def test_spectra_outlive_the_iterator(qtof_run):
    folder, _ = qtof_run
    it = velorium.iter_spectra(str(folder))
    first = next(it)
    mz = first.mz
    del it
    gc.collect()
    assert first.mz == mz and first.index == 0


def os_threads():
    return len(os.listdir("/proc/self/task"))


def wait_for(condition, timeout=60.0):
    """Polls a condition of the process that nothing signals (the thread
    count, the open files) until it holds; a bound, not a measurement."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def test_abandoned_iterator_releases_the_files(qtof_run):
    folder, _ = qtof_run
    before = open_fds()
    threads_before = os_threads()
    for _ in range(20):
        for s in velorium.iter_spectra(str(folder)):
            break
        del s
    gc.collect()
    assert wait_for(lambda: open_fds() <= before)
    assert wait_for(lambda: os_threads() <= threads_before)  # every decoding thread has ended


def test_dropping_an_iterator_never_waits_for_its_thread(tmp_path):
    """The decoding thread is held in the open of a FIFO until this test writes
    it, after the iterator is gone: dropping it must not join that thread."""
    fifo = fifo_acquisition(tmp_path / "held.d")
    threads_before = os_threads()
    it = velorium.iter_spectra(str(tmp_path / "held.d"))
    del it
    gc.collect()  # returns although the thread cannot end yet
    with open(fifo, "wb") as f:  # returns once the thread has opened the FIFO
        f.write(msscan_bytes([ScanRecord(1, 0.5), ScanRecord(2, 0.6)], 196))
    assert wait_for(lambda: os_threads() <= threads_before)


def fifo_acquisition(folder):
    """An acquisition whose MSScan.bin is a FIFO: opening it blocks the
    decoding thread until the test writes the scan index."""
    (folder / "AcqData").mkdir(parents=True)
    fifo = folder / "AcqData" / "MSScan.bin"
    os.mkfifo(fifo)
    return fifo


def test_second_concurrent_next_is_refused(tmp_path):
    """Two threads call next() while the decoding thread is held in the open
    of a FIFO: whichever comes second is refused at once, and the first gets
    the first spectrum once the FIFO is written."""
    fifo = fifo_acquisition(tmp_path / "fifo.d")
    it = velorium.iter_spectra(str(tmp_path / "fifo.d"))
    results, refusals = [], []
    refused = threading.Event()

    def call_next():
        try:
            results.append(next(it))
        except RuntimeError as e:
            refusals.append(e.args)
            refused.set()

    callers = [threading.Thread(target=call_next) for _ in range(2)]
    for caller in callers:
        caller.start()
    assert refused.wait(120)  # a bound against a hang, not a measurement
    assert refusals == [("Already borrowed",)] and results == []
    with open(fifo, "wb") as f:
        f.write(msscan_bytes([ScanRecord(1, 0.5), ScanRecord(2, 0.6)], 196))
    for caller in callers:
        caller.join(120)
    assert not any(caller.is_alive() for caller in callers)
    assert [s.index for s in results] == [0]
    assert next(it).index == 1
    with pytest.raises(StopIteration):
        next(it)


def test_other_threads_run_while_next_waits(tmp_path):
    fifo = fifo_acquisition(tmp_path / "fifo2.d")
    it = velorium.iter_spectra(str(tmp_path / "fifo2.d"))

    def feed():
        # Runs only if next() below released the interpreter lock.
        with open(fifo, "wb") as f:
            f.write(msscan_bytes([ScanRecord(1, 0.5)], 196))

    feeder = threading.Thread(target=feed)
    feeder.start()
    assert next(it).scan_number == 1
    feeder.join(10)
