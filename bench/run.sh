#!/usr/bin/env bash
# velorium's benchmark suite, in one command: builds the C++ decoder benchmark
# and velorium for CPython 3.14 and the machine's python3, writes the
# synthetic acquisitions (about 550 MB on disk, 140 of them runs for Dask) and their
# mzML copy, runs every comparison side by side, and writes BENCHMARKS.md and,
# from it, the benchmark summary of README.md (the block between its markers).
# About 15 minutes on an idle 2-core machine; the data and the builds are kept
# in build/bench and reused by the next run.
#
#   bash bench/run.sh
#   VELORIUM_BENCH_QUICK=1 bash bench/run.sh    a check of the harness: smaller acquisitions, one round,
#                                               python3 only; the report says so
#
# Environment:
#   VELORIUM_BENCH_DIR=DIR    work folder (default build/bench): builds, venvs, data, results
#   VELORIUM_BENCH_OUT=FILE   the report (default BENCHMARKS.md at the top of the repository)
#   VELORIUM_BENCH_README=FILE  the README whose summary block is rewritten (default README.md there;
#                             "none" leaves it alone)
#   VELORIUM_BENCH_REPS=N     rounds of each timed comparison (default 5; 3 for the mzML readers)
#   VELORIUM_SHARED=DIR       where tools/cpython314 is (default ../shared beside the repository)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
work=${VELORIUM_BENCH_DIR:-$root/build/bench}
out=${VELORIUM_BENCH_OUT:-$root/BENCHMARKS.md}
readme=${VELORIUM_BENCH_README:-$root/README.md}
quick=${VELORIUM_BENCH_QUICK:-0}
export VELORIUM_BENCH_QUICK=$quick
if [ "$quick" = 1 ]; then reps=${VELORIUM_BENCH_REPS:-1}; else reps=${VELORIUM_BENCH_REPS:-5}; fi
mzml_reps=$(( reps > 3 ? 3 : reps ))
convert_reps=$(( reps > 2 ? 2 : reps ))
shared=${VELORIUM_SHARED:-$root/../shared}
results=$work/results
if [ "$quick" = 1 ]; then data=$work/data-quick; else data=$work/data; fi
logs=$work/logs
mkdir -p "$results" "$data" "$logs"
rm -f "$results"/*.json "$results/steps.tsv" "$results/commands.txt"
if [ "$quick" = 1 ]; then echo '{"quick": true}' >"$results/run.json"; else echo '{"quick": false}' >"$results/run.json"; fi
export PYTHONPATH=$root/bench${PYTHONPATH:+:$PYTHONPATH}
suite_start=$(date +%s)

say() { printf '== %s\n' "$*" >&2; }
note_command() { printf '%s\n' "$*" >>"$results/commands.txt"; }
step() {  # name, command...: runs it, logs it, records its wall time
  local name=$1; shift
  local t0; t0=$(date +%s.%N)
  say "$name"
  "$@"
  local t1; t1=$(date +%s.%N)
  printf '%s\t%.1f\n' "$name" "$(echo "$t1 - $t0" | bc)" >>"$results/steps.tsv"
}

# --- What the builds need ------------------------------------------------------
# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"
ensure_debs g++ cmake ninja-build bc pkg-config libpugixml-dev libbenchmark-dev liblzf-dev liblzf1 \
  libdeflate-dev libcli11-dev

note_command "bash bench/run.sh    # everything below, then the report"
python3 -m velbench machine --out "$results/machine.json"   # the load average before the run

# --- C++: LZF and block decoders -------------------------------------------------
cpp_build=$work/cpp
min_time=0.2
[ "$quick" = 1 ] && min_time=0.02
cpp_bench() {
  cmake -S . -B "$cpp_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELORIUM_BUILD_BENCH=ON \
    -DVELORIUM_BUILD_TESTS=OFF -DVELORIUM_BUILD_PYTHON=OFF >"$logs/cmake.log"
  cmake --build "$cpp_build" -j 2 --target velorium_bench velorium_spectrum_time velorium_codecs_time >"$logs/cpp-build.log" 2>&1 \
    || { tail -n 40 "$logs/cpp-build.log"; return 1; }
  # Random interleaving: the repetitions of every case run in one shuffled
  # order, so that a busy spell of the machine does not fall on one side only.
  "$cpp_build/bench/velorium_bench" --benchmark_min_time="$min_time" --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$results/cpp-raw.json" --benchmark_out_format=json >"$logs/cpp-bench.txt"
  python3 -m velbench cpp "$results/cpp-raw.json" --out "$results/cpp.json"
}
note_command "cmake -S . -B build/bench/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELORIUM_BUILD_BENCH=ON -DVELORIUM_BUILD_TESTS=OFF"
note_command "cmake --build build/bench/cpp -j 2 --target velorium_bench velorium_spectrum_time velorium_codecs_time"
note_command "build/bench/cpp/bench/velorium_bench --benchmark_min_time=$min_time --benchmark_repetitions=$reps --benchmark_enable_random_interleaving=true --benchmark_out=cpp-raw.json --benchmark_out_format=json"
step "C++ decoder benchmark" cpp_bench

# --- Python environments ---------------------------------------------------------
labels=()
declare -A python_of
make_venv() {  # label, command that creates the venv given as its last argument
  local label=$1 venv=$work/venv-$1; shift
  [ -x "$venv/bin/python" ] || "$@" "$venv" >/dev/null
  "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[dask]" -r bench/requirements.txt \
    >"$logs/pip-$label.log" 2>&1 || { tail -n 40 "$logs/pip-$label.log"; return 1; }
  python_of[$label]=$venv/bin/python
  labels+=("$label")
}
if [ "$quick" = 1 ]; then
  say "quick mode: python3 only"
elif [ -x "$shared/tools/cpython314" ]; then
  step "venv py314 (pip install . -r bench/requirements.txt)" make_venv py314 "$shared/tools/cpython314" --venv
else
  say "no CPython 3.14 ($shared/tools/cpython314): python3 only"
fi
step "venv py3 (pip install . -r bench/requirements.txt)" make_venv py3 python3 -m venv
primary=${python_of[${labels[0]}]}
note_command "python -m venv ...; pip install .[dask] -r bench/requirements.txt    # for: ${labels[*]}"

# --- Data ------------------------------------------------------------------------
step "acquisitions" "$primary" -m velbench data --dir "$data" --out "$results/datasets.json"
note_command "python3 tools/write_acquisition.py DIR/NAME.d ARGS    # for each acquisition listed below"

# --- Python-side benchmarks ------------------------------------------------------
big=$data/profile-1g.d
small=$data/profile-100m.d
run=$data/qtof-run.d
step "whole decode" "$primary" -m velbench decode "$big" --reps "$reps" --out "$results/decode.json"
note_command "python -m velbench decode DIR/profile-1g.d --reps $reps    # ${labels[0]}"
step "perf samples" "$primary" -m velbench profile "$big" --out "$results/profile.json"
note_command "python -m velbench profile DIR/profile-1g.d    # perf record of iter_spectra and RawReader, ${labels[0]}"
step "memory" "$primary" -m velbench memory "$small" "$big" --out "$results/memory.json"
note_command "python -m velbench memory DIR/profile-100m.d DIR/profile-1g.d    # ${labels[0]}"
million=$data/million-point.d
for label in "${labels[@]}"; do
  step "array access ($label)" "${python_of[$label]}" -m velbench arrays "$million" --small "$run" --reps "$reps" \
    --out "$results/arrays-$label.json"
done
note_command "python -m velbench arrays DIR/million-point.d --small DIR/qtof-run.d --reps $reps    # ${labels[*]}"
step "Acquisition" "$primary" -m velbench acquisition "$small" "$big" --cpp "$cpp_build/bench/velorium_spectrum_time" \
  --reps "$reps" --out "$results/acquisition.json"
note_command "python -m velbench acquisition DIR/profile-100m.d DIR/profile-1g.d --cpp build/bench/cpp/bench/velorium_spectrum_time --reps $reps    # ${labels[0]}"
step "xic" "$primary" -m velbench xic "$big" --reps "$reps" --out "$results/xic.json"
note_command "python -m velbench xic DIR/profile-1g.d --reps $reps    # ${labels[0]}"
for label in "${labels[@]}"; do
  step "hand-over ($label)" "${python_of[$label]}" -m velbench handover "$run" --reps "$reps" \
    --out "$results/handover-$label.json"
done
note_command "python -m velbench handover DIR/qtof-run.d --reps $reps    # ${labels[*]}"
stamp="$(cat "$data/qtof-run.stamp") / $("$primary" -c 'import pyopenms; print(pyopenms.__version__)')"
step "mzML copy (setup)" "$primary" -m velbench mzml-write "$run" "$data/qtof-run.mzML" --stamp "$stamp" >/dev/null
note_command "python -m velbench mzml-write DIR/qtof-run.d DIR/qtof-run.mzML    # setup, not measured"
for label in "${labels[@]}"; do
  step "mzML readers ($label)" "${python_of[$label]}" -m velbench mzml "$run" "$data/qtof-run.mzML" \
    --reps "$mzml_reps" --out "$results/mzml-$label.json"
done
note_command "python -m velbench mzml DIR/qtof-run.d DIR/qtof-run.mzML --reps $mzml_reps    # ${labels[*]}"

step "peak picking" "$primary" -m velbench peaks "$root/examples/data/sample.d" --large "$big" --reps "$reps" \
  --out "$results/peaks.json"
note_command "python -m velbench peaks examples/data/sample.d --large DIR/profile-1g.d --reps $reps    # ${labels[0]}"

step "convert to mzML" "$primary" -m velbench convert "$big" "$small" --work "$work/convert" \
  --reps "$convert_reps" --out "$results/convert.json"
note_command "python -m velbench convert DIR/profile-1g.d DIR/profile-100m.d --reps $convert_reps    # velorium convert, pyopenms store, psims in interleaved rounds; ${labels[0]}"

step "output codecs" "$primary" -m velbench codecs --cpp "$cpp_build/bench/velorium_codecs_time" --reps "$reps" \
  --out "$results/codecs.json"
note_command "python -m velbench codecs --cpp build/bench/cpp/bench/velorium_codecs_time --reps $reps    # MS-Numpress against pynumpress, SHA-1 against hashlib; ${labels[0]}"
step "many runs on Dask" "$primary" -m velbench many --data "$data" --big "$big" --reps "$reps" \
  --out "$results/many.json"
note_command "python -m velbench many --data DIR --big DIR/profile-1g.d --reps $reps    # velorium.dask on a LocalCluster; ${labels[0]}"

# --- The portable wheel's build against the system compiler's ----------------------
portable_wheel=
zig_venv() {
  local venv=$work/venv-py3-zig
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  portable_wheel=$(bash scripts/zig-wheel.sh x86_64 "$venv/bin/python" . "$work/zig-wheel") || return 1
  "$venv/bin/python" -m pip uninstall -q -y velorium >/dev/null 2>&1 || true
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$portable_wheel" -r bench/requirements.txt \
    >"$logs/pip-py3-zig.log" 2>&1 || { tail -n 40 "$logs/pip-py3-zig.log"; return 1; }
}
step "venv py3-zig (the portable wheel, scripts/zig-wheel.sh)" zig_venv
step "toolchain" "${python_of[py3]}" -m velbench toolchain "$small" --system "${python_of[py3]}" \
  --zig "$work/venv-py3-zig/bin/python" --wheel "$portable_wheel" --work "$work/toolchain" --reps "$reps" \
  --out "$results/toolchain.json"
note_command "python -m velbench toolchain DIR/profile-100m.d --system py3 --zig py3-zig --reps $reps    # the same CPython, g++ build against the portable wheel"

step "export options" "$primary" -m velbench export "$big" "$small" --work "$work/export" --reps "$convert_reps" \
  --out "$results/export.json"
note_command "python -m velbench export DIR/profile-1g.d DIR/profile-100m.d --reps $convert_reps    # sizes, the options and pyopenms store with numpress in interleaved rounds, memory; ${labels[0]}"

# --- Report ----------------------------------------------------------------------
machine_args=()
for label in "${labels[@]}"; do machine_args+=(--python "${python_of[$label]}"); done
python3 -m velbench machine "${machine_args[@]}" --out "$results/machine.json"
readme_args=()
[ "$readme" = none ] || readme_args=(--readme "$readme")
"$primary" -m velbench report --results "$results" --out "$out" "${readme_args[@]}"
say "wrote $out${readme_args[1]:+ and the summary of ${readme_args[1]}} in $(( $(date +%s) - suite_start ))s"
