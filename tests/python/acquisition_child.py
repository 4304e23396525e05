"""What a worker process does with an Acquisition it received pickled (kept
apart from the test modules so that the worker imports nothing else)."""


def read_in_child(acq, indices):
    return repr(acq), acq.prefer, [(s.index, s.scan_mode, s.mz, s.intensity) for s in (acq[i] for i in indices)]
