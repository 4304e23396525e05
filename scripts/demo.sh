#!/usr/bin/env bash
# The quick look at an acquisition, from a clean checkout: installs what the
# build needs, creates a virtual environment (build/venv-demo, with the
# machine's python3), installs velorium into it with the demo's requirements,
# and runs examples/quicklook.py with the arguments given.
#
#   bash scripts/demo.sh                    the sample run examples/data/sample.d -> ./quicklook.png
#   bash scripts/demo.sh RUN.d --out x.png  your own acquisition (see --help)
#   bash scripts/demo.sh --ci               the checks of the demo and of the benchmark suite's own code
#                                           (tests/examples, tests/bench), for scripts/test.sh
#
# Environment:
#   VELORIUM_DEMO_PYTHON=PATH   use this interpreter instead of build/venv-demo; velorium must
#                               already be installed in it (scripts/test.sh passes its test venv)
#   VELORIUM_DEMO_PIP_ARGS=...  extra arguments for pip (e.g. --no-index --find-links DIR)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ci=0
if [ "${1:-}" = "--ci" ]; then ci=1; shift; fi
start=$(date +%s)
say() { printf '== %s\n' "$*" >&2; }

# --- Build dependencies (Debian packages) ------------------------------------
# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"

pip_quiet() {  # python, pip arguments...
  local py=$1; shift
  # shellcheck disable=SC2086
  "$py" -m pip install -q --disable-pip-version-check ${VELORIUM_DEMO_PIP_ARGS:-} "$@"
}

# --- The interpreter ---------------------------------------------------------
if [ -n "${VELORIUM_DEMO_PYTHON:-}" ]; then
  py=$VELORIUM_DEMO_PYTHON
  # An absolute path (the checks run in another folder); symlinks are kept, a venv's python is one.
  case $py in
    */*) py=$(cd "$(dirname "$py")" && pwd)/$(basename "$py") ;;
    *) py=$(command -v "$py") || { echo "demo.sh: $VELORIUM_DEMO_PYTHON: not found" >&2; exit 1; } ;;
  esac
  "$py" -c 'import velorium' 2>/dev/null || {
    echo "demo.sh: velorium is not installed for $py (unset VELORIUM_DEMO_PYTHON to build it)" >&2
    exit 1
  }
  if ! "$py" -c 'import numpy, matplotlib' 2>/dev/null; then
    say "installing the demo's requirements into $py"
    pip_quiet "$py" -r "$root/examples/requirements.txt"
  fi
else
  ensure_debs g++ pkg-config libpugixml-dev libdeflate-dev libcli11-dev
  venv=$root/build/venv-demo
  if [ ! -x "$venv/bin/python" ]; then
    say "creating $venv ($(python3 --version 2>&1))"
    python3 -m venv "$venv"
  fi
  py=$venv/bin/python
  say "installing velorium and the demo's requirements into build/venv-demo (the first build takes a minute or two)"
  log=$root/build/demo-pip.log
  (cd "$root" && pip_quiet "$py" . -r examples/requirements.txt) >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "demo.sh: pip install failed; the whole log is $log" >&2
    exit 1
  }
fi

# --- Run ---------------------------------------------------------------------
if [ "$ci" = 1 ]; then
  "$py" -c 'import pytest' 2>/dev/null || pip_quiet "$py" pytest
  say "demo and benchmark-suite checks with $("$py" --version 2>&1)"
  rc=0
  (cd "$root/tests" && "$py" -m pytest -q -p no:cacheprovider examples bench) || rc=$?
  say "checks finished in $(( $(date +%s) - start ))s"
  exit $rc
fi
exec "$py" "$root/examples/quicklook.py" "$@"
