#!/usr/bin/env python3
"""Convert many acquisitions to mzML in parallel with Dask distributed.

    python examples/convert_many.py RUN1.d RUN2.d ... -o OUTDIR
    python examples/convert_many.py /data/*.d -o /data/mzml --workers 8
    python examples/convert_many.py /shared/*.d -o /shared/mzml --scheduler tcp://host:8786

Each acquisition is converted by one task of velorium.dask.convert
(velorium.Acquisition(path).to_mzml), on whichever worker Dask gives it;
OUTDIR/NAME.mzML for RUN NAME.d. Without --scheduler a LocalCluster of worker
processes on this machine does the work; with it, the workers of that cluster
do, and the paths must then be the same on every worker (a shared file
system). Nothing is shared between the tasks: each opens its own acquisition
and writes its own file, under a temporary name that becomes NAME.mzML only
when the file is complete; of two inputs named alike, the later one fails.

Prints one line per acquisition and exits with status 1 when any failed.
Needs velorium[dask].
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path


def convert_all(paths: Sequence[str], out_dir: str, client, compression: bool = True) -> list[dict]:
    """Convert every path on the client's cluster. Returns one record per
    path, in the order given: {"input", "output", "spectra", "bytes"} for a
    file written, or {"input": path, "error": text} for a path that failed."""
    import velorium
    import velorium.dask

    with client.as_current():
        outcomes = velorium.dask.convert(paths, out_dir, compression=compression)
    results = []
    for outcome in outcomes:
        if outcome.error is not None:
            results.append({"input": outcome.path, "error": outcome.error})
        else:
            results.append({"input": outcome.path, "output": outcome.output,
                            "spectra": len(velorium.Acquisition(outcome.path)),
                            "bytes": Path(outcome.output).stat().st_size})
    return results


def main(argv: Sequence[str] | None = None) -> int:
    p = argparse.ArgumentParser(description="Convert acquisitions to mzML with Dask distributed.")
    p.add_argument("inputs", nargs="+", help="acquisition folders (NAME.d)")
    p.add_argument("-o", "--out", required=True, help="output folder (created if missing)")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes of the local cluster (default: one per CPU)")
    p.add_argument("--scheduler", help="address of an existing Dask scheduler instead of a local cluster")
    p.add_argument("--no-compression", action="store_true", help="binary arrays without zlib compression")
    args = p.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    Path(args.out).mkdir(parents=True, exist_ok=True)
    inputs = [str(Path(i).resolve()) for i in args.inputs]
    out_dir = str(Path(args.out).resolve())
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        # One thread per worker process: velorium decodes each acquisition on
        # several threads of its own.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        results = convert_all(inputs, out_dir, client, compression=not args.no_compression)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    failed = 0
    for r in results:
        if "error" in r:
            failed += 1
            print(f"{r['input']}: failed: {r['error']}", file=sys.stderr)
        else:
            print(f"{r['input']} -> {r['output']} ({r['spectra']} spectra, {r['bytes']} bytes)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
