#!/usr/bin/env bash
# The toolchain of the portable wheels: zig's C/C++ compiler (the ziglang
# package from PyPI) targeting glibc 2.28 with its own static C++ runtime
# (libc++, libc++abi, libunwind), and the libraries velorium uses (pugixml,
# libdeflate, CLI11), compiled from Debian's source packages with it as
# static libraries. Binaries built with it need nothing of the system but
# glibc 2.28 or newer: no libstdc++, no libgcc_s.
#
#   bash scripts/zig-toolchain.sh ARCH      ARCH: x86_64 or aarch64
#
# Prints the CMake toolchain file to pass as CMAKE_TOOLCHAIN_FILE. Everything
# lives in $VELORIUM_ZIG_DIR (build/zig): venv/ (zig), src/ (the sources),
# cache/ (zig's own cache: its C++ runtime, built once per target), and one
# folder per ARCH with bin/ (the compiler wrappers), prefix/ (the libraries)
# and toolchain.cmake. A complete folder is reused; the second call costs
# well under a second.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:?usage: zig-toolchain.sh x86_64|aarch64}
case $arch in x86_64|aarch64) ;; *) echo "zig-toolchain: unknown architecture $arch" >&2; exit 2 ;; esac
dir=${VELORIUM_ZIG_DIR:-$root/build/zig}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# glibc 2.28: RHEL, Rocky and AlmaLinux 8, Debian 10, Ubuntu 18.10 and later.
glibc=2.28
target=$arch-linux-gnu.$glibc
# The versions are pinned: the compiler decides the code of every wheel.
zig_version=0.15.2
sources=(pugixml libdeflate cli11)
here=$dir/$arch
say() { printf '== zig-toolchain: %s\n' "$*" >&2; }
fail() { printf 'zig-toolchain: %s\n' "$*" >&2; exit 1; }
stamp="zig $zig_version, target $target, sources ${sources[*]}, $(cat "${BASH_SOURCE[0]}" "$root/cmake/zig-toolchain.cmake.in" | sha1sum | cut -c1-12)"
if [ -f "$here/.complete" ] && [ "$(cat "$here/.complete")" = "$stamp" ]; then
  echo "$here/toolchain.cmake"
  exit 0
fi
log=$dir/$arch.log
: >"$log"
run() { "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "failed: $*; the whole log is $log"; }; }

# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"
ensure_debs make dpkg-dev cmake ninja-build pkg-config

# --- zig, from PyPI --------------------------------------------------------------
venv=$dir/venv
if ! "$venv/bin/python" -c "import ziglang, sys; sys.exit(open(ziglang.__path__[0] + '/../ziglang-$zig_version.dist-info/METADATA').read().find('Version: $zig_version') < 0)" 2>/dev/null; then
  say "installing ziglang $zig_version into $venv"
  rm -rf "$venv"
  run python3 -m venv "$venv"
  run "$venv/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$zig_version"
fi
zig=$("$venv/bin/python" -c 'import ziglang, os; print(os.path.join(ziglang.__path__[0], "zig"))')
[ -x "$zig" ] || fail "no zig executable at $zig"

# --- The sources, from Debian's archive (the versions the system packages build) ---
# A private apt configuration with deb-src lines for the archive this machine
# already uses; apt checks every file against the archive's signed index.
src=$dir/src
if [ ! -f "$src/.complete" ]; then
  say "downloading the Debian sources of ${sources[*]}"
  rm -rf "$src" && mkdir -p "$src/apt/lists/partial" "$src/apt/cache/archives/partial" "$src/apt/parts"
  suites=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(grep -hE '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
             | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  [ -n "$mirror" ] || mirror=$(grep -hE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list \
             /etc/apt/sources.list.d/*.list 2>/dev/null | tr ' ' '\n' | grep -E '^[a-z]+://' \
             | grep -E '/debian/?$' | head -n 1 || true)
  [ -n "$mirror" ] && [ -n "$suites" ] || fail "no Debian archive found in the apt configuration"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suites main" >"$src/apt/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$src/apt/sources.list" -o "Dir::Etc::SourceParts=$src/apt/parts"
            -o "Dir::State::Lists=$src/apt/lists" -o "Dir::Cache=$src/apt/cache"
            -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  run apt-get "${apt_opts[@]}" update
  (cd "$src" && run apt-get "${apt_opts[@]}" source --download-only "${sources[@]}")
  for dsc in "$src"/*.dsc; do
    (cd "$src" && run dpkg-source -x "$dsc")
  done
  touch "$src/.complete"
fi
source_dir() { # package -> its unpacked folder
  local found
  found=$(find "$src" -maxdepth 1 -type d -name "$1-[0-9]*" | sort | tail -n 1)
  [ -n "$found" ] || fail "no unpacked source of $1 in $src"
  echo "$found"
}

# --- The compiler wrappers ------------------------------------------------------------
# CMake, make and ccache call these like any compiler. -mcpu=baseline: code
# for every processor of the architecture, never the build machine's own.
# zig's driver declares the std::unexpected() function that C++17 removed
# for every language standard, which makes the C++23 class template
# std::unexpected ambiguous; -U takes the declaration back.
rm -rf "$here" && mkdir -p "$here/bin" "$here/prefix"
export ZIG_GLOBAL_CACHE_DIR=$dir/cache ZIG_LOCAL_CACHE_DIR=$dir/cache
wrapper() { # name, zig subcommand, arguments...
  local name=$1; shift
  {
    echo '#!/bin/sh'
    echo "export ZIG_GLOBAL_CACHE_DIR='$dir/cache' ZIG_LOCAL_CACHE_DIR='$dir/cache'"
    echo "exec '$zig' $* \"\$@\""
  } >"$here/bin/$name"
  chmod +x "$here/bin/$name"
}
wrapper cc cc -target "$target" -mcpu=baseline
wrapper c++ c++ -target "$target" -mcpu=baseline -U_LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
wrapper ar ar
wrapper ranlib ranlib
sed -e "s|@ARCH@|$arch|g" -e "s|@ROOT@|$here|g" "$root/cmake/zig-toolchain.cmake.in" >"$here/toolchain.cmake"

# --- The libraries, static, into prefix/ --------------------------------------------
# Floating-point contraction off as in velorium itself, sections for the
# linker's garbage collection as in the wheel's own objects.
flags="-O2 -DNDEBUG -fPIC -ffp-contract=off -ffunction-sections -fdata-sections"
cmake_lib() { # package, cmake arguments...
  local name=$1 source; shift
  source=$(source_dir "$name")
  say "building $name ($(basename "$source")) for $target"
  rm -rf "$dir/build-$arch-$name"
  run cmake -S "$source" -B "$dir/build-$arch-$name" -G Ninja --toolchain "$here/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$here/prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_C_FLAGS_RELEASE="$flags" -DCMAKE_CXX_FLAGS_RELEASE="$flags" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 "$@"
  run cmake --build "$dir/build-$arch-$name" -j "${VELORIUM_JOBS:-$(nproc)}"
  run cmake --install "$dir/build-$arch-$name"
}
cmake_lib pugixml -DPUGIXML_BUILD_TESTS=OFF
cmake_lib cli11 -DCLI11_BUILD_TESTS=OFF -DCLI11_BUILD_EXAMPLES=OFF -DCLI11_BUILD_DOCS=OFF

# libdeflate (1.14) builds with its own Makefile; only its static library.
deflate=$(source_dir libdeflate)
say "building libdeflate ($(basename "$deflate")) for $target"
run make -C "$deflate" clean
run make -C "$deflate" -j "${VELORIUM_JOBS:-$(nproc)}" libdeflate.a \
  CC="$here/bin/cc" AR="$here/bin/ar" CFLAGS="$flags"
version=$(sed -nE 's/^#define LIBDEFLATE_VERSION_STRING[[:space:]]+"([^"]+)".*/\1/p' "$deflate/libdeflate.h")
[ -n "$version" ] || fail "no version in $deflate/libdeflate.h"
install -D -m644 "$deflate/libdeflate.a" "$here/prefix/lib/libdeflate.a"
install -D -m644 "$deflate/libdeflate.h" "$here/prefix/include/libdeflate.h"
mkdir -p "$here/prefix/lib/pkgconfig"
sed -e "s|@PREFIX@|$here/prefix|" -e "s|@INCDIR@|$here/prefix/include|" -e "s|@LIBDIR@|$here/prefix/lib|" \
  -e "s|@VERSION@|$version|" "$deflate/libdeflate.pc.in" >"$here/prefix/lib/pkgconfig/libdeflate.pc"
run make -C "$deflate" clean

echo "$stamp" >"$here/.complete"
say "ready: $here"
echo "$here/toolchain.cmake"
