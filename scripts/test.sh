#!/usr/bin/env bash
# Builds everything and runs the tests.
#   scripts/test.sh              the default suite (Release build in build/)
#   scripts/test.sh --sanitize   the same suite under AddressSanitizer and
#                                UndefinedBehaviorSanitizer (build-sanitize/)
#   scripts/test.sh --long       only the long tests (label "long")
#   scripts/test.sh --aarch64    cross-compiled for aarch64 (Release, no
#                                benchmarks) and run under qemu-aarch64 in user
#                                mode, two processors emulated: in build-aarch64/
#                                qemu's "max" (NEON, SVE and SVE2, 512-bit SVE
#                                vectors) runs the default suite; in
#                                build-aarch64-neon/ a Cortex-A72 (NEON only)
#                                runs the engine's tests (label "engine") again,
#                                but for the scalar kernel's, whose code is the
#                                same whatever the processor.
#                                The processor is fixed per build tree
#                                (ATANPI_QEMU_CPU in cmake/aarch64-linux-gnu.cmake)
#                                because the tests per kernel are listed at build
#                                time by running the test programs on it.
# Further arguments go to ctest, e.g. scripts/test.sh -R Normalize.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

# Configures and builds the tree $1 with cmake_args, then runs ctest there
# with the remaining arguments.
build_and_test() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" "$@")
}

# Cross-builds the tree $2 for aarch64 with qemu emulating the processor $1,
# and runs ctest there with the remaining arguments.
build_and_test_aarch64() {
  local cpu=$1 dir=$2 start=$SECONDS
  shift 2
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
              -DATANPI_BUILD_BENCH=OFF -DATANPI_QEMU_CPU="$cpu")
  build_and_test "$dir" "$@"
  echo "test.sh: aarch64 with qemu -cpu $cpu: built and tested in $((SECONDS - start)) s"
}

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
  --aarch64)
    shift
    "$root/scripts/setup.sh" --aarch64
    build_and_test_aarch64 max "$root/build-aarch64" -LE long "$@"
    build_and_test_aarch64 cortex-a72 "$root/build-aarch64-neon" -L engine -LE long -E '/scalar( |$)' "$@"
    exit 0 ;;
esac

build_and_test "$build" "${ctest_args[@]}" "$@"
