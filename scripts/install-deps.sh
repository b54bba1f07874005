#!/usr/bin/env bash
# Installs the Debian packages that one use of the project needs and this
# machine lacks; the one list of them, for the example, the tests and CI.
#
#   scripts/install-deps.sh example   cmake, g++, make, CLI11, Highway: zelmor and its companion tools
#   scripts/install-deps.sh test      the above, GoogleTest, nlohmann-json (zelmor-report), xmllint (the SVG tests),
#                                     pybind11, the Python headers, NumPy and pytest (the Python package and its tests),
#                                     Open MPI (zelmor-mpi and its tests under mpirun)
#   scripts/install-deps.sh ci        the above, Google Benchmark, python3 (the golden check) and scikit-learn
#                                     (the Python package's tests of clone and Pipeline, skipped without it)
#
# As root it runs apt-get; otherwise sudo, when sudo needs no password. When it
# can do neither (or ZELMOR_NO_INSTALL=1), it prints the one command that would
# install them and exits 1. Everything it says goes to standard error.
set -euo pipefail

use=${1:-}
case "$use" in
  example | test | ci) ;;
  *)
    echo "usage: $0 example|test|ci" >&2
    exit 2
    ;;
esac

have_command() { command -v "$1" >/dev/null; }
have_header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }
have_python_headers() { compgen -G "/usr/include/python3*/Python.h" >/dev/null; }
# Debian's Python packages serve Debian's python3, whatever python3 comes first on the PATH.
have_python_module() { [ -x /usr/bin/python3 ] && /usr/bin/python3 -c "import $1" 2>/dev/null; }

need=()
want() { # package, then the check that it is there
  local package=$1
  shift
  "$@" || need+=("$package")
}

want cmake have_command cmake
want g++ have_command "${CXX:-g++}"
want make have_command make
want libcli11-dev have_header CLI/CLI.hpp
want libhwy-dev have_header hwy/highway.h
if [ "$use" != example ]; then
  want libgtest-dev have_header gtest/gtest.h
  want nlohmann-json3-dev have_header nlohmann/json.hpp
  want libxml2-utils have_command xmllint
  want pybind11-dev have_header pybind11/pybind11.h
  want python3-dev have_python_headers
  want python3-numpy have_python_module numpy
  want python3-pytest have_python_module pytest
  want libopenmpi-dev have_command mpicxx
  want openmpi-bin have_command mpirun
fi
if [ "$use" = ci ]; then
  want libbenchmark-dev have_header benchmark/benchmark.h
  want python3 have_command python3
  want python3-sklearn have_python_module sklearn
fi
[ ${#need[@]} -gt 0 ] || exit 0

sudo=()
if [ "$(id -u)" -ne 0 ] && have_command sudo && sudo -n true 2>/dev/null; then
  sudo=(sudo -n)
fi
if [ "${ZELMOR_NO_INSTALL:-0}" = 1 ] || ! have_command apt-get || { [ "$(id -u)" -ne 0 ] && [ ${#sudo[@]} -eq 0 ]; }; then
  echo "Missing Debian packages: ${need[*]}." >&2
  if have_command apt-get; then
    prefix="sudo "
    [ "$(id -u)" -ne 0 ] || prefix=
    echo "Install with:" >&2
    echo "  ${prefix}apt-get install -y ${need[*]}" >&2
  else
    echo "Install these Debian packages or your system's equivalents, then run this again." >&2
  fi
  exit 1
fi

echo "Installing ${need[*]} (apt-get)..." >&2
# dpkg's progress goes to standard output, which is not ours to fill; errors
# still show.
"${sudo[@]}" apt-get update -qq >/dev/null
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
echo "Installed ${need[*]}." >&2
