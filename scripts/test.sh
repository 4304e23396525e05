#!/usr/bin/env bash
# Runs every test of velorium on this machine: installs what is missing,
# builds the C++ library and its tests (plain and with AddressSanitizer +
# UndefinedBehaviorSanitizer), installs the C++ package and builds a small
# program against it, builds and installs the Python module for
# CPython 3.14 and for the machine's python3, and runs the Python tests on
# both; builds the sdist and the wheel and runs the installed wheel without
# build tools (scripts/wheel-check.sh). Exits non-zero if anything fails.
#
#   bash scripts/test.sh            everything
#   VELORIUM_TEST_QUICK=1 ...       plain C++ build and python3 only
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
shared=${VELORIUM_SHARED:-$here/../shared}
jobs=${VELORIUM_JOBS:-$(nproc)}
quick=${VELORIUM_TEST_QUICK:-0}
out=$here/build/test
mkdir -p "$out"

say() { printf '\n== %s\n' "$*"; }
elapsed() { echo "$(( $(date +%s) - start ))s"; }
start=$(date +%s)

# --- What the build and the tests need -------------------------------------
# shellcheck source=scripts/ensure-debs.sh
source "$here/scripts/ensure-debs.sh"
ensure_debs g++ cmake ninja-build pkg-config libpugixml-dev libgtest-dev liblzf-dev liblzf1 \
  libdeflate-dev libcli11-dev zlib1g-dev strace

# --- C++ tests ---------------------------------------------------------------
cpp_suite() {  # name, extra cmake arguments...
  local name=$1; shift
  say "C++ tests ($name)"
  cmake -S . -B "build/$name" -G Ninja -DVELORIUM_WERROR=ON "$@" >"$out/cmake-$name.log"
  cmake --build "build/$name" -j "$jobs" >"$out/build-$name.log" 2>&1 || { tail -n 60 "$out/build-$name.log"; return 1; }
  ctest --test-dir "build/$name" -j "$jobs" --output-on-failure --timeout 600 >"$out/ctest-$name.log" 2>&1 \
    || { grep -v '^ *[0-9]*/[0-9]* Test *#[0-9]*: .* Passed' "$out/ctest-$name.log" | tail -n 80; return 1; }
  grep -E "tests passed|tests failed" "$out/ctest-$name.log"
}

cpp_suite cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$quick" != 1 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    cpp_suite asan -DCMAKE_BUILD_TYPE=Debug -DVELORIUM_SANITIZE=ON
fi

# --- The installed C++ package, used by a program outside the tree ---------
say "C++ package: install, then build tests/consumer against it"
rm -rf build/install build/consumer
cmake --install build/cpp --prefix build/install >"$out/install.log"
{ cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$here/build/install" \
    && cmake --build build/consumer -j "$jobs"; } >"$out/consumer.log" 2>&1 || { tail -n 40 "$out/consumer.log"; exit 1; }
[ ! -e build/install/include/velorium/raw ] || { echo "velorium/raw/ must not be installed"; exit 1; }
scans=$(build/consumer/scan_count examples/data/sample.d)
[ "$scans" = 400 ] || { echo "scan_count printed '$scans' for the sample acquisition, expected 400"; exit 1; }
echo "examples/data/sample.d: $scans scans"

# --- Fuzz targets (a short run of each from its corpus) and ThreadSanitizer --
if [ "$quick" != 1 ]; then
  say "fuzz smoke run"
  bash fuzz/run.sh 5 >"$out/fuzz.log" 2>&1 || { tail -n 60 "$out/fuzz.log"; exit 1; }
  tail -n 1 "$out/fuzz.log"
  say "C++ tests (ThreadSanitizer)"
  bash fuzz/tsan.sh >"$out/tsan.log" 2>&1 || { tail -n 80 "$out/tsan.log"; exit 1; }
  tail -n 1 "$out/tsan.log"
fi

# --- Python tests ------------------------------------------------------------
# The output codecs, built with the C++ tests, for the Python tests that
# compare them with other implementations (tests/python/test_codecs.py).
export VELORIUM_CODEC_TOOL=$here/build/cpp/tests/cpp/codec_tool
python_suite() {  # label, command that creates the venv given as its last argument
  local label=$1 venv=$here/build/venv-$1; shift
  [ -x "$venv/bin/python" ] || "$@" "$venv" >/dev/null
  say "Python tests ($label: $("$venv/bin/python" --version 2>&1))"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --config-settings=cmake.define.VELORIUM_WERROR=ON ".[test]" >"$out/pip-$label.log" 2>&1 \
    || { tail -n 60 "$out/pip-$label.log"; return 1; }
  (cd "$here/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

python_suite python3 python3 -m venv
if [ "$quick" != 1 ]; then
  python_suite py314 "$shared/tools/cpython314" --venv
fi

# --- The wheel: sdist, manylinux wheel, installed and run without build tools --
if [ "$quick" != 1 ]; then
  say "wheel check (python3)"
  VELORIUM_WHEEL_REQUIRE_CLI=1 bash scripts/wheel-check.sh
fi

# --- The demo and the benchmark suite's own code ------------------------------
say "demo checks"
VELORIUM_DEMO_PYTHON=$here/build/venv-python3/bin/python bash scripts/demo.sh --ci

say "all tests passed in $(elapsed)"
