"""velorium's benchmark suite: side-by-side measurements and the BENCHMARKS.md report.

Run it with ``bash bench/run.sh``; each step is also ``python -m velbench STEP ...``
with ``bench`` on PYTHONPATH (see ``python -m velbench --help``).
"""
