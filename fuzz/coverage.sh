#!/usr/bin/env bash
# Line and branch coverage of the library reached by the fuzz corpora: builds
# the targets with source-based coverage (no sanitizers), replays the
# committed seeds and whatever fuzz/run.sh has added in fuzz/out/corpus/,
# and prints llvm-cov's report for velorium/src and lumora-core/src.
#
#   bash fuzz/coverage.sh [target...]      default: all
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build/fuzz-coverage
out=$here/out/coverage
# One target per fuzz/<name>_fuzzer.cpp, as fuzz/CMakeLists.txt builds them.
all_targets=()
for source in "$here"/*_fuzzer.cpp; do all_targets+=("$(basename "$source" _fuzzer.cpp)"); done
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
rm -rf "$out" && mkdir -p "$out/scratch"

CC=clang-19 CXX=clang++-19 cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELORIUM_BUILD_FUZZ=ON -DVELORIUM_FUZZ_COVERAGE=ON -DVELORIUM_BUILD_TESTS=OFF -DVELORIUM_BUILD_CLI=OFF >"$out/cmake.log" 2>&1 \
  || { tail -n 40 "$out/cmake.log"; exit 1; }
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "${VELORIUM_FUZZ_JOBS:-2}" --target "${build_targets[@]}" >"$out/build.log" 2>&1 \
  || { tail -n 60 "$out/build.log"; exit 1; }

objects=()
for t in "${targets[@]}"; do
  dirs=("$here/corpus/$t")
  [ -d "$here/out/corpus/$t" ] && dirs+=("$here/out/corpus/$t")
  LLVM_PROFILE_FILE="$out/$t.profraw" VELORIUM_FUZZ_SCRATCH="$out/scratch" \
    "$build/fuzz/fuzz_$t" -runs=0 "${dirs[@]}" >"$out/$t.log" 2>&1
  llvm-profdata-19 merge -sparse "$out/$t.profraw" -o "$out/$t.profdata"
  echo "== $t ($(ls "${dirs[@]}" | wc -l) inputs)"
  llvm-cov-19 report "$build/fuzz/fuzz_$t" -instr-profile="$out/$t.profdata" "$repo/velorium/src" \
    "$repo/lumora-core/src" | tail -n 1
  objects+=(-object "$build/fuzz/fuzz_$t")
done
llvm-profdata-19 merge -sparse "$out"/*.profdata -o "$out/all.profdata"
echo "== all targets together"
llvm-cov-19 report "${objects[@]:1}" -instr-profile="$out/all.profdata" "$repo/velorium/src" "$repo/lumora-core/src" \
  | tee "$out/report.txt"
echo "line-by-line: llvm-cov-19 show ${objects[*]:1} -instr-profile=$out/all.profdata <file>"
