#!/usr/bin/env bash
# Runs every test of velorium on this machine: installs what is missing,
# builds the C++ library and its tests (plain and with AddressSanitizer +
# UndefinedBehaviorSanitizer), installs the C++ package and builds a small
# program against it, builds the sdist and from it the portable wheel and runs
# the installed wheel without build tools (scripts/wheel-check.sh), runs the
# Python tests on that wheel (python3) and on the sdist built with the
# system's compiler (CPython 3.14), comparing the two builds' output. Exits
# non-zero if anything fails.
#
# Every test runner writes a JUnit report into build/test/junit/; at the end
# scripts/skips.py prints how many tests were skipped and why, and fails the
# run if a skip's reason is not declared in tests/skips-allowed.txt.
#
#   bash scripts/test.sh            everything
#   VELORIUM_TEST_QUICK=1 ...       plain C++ build and python3 (built from the checkout) only
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
shared=${VELORIUM_SHARED:-$here/../shared}
jobs=${VELORIUM_JOBS:-$(nproc)}
quick=${VELORIUM_TEST_QUICK:-0}
out=$here/build/test
junit=$out/junit
rm -rf "$junit"
mkdir -p "$out" "$junit"
reports=()  # SUITE=FILE.xml for scripts/skips.py

say() { printf '\n== %s\n' "$*"; }
elapsed() { echo "$(( $(date +%s) - start ))s"; }
start=$(date +%s)

# --- What the build and the tests need -------------------------------------
# shellcheck source=scripts/ensure-debs.sh
source "$here/scripts/ensure-debs.sh"
ensure_debs g++ cmake ninja-build pkg-config libpugixml-dev libgtest-dev liblzf-dev liblzf1 strace util-linux \
  libdeflate-dev libcli11-dev zlib1g-dev

# --- C++ tests ---------------------------------------------------------------
cpp_suite() {  # name, extra cmake arguments...
  local name=$1; shift
  say "C++ tests ($name)"
  cmake -S . -B "build/$name" -G Ninja -DVELORIUM_WERROR=ON "$@" >"$out/cmake-$name.log"
  cmake --build "build/$name" -j "$jobs" >"$out/build-$name.log" 2>&1 || { tail -n 60 "$out/build-$name.log"; return 1; }
  ctest --test-dir "build/$name" -j "$jobs" --output-on-failure --timeout 600 --output-junit "$junit/$name.xml" \
    >"$out/ctest-$name.log" 2>&1 \
    || { grep -v '^ *[0-9]*/[0-9]* Test *#[0-9]*: .* Passed' "$out/ctest-$name.log" | tail -n 80; return 1; }
  grep -E "tests passed|tests failed" "$out/ctest-$name.log"
  reports+=("$name=$junit/$name.xml")
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
for private in raw internal; do
  [ ! -e "build/install/include/velorium/$private" ] || { echo "velorium/$private/ must not be installed"; exit 1; }
done
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
  cp build/tsan/junit.xml "$junit/tsan.xml"
  reports+=("tsan=$junit/tsan.xml")
fi

# --- The portable wheel: sdist, the wheel built from it, installed and run ----
# without build tools (scripts/wheel-check.sh). The Python tests below run on
# this very wheel for python3.
if [ "$quick" != 1 ]; then
  say "wheel check (python3)"
  VELORIUM_WHEEL_REQUIRE_CLI=1 bash scripts/wheel-check.sh
fi

# --- Python tests ------------------------------------------------------------
# The output codecs, built with the C++ tests, for the Python tests that
# compare them with other implementations (tests/python/test_codecs.py).
export VELORIUM_CODEC_TOOL=$here/build/cpp/tests/cpp/codec_tool
# Each compiler's build gets the whole suite on one interpreter: python3 runs
# it on the portable wheel (zig's compiler and libc++), CPython 3.14 on the
# sdist built with the system's g++ and libstdc++, and there
# test_builds_agree.py compares, byte for byte, what the two builds make of
# the same acquisitions. The quick run builds python3's from the checkout.
python_suite() {  # label, what to install, command that creates the venv given as its last argument
  local label=$1 what=$2 venv=$here/build/venv-$1; shift 2
  [ -x "$venv/bin/python" ] || "$@" "$venv" >/dev/null
  say "Python tests ($label: $("$venv/bin/python" --version 2>&1), $what)"
  local install
  case $what in
    checkout) install=(".[test]") ;;
    # The hash is part of pip's wheel-cache key: without it a wheel built
    # from an older sdist at the same path and version would be reused.
    sdist) local sdist; sdist=$(ls "$here"/build/wheel-check/dist/velorium-*.tar.gz)
           install=("velorium[test] @ file://$sdist#sha256=$(sha256sum "$sdist" | cut -d' ' -f1)") ;;
    wheel) install=("velorium[test] @ file://$(ls "$here"/build/wheel-check/wheelhouse/velorium-*.whl)") ;;
  esac
  # Another build of the same version would count as installed.
  "$venv/bin/python" -m pip uninstall -q -y velorium >/dev/null 2>&1 || true
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --config-settings=cmake.define.VELORIUM_WERROR=ON "${install[@]}" >"$out/pip-$label.log" 2>&1 \
    || { tail -n 60 "$out/pip-$label.log"; return 1; }
  (cd "$here/tests/python" && "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider --junitxml="$junit/$label.xml" .)
  reports+=("$label=$junit/$label.xml")
}

if [ "$quick" = 1 ]; then
  python_suite python3 checkout python3 -m venv
else
  python_suite python3 wheel python3 -m venv
  VELORIUM_OTHER_BUILD=$here/build/venv-python3/bin/python \
    python_suite py314 sdist "$shared/tools/cpython314" --venv
fi

# --- The demo and the benchmark suite's own code ------------------------------
say "demo checks"
PYTEST_ADDOPTS="-rs --junitxml=$junit/examples-bench.xml" \
  VELORIUM_DEMO_PYTHON=$here/build/venv-python3/bin/python bash scripts/demo.sh --ci
reports+=("examples-bench=$junit/examples-bench.xml")

say "skipped tests"
python3 scripts/skips.py tests/skips-allowed.txt "${reports[@]}"

say "all tests passed in $(elapsed)"
