#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19 and runs each one for the given
# number of seconds from its committed seed corpus. New inputs go to
# fuzz/out/corpus/<target>/ (not committed); crashes, timeouts and
# out-of-memory reports go to fuzz/out/artifacts/<target>/ and make the
# script fail. Installs clang-19 and the build dependencies with apt-get
# when they are missing.
#
#   bash fuzz/run.sh [seconds-per-target] [target...]     default: 60, all
#
# Environment: VELORIUM_FUZZ_JOBS (build jobs, default 2),
# VELORIUM_FUZZ_ARGS (extra libFuzzer arguments).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
seconds=${1:-60}
shift || true
# One target per fuzz/<name>_fuzzer.cpp, as fuzz/CMakeLists.txt builds them.
all_targets=()
for source in "$here"/*_fuzzer.cpp; do all_targets+=("$(basename "$source" _fuzzer.cpp)"); done
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
jobs=${VELORIUM_FUZZ_JOBS:-2}
build=$repo/build/fuzz
out=$here/out

say() { printf '\n== %s\n' "$*"; }

# --- Toolchain ---------------------------------------------------------------
# shellcheck source=scripts/ensure-debs.sh
source "$repo/scripts/ensure-debs.sh"
ensure_debs clang-19 libclang-rt-19-dev cmake ninja-build pkg-config libpugixml-dev liblzf-dev liblzf1 \
  libdeflate-dev

# --- Build -------------------------------------------------------------------
mkdir -p "$out"
start=$(date +%s)
say "building the fuzz targets (clang-19, ${jobs} jobs)"
CC=clang-19 CXX=clang++-19 cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELORIUM_BUILD_FUZZ=ON -DVELORIUM_BUILD_TESTS=OFF -DVELORIUM_BUILD_CLI=OFF -DVELORIUM_WERROR=ON >"$out/cmake.log" 2>&1 \
  || { tail -n 40 "$out/cmake.log"; exit 1; }
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}" >"$out/build.log" 2>&1 \
  || { tail -n 60 "$out/build.log"; exit 1; }
echo "built in $(( $(date +%s) - start ))s"

# --- Run ---------------------------------------------------------------------
dict_of() {
  case $1 in
    msscan) echo msscan ;;
    lzf) echo lzf ;;
    profile_block | run_length) echo profile ;;
    defaultmasscal | devices_xml | contents_xml) echo xml ;;
    acquisition | mzml) echo acquisition ;;
    *) echo "" ;;
  esac
}
max_len_of() {
  case $1 in
    acquisition | mzml) echo 32768 ;;
    defaultmasscal | devices_xml | contents_xml) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

failed=()
summary=()
for t in "${targets[@]}"; do
  say "fuzzing $t for ${seconds}s"
  work=$out/corpus/$t
  artifacts=$out/artifacts/$t
  scratch=$out/scratch/$t
  mkdir -p "$work" "$artifacts" "$scratch"
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10
        -max_len="$(max_len_of "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/")
  dict=$(dict_of "$t")
  [ -n "$dict" ] && args+=(-dict="$here/dict/$dict.dict")
  # shellcheck disable=SC2206
  extra=(${VELORIUM_FUZZ_ARGS:-})
  log=$out/$t.log
  # The first corpus folder receives new inputs; the committed seeds are
  # only read.
  if VELORIUM_FUZZ_SCRATCH=$scratch "$build/fuzz/fuzz_$t" "${args[@]}" "${extra[@]}" "$work" "$here/corpus/$t" \
      >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$t")
    grep -E -A 30 '^==[0-9]+==ERROR|fuzz invariant|SUMMARY|Test unit written' "$log" | head -n 60 || tail -n 40 "$log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -n 1)
  line="$t: $status, ${execs:-?} executions, ${cov:-no coverage line}"
  echo "$line"
  summary+=("$line")
done

say "summary (${seconds}s per target, $(( $(date +%s) - start ))s in all)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (inputs in $out/artifacts/)"
  exit 1
fi
echo "${#targets[@]} passed, 0 failed"
