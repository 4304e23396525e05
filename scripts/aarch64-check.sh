#!/usr/bin/env bash
# Runs an aarch64 wheel for real on this x86_64 machine: under user-mode
# emulation (qemu-user-static, through binfmt_misc) in an arm64 Debian
# userland made with debootstrap (first stage here, second stage under
# emulation), kept in build/arm64-root. There it installs the wheel with
# pip --no-index into a fresh venv, imports velorium, reads the sample
# acquisition and converts it with the `velorium` command; then it compares
# what the wheel makes of the sample and of synthetic runs with what
# REFERENCE (the interpreter of an x86_64 build) makes of them: the same
# bytes, since neither build fuses multiply-adds.
#
#   bash scripts/aarch64-check.sh WHEEL REFERENCE
#
# WHEEL must be for the userland's CPython (Debian 12: 3.11). Needs root.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage="usage: aarch64-check.sh WHEEL REFERENCE_PYTHON"
wheel=$(realpath "${1:?$usage}") reference=${2:?$usage}
userland=${VELORIUM_ARM64_ROOT:-$root/build/arm64-root}
suite=bookworm
say() { printf '== aarch64-check: %s\n' "$*" >&2; }
fail() { printf 'aarch64-check: %s\n' "$*" >&2; exit 1; }
start=$(date +%s)

# shellcheck source=scripts/ensure-debs.sh
source "$root/scripts/ensure-debs.sh"
ensure_debs qemu-user-static binfmt-support debootstrap

# --- Emulation: the kernel hands arm64 programs to qemu ------------------------------
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc \
    || fail "binfmt_misc cannot be mounted here (a container without that permission?): arm64 programs cannot run"
fi
if ! grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null; then
  update-binfmts --enable qemu-aarch64 || fail "update-binfmts cannot register qemu-aarch64"
fi

# --- The arm64 userland --------------------------------------------------------------
if [ ! -f "$userland/.complete" ]; then
  mirror=$(grep -hE '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
             | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
  [ -n "$mirror" ] || fail "no Debian archive found in the apt configuration"
  say "making an arm64 Debian $suite userland in $userland (first stage)"
  rm -rf "$userland"
  debootstrap --arch=arm64 --variant=minbase --include=python3,python3-venv --foreign "$suite" "$userland" "$mirror" \
    >"$userland.log" 2>&1 || { tail -n 30 "$userland.log" >&2; fail "debootstrap failed; the whole log is $userland.log"; }
  say "second stage, under emulation (several minutes)"
  chroot "$userland" /debootstrap/debootstrap --second-stage >>"$userland.log" 2>&1 \
    || { tail -n 30 "$userland.log" >&2; fail "the second stage failed; the whole log is $userland.log"; }
  touch "$userland/.complete"
fi
inside() {  # command line run by sh in the userland, with /proc and none of this machine's environment
  unshare --mount --propagation private sh -c 'mount -t proc proc "$1/proc" && exec chroot "$1" \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 sh -c "$2"' sh "$userland" "$1"
}
[ "$(inside 'uname -m')" = aarch64 ] || fail "the userland does not run as aarch64"
tag=$(inside 'python3 -c "import sys; print(\"cp%d%d\" % sys.version_info[:2])"')
case $(basename "$wheel") in
  *-"$tag"-"$tag"-manylinux_*_aarch64.whl) ;;
  *) fail "$(basename "$wheel") is not an aarch64 wheel for the userland's CPython ($tag)" ;;
esac

# --- What goes in: the wheel, NumPy for aarch64, the runs -----------------------------
# The same path inside and outside, so that the files written name the same source.
work=/tmp/velorium-aarch64-check
rm -rf "$work" "$userland$work" && mkdir -p "$work/wheels" "$userland$work"
cp "$wheel" "$work/wheels/"
python3 -m pip download -q --disable-pip-version-check --only-binary=:all: --platform manylinux2014_aarch64 \
  --python-version "3.${tag#cp3}" --implementation cp -d "$work/wheels" numpy \
  >"$work/pip.log" 2>&1 || { tail -n 20 "$work/pip.log" >&2; fail "no NumPy wheel for aarch64 $tag"; }
child=$root/tests/python/fingerprint_child.py
"$reference" "$child" --write-runs "$work/runs" >"$work/runs.json"
cp "$child" "$work/"
cp -a "$work/." "$userland$work/"

# --- Installed and run under emulation ------------------------------------------------
say "installing $(basename "$wheel") into a fresh venv of the userland"
inside "python3 -m venv $work/venv && $work/venv/bin/pip install -q --no-index --find-links $work/wheels velorium numpy" \
  || fail "pip install --no-index of the wheel failed in the userland"
say "import, the sample read, velorium convert"
inside "cd $work && $work/venv/bin/python -c '
import platform, velorium
reader = velorium.RawReader(\"$work/runs/sample.d\")
spectrum = reader.read_spectrum(0)
assert platform.machine() == \"aarch64\" and reader.scan_count > 0 and len(spectrum.mz) > 0
print(platform.machine(), velorium.__version__, reader.scan_count, \"scans\")
' && $work/venv/bin/velorium convert $work/runs/sample.d -o $work/sample.mzML && test -s $work/sample.mzML" \
  || fail "velorium does not run in the userland"
grep -c '<spectrum ' "$userland$work/sample.mzML" | sed 's/^/   spectra in sample.mzML: /' >&2

# --- The same bytes as the x86_64 build -------------------------------------------------
mapfile -t runs < <("$reference" -c 'import json, sys; print("\n".join(json.load(open(sys.argv[1]))))' "$work/runs.json")
say "comparing what the aarch64 and the x86_64 build make of ${#runs[@]} runs"
inside "$work/venv/bin/python $work/fingerprint_child.py $work/aarch64 ${runs[*]}" >"$work/aarch64.json" \
  || fail "the fingerprints failed under emulation"
"$reference" "$child" "$work/x86_64" "${runs[@]}" >"$work/x86_64.json"
"$reference" - "$work/aarch64.json" "$work/x86_64.json" <<'EOF' || fail "the aarch64 and x86_64 builds differ (above)"
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
assert a["module"] != b["module"], "the two fingerprints come from the same module"
bad = 0
for run, found in b["runs"].items():
    differ = sorted(k for k in found.keys() | a["runs"][run].keys() if found.get(k) != a["runs"][run].get(k))
    print(f"   {run}: {len(found)} outputs, {'identical' if not differ else 'different: ' + ', '.join(differ)}",
          file=sys.stderr)
    bad += bool(differ)
sys.exit(bad)
EOF
say "passed in $(( $(date +%s) - start ))s"
