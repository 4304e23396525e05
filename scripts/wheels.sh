#!/usr/bin/env bash
# The release build: the sdist and, from it, the portable wheels
# (scripts/zig-wheel.sh: zig's compiler for glibc 2.28 with its static C++
# runtime, tagged manylinux_2_28) for every supported CPython this machine
# has (3.9 to 3.13 from PATH or pyenv, 3.14 from the shared cpython314 tool),
# for x86_64 and aarch64, in dist/. Then the checks that do not fit in the
# test command's time: the whole Python test suite on the x86_64 wheels of
# CPython 3.11 and 3.14, and the aarch64 wheel of CPython 3.11 run under
# emulation (scripts/aarch64-check.sh). Ends with each step's time and each
# file's size. scripts/wheel-check.sh (in the test command) checks the
# x86_64 wheel the way users install it.
#
#   bash scripts/wheels.sh                    every interpreter found
#   bash scripts/wheels.sh PYTHON...          these interpreters only
#
# Environment:
#   VELORIUM_WHEELS_ARCHS="x86_64 aarch64"    the architectures to build for
#   VELORIUM_WHEELS_CHECK=0                   build only, no checks
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
shared=${VELORIUM_SHARED:-$root/../shared}
work=$root/build/wheels
out=$root/dist
archs=${VELORIUM_WHEELS_ARCHS:-x86_64 aarch64}
check=${VELORIUM_WHEELS_CHECK:-1}
say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'wheels: %s\n' "$*" >&2; exit 1; }
version=$(sed -nE 's/^project\(velorium +VERSION +([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in the project() call of CMakeLists.txt"
mkdir -p "$work" "$out"
times=()
timed() {  # label, command...: runs it and records its wall time
  local label=$1 t0=$SECONDS; shift
  "$@"
  times+=("$(printf '%-48s %5ds' "$label" $((SECONDS - t0)))")
}

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
tag_of() { "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'; }

# --- sdist ---------------------------------------------------------------------------
sdist_build() {
  local tools=$work/tools
  if ! "$tools/bin/python" -I -c 'import build' 2>/dev/null; then
    python3 -m venv --clear "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check build >"$work/pip.log" 2>&1 \
      || { tail -n 40 "$work/pip.log" >&2; fail "pip install build failed"; }
  fi
  rm -f "$out"/velorium-"$version"*
  "$tools/bin/python" -I -m build --sdist --outdir "$out" . >"$work/sdist.log" 2>&1 \
    || { tail -n 40 "$work/sdist.log" >&2; fail "sdist failed"; }
}
say "sdist"
timed "sdist" sdist_build
sdist=$out/velorium-$version.tar.gz

# --- The wheels, from the sdist ---------------------------------------------------------
for arch in $archs; do
  timed "toolchain $arch (zig, pugixml, libdeflate, CLI11)" bash scripts/zig-toolchain.sh "$arch" >/dev/null
  for py in "${pythons[@]}"; do
    timed "wheel $arch $(tag_of "$py")" bash scripts/zig-wheel.sh "$arch" "$py" "$sdist" "$out" >/dev/null
  done
done

# --- Checks ------------------------------------------------------------------------------
suite() {  # python: the whole Python test suite on the x86_64 wheel for its CPython
  local py=$1 tag venv
  tag=$(tag_of "$py")
  venv=$work/venv-test-$tag
  if [ ! -x "$venv/bin/python" ]; then
    if [ "$tag" = cp314 ] && [ -x "$shared/tools/cpython314" ]; then
      "$shared/tools/cpython314" --venv "$venv" >/dev/null
    else
      "$py" -m venv "$venv"
    fi
  fi
  "$venv/bin/python" -m pip uninstall -q -y velorium >/dev/null 2>&1 || true
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "velorium[test] @ file://$(ls "$out"/velorium-"$version"-"$tag"-"$tag"-manylinux_2_28_x86_64.whl)" \
    >"$work/pip-$tag.log" 2>&1 || { tail -n 40 "$work/pip-$tag.log" >&2; fail "installing the $tag wheel failed"; }
  say "the Python tests on the x86_64 wheel for $("$venv/bin/python" --version 2>&1)"
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}
if [ "$check" = 1 ]; then
  for py in "${pythons[@]}"; do
    case $(tag_of "$py") in
      cp311|cp314)
        if [[ " $archs " == *" x86_64 "* ]]; then timed "Python tests, x86_64 wheel $(tag_of "$py")" suite "$py"; fi ;;
    esac
  done
  if [[ " $archs " == *" aarch64 "* ]]; then
    reference=$work/venv-test-cp311/bin/python
    [ -x "$reference" ] || fail "the aarch64 check compares with the x86_64 cp311 wheel's environment, which is missing"
    timed "aarch64 wheel cp311 under emulation" \
      bash scripts/aarch64-check.sh "$(ls "$out"/velorium-"$version"-cp311-cp311-manylinux_2_28_aarch64.whl)" "$reference"
  fi
fi

say "times:"
printf '   %s\n' "${times[@]}" >&2
say "in $out:"
for file in "$sdist" "$out"/velorium-"$version"-*.whl; do
  printf '   %-66s %6s KiB\n' "$(basename "$file")" "$(du -k "$file" | cut -f1)" >&2
done
