# Sourced by the other scripts: installs the Debian packages that a script
# runs and that this machine lacks, when run as root; otherwise says which.
# Each script asks only for what it runs: the demo for the compiler, CMake
# and the command's JSON, command-line and compression libraries; the tests
# for the test and benchmark libraries, Python (its headers and pytest, for
# the module), MPI, Fortran, clang and its OpenMP, and Kokkos; CI for clang,
# valgrind, Go (whose pprof reads the command's output), Environment Modules
# (which loads the installed modulefile), clang-format (which checks the
# layout of new code) and what pip builds the module with.
timetree_demo_packages="cmake ninja-build g++ nlohmann-json3-dev libcli11-dev zlib1g-dev"
timetree_test_packages="$timetree_demo_packages libgtest-dev libgmock-dev libbenchmark-dev pkgconf python3 libopenmpi-dev openmpi-bin gfortran clang libomp-dev libtrilinos-kokkos-dev python3-dev python3-pytest"
timetree_ci_packages="$timetree_test_packages libclang-rt-14-dev valgrind golang-go environment-modules clang-format python3-venv python3-setuptools python3-wheel"

# timetree_ensure_packages [demo|test|ci]: the packages of that kind (ci by
# default), or those of $timetree_packages when it is set.
timetree_ensure_packages() {
  local wanted
  case "${1:-ci}" in
    demo) wanted=$timetree_demo_packages ;;
    test) wanted=$timetree_test_packages ;;
    *) wanted=$timetree_ci_packages ;;
  esac
  [ -n "${timetree_packages:-}" ] && wanted=$timetree_packages
  local missing=()
  for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "timetree: installing ${#missing[@]} packages: ${missing[*]}"
    echo "timetree: reading the package lists (apt-get update)"
    apt-get update -qq
    # One line per package unpacked and set up, so that a long install shows
    # that it goes on.
    local log status
    log=$(mktemp)
    set +e
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" 2>&1 | tee "$log" |
      grep --line-buffered -E '^(Get:|Setting up )' | sed -u 's/^/  /'
    status=${PIPESTATUS[0]}
    set -e
    if [ "$status" -ne 0 ]; then
      tail -20 "$log" >&2
      rm -f "$log"
      return 1
    fi
    rm -f "$log"
    echo "timetree: packages installed"
  else
    echo "missing packages (install them, e.g. with sudo apt-get install): ${missing[*]}" >&2
    return 1
  fi
}

# -Werror whenever CI runs the scripts.
timetree_werror() {
  if [ "${CI:-}" = "true" ]; then echo ON; else echo OFF; fi
}
