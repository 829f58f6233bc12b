#!/usr/bin/env bash
# Builds everything and runs the tests.
#   scripts/test.sh              the default suite (Release build in build/)
#   scripts/test.sh --sanitize   the same suite under AddressSanitizer and
#                                UndefinedBehaviorSanitizer (build-sanitize/)
#   scripts/test.sh --long       only the long tests (label "long")
# Further arguments go to ctest, e.g. scripts/test.sh -R Normalize.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

build="$root/build"
cmake_args=(-DCMAKE_BUILD_TYPE=Release)
ctest_args=(-LE long)
case "${1:-}" in
  --sanitize)
    build="$root/build-sanitize"
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DATANPI_SANITIZE=ON -DATANPI_BUILD_BENCH=OFF)
    shift ;;
  --long)
    ctest_args=(-L long)
    shift ;;
esac

cmake -S "$root" -B "$build" -G Ninja "${cmake_args[@]}" >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "${ctest_args[@]}" "$@"
