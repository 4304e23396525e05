# Sourced by the project's scripts: ensure_debs PACKAGE... installs, with
# apt-get, the Debian packages of the list that are not installed yet
# (through sudo when not root), updating the package lists only if the first
# attempt fails.
ensure_debs() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf '== installing Debian packages: %s\n' "${missing[*]}" >&2
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 || {
    "${sudo_cmd[@]}" apt-get update -qq >/dev/null
    "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
  }
}
