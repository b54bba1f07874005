#!/usr/bin/env bash
# Builds everything in build/ and runs the whole test suite, after installing
# what the tests need and the machine lacks (scripts/install-deps.sh). Any
# arguments go to ctest, e.g. tests/run.sh -R Golden.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -DZELMOR_BUILD_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure --no-tests=error "$@"
