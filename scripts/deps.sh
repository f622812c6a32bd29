# Sourced by the other scripts: installs the Debian packages that the build
# needs and that this machine lacks, when run as root; otherwise says which.
# The demo needs the compiler and CMake, and the JSON and command-line
# libraries of the timetree command; the tests and CI need the rest.
timetree_demo_packages="cmake ninja-build g++ nlohmann-json3-dev libcli11-dev"
timetree_packages="$timetree_demo_packages clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkgconf valgrind python3 libopenmpi-dev openmpi-bin"

# timetree_ensure_packages [demo]: all packages, or only the demo's.
timetree_ensure_packages() {
  local wanted=$timetree_packages
  [ "${1:-}" = demo ] && wanted=$timetree_demo_packages
  local missing=()
  for p in $wanted; do
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
