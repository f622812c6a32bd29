# Sourced by the other scripts: installs the Debian packages that the build
# needs and that this machine lacks, when run as root; otherwise says which.
timetree_packages="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkgconf valgrind python3 nlohmann-json3-dev libcli11-dev"

timetree_ensure_packages() {
  local missing=()
  for p in $timetree_packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing packages (install them, e.g. with sudo apt-get install): ${missing[*]}" >&2
    return 1
  fi
}

# -Werror whenever CI runs the scripts.
timetree_werror() {
  if [ "${CI:-}" = "true" ]; then echo ON; else echo OFF; fi
}
