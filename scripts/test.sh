#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors and runs every test with
# ctest. Exits non-zero when anything fails. Run it from the checkout, as root so that the
# kernel and end-to-end tests run rather than skip:
#   bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
quillon_install "${QUILLON_RUN_PACKAGES[@]}" "${QUILLON_TEST_PACKAGES[@]}" \
    "${QUILLON_PACKAGE_PACKAGES[@]}"
# The fuzz harnesses, in a clang tree of their own with the sanitizers: a short run of each
# from its seed corpus.
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DQUILLON_FUZZ=ON -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF
cmake --build build/fuzz --target quillon_fuzzers
(cd build/fuzz && ctest --output-on-failure -L fuzz)
# Then the whole suite, whose summary closes the run.
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_WERROR=ON
cmake --build build/test
cd build/test
ctest --output-on-failure --timeout 600 "$@"
