#!/usr/bin/env bash
# Builds the C++ tests with ThreadSanitizer (-DVELORIUM_TSAN=ON) and runs
# them through CTest: the channel (including a producer thread that streams
# records while the receiver is dropped), concurrent Reader::spectrum calls
# and the logging facade from several threads, and every other test too.
# Any ThreadSanitizer report fails the run.
#
#   bash fuzz/tsan.sh [ctest regex]     default: every test
#
# Environment: CXX (compiler, default g++), VELORIUM_TSAN_JOBS (default 2).
# The JUnit report of the run is build/tsan/junit.xml.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build/tsan
jobs=${VELORIUM_TSAN_JOBS:-2}
mkdir -p "$build"
start=$(date +%s)

echo "== building the C++ tests with ThreadSanitizer (${CXX:-g++})"
CXX=${CXX:-g++} cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELORIUM_TSAN=ON \
  -DVELORIUM_WERROR=ON >"$build/cmake.log" 2>&1 || { tail -n 40 "$build/cmake.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target velorium_tests >"$build/build.log" 2>&1 \
  || { tail -n 60 "$build/build.log"; exit 1; }
echo "built in $(( $(date +%s) - start ))s"

# halt_on_error makes the first report fail its test; exitcode keeps that
# failure apart from an ordinary assertion.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:report_signal_unsafe=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
filter=()
[ $# -gt 0 ] && filter=(-R "$1")
echo "== running the tests under ThreadSanitizer"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300 --output-junit "$build/junit.xml" \
  "${filter[@]}" >"$build/ctest.log" 2>&1 \
  || { grep -E -B2 -A40 'WARNING: ThreadSanitizer|Failed|\*\*\*' "$build/ctest.log" | head -n 120; exit 1; }
if grep -q 'ThreadSanitizer' "$build/ctest.log"; then
  grep -A40 'ThreadSanitizer' "$build/ctest.log" | head -n 80
  exit 1
fi
grep -E 'tests passed|tests failed' "$build/ctest.log"
echo "ThreadSanitizer: no reports, $(( $(date +%s) - start ))s in all"
