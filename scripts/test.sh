#!/usr/bin/env bash
# Builds everything and runs the tests.
#   scripts/test.sh              the default suite (Release build in build/)
#   scripts/test.sh --sanitize   the same suite under AddressSanitizer and
#                                UndefinedBehaviorSanitizer (build-sanitize/)
#   scripts/test.sh --long       only the long tests (label "long")
#   scripts/test.sh --tsan       the engine's tests (label "engine", but for the
#                                64-thread run at 200,000 digits, which takes
#                                minutes there) under ThreadSanitizer
#                                (build-tsan/)
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
#   scripts/test.sh --cross=ARCH cross-compiled for the Debian architecture
#                                ARCH (armhf, i386, ppc64el, s390x, riscv64;
#                                arm64 is --aarch64) with
#                                cmake/debian-cross.cmake (Release, no
#                                benchmarks, in build-ARCH/) and run under
#                                qemu-user on the processor that file names:
#                                the default suite, then the result files of
#                                every formula at COMPARE_CROSS_DIGITS compared
#                                with this machine's native build's (riscv64's
#                                with 128- and 512-bit vectors). riscv64,
#                                which Debian 12 does not have, is built and
#                                tested so in the Debian 13 root of --debian13.
#   scripts/test.sh --cross=ARCH --quick
#                                the same build, but only the programs of the
#                                tests labelled "cross" (target cross_checks:
#                                the kernel tests per target and the reference
#                                words; on riscv64 also the rvv engine's rounds
#                                at 512 bits and its absence without V) and
#                                atanpi: those tests and the result files.
#   scripts/test.sh --sve-lengths  the SVE kernels' tests in the aarch64
#                                build (build-aarch64/, as --aarch64 makes it)
#                                run again with SVE vectors of 128, 384 and
#                                2048 bits (qemu's sve-default-vector-length);
#                                see SVE_LENGTH_TESTS below.
#   scripts/test.sh --debian13   the default suite on Debian 13 (trixie): in a
#                                Debian 13 root under roots/ (debootstrap, made
#                                once, with the build packages that setup.sh
#                                installs there kept), a fresh copy of this tree
#                                is built and tested with scripts/test.sh run by
#                                chroot; then every formula's result file of that
#                                build is compared with this machine's build's.
#   scripts/test.sh --windows    cross-compiled for 64-bit Windows with MinGW-w64
#                                (Release, in build-windows/, its Wine prefix in
#                                build-windows/wine) and run under wine64, no
#                                binfmt registration: the engine, differential,
#                                report and checker tests; then in
#                                build-windows-host/ the end-to-end tests built
#                                natively, starting atanpi.exe, atanpi-verify.exe
#                                and atanpi-bench-run.exe under wine64 (those only
#                                POSIX can mean are skipped with the reason).
#                                setup.sh --windows first installs MinGW-w64 and
#                                wine64 and builds Highway, GMP and GoogleTest.
#   scripts/test.sh --node       the WebAssembly build (emscripten, scripts/web.sh):
#                                in build-wasm/ with threads, its engine tests
#                                run under Node by ctest, then the command-line
#                                program build-wasm/atanpi.js under Node against
#                                the native build's (tests/node_program_test.sh)
#   scripts/test.sh --web        the web page (build-wasm/web/, with the program
#                                built with threads and without) served on
#                                127.0.0.1 by web/serve.js and driven in the
#                                system's Chromium by puppeteer-core (installed by
#                                npm ci from web/test/package-lock.json):
#                                web/test/browser_test.js; its screenshot goes to
#                                build-wasm/web-test/
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

# The cmake arguments of an aarch64 cross build with qemu emulating the
# processor $1.
aarch64_cmake_args() {
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
              -DATANPI_BUILD_BENCH=OFF -DATANPI_QEMU_CPU="$1")
}

# Cross-builds the tree $2 for aarch64 with qemu emulating the processor $1,
# and runs ctest there with the remaining arguments.
build_and_test_aarch64() {
  local cpu=$1 dir=$2 start=$SECONDS
  shift 2
  aarch64_cmake_args "$cpu"
  build_and_test "$dir" "$@"
  echo "test.sh: aarch64 with qemu -cpu $cpu: built and tested in $((SECONDS - start)) s"
}

# Digits of the result files that a cross build must write as this
# machine's native build does: N/5 odd (the guard places written), and
# the edge cases of N.
COMPARE_CROSS_DIGITS=(20005 0 5 85)
# Processors besides ATANPI_QEMU_CPU on which a cross build for the
# Debian architecture $1 writes its result files too: riscv64's rvv engine
# with 512-bit vectors (8 lanes; ATANPI_QEMU_CPU has 128-bit ones, 2).
more_result_cpus() {
  case "$1" in
    riscv64) echo "rv64,v=true,vlen=512" ;;
  esac
}

# Writes the result file of formula $1 at $2 digits into the directory $3 by
# running the command $4... there, which must succeed.
result_file() {
  local k=$1 n=$2 dir=$3
  shift 3
  mkdir -p "$dir"
  printf '%s\n%s\n' "$k" "$n" | (cd "$dir" && "$@") >/dev/null
}

# Fails unless the command $2... (run in a directory of its own) writes the
# same result file as the native build for every formula at each of
# COMPARE_CROSS_DIGITS, but for the time line; $1 names it in messages.
same_results_as_native() {
  local what=$1 out k n start=$SECONDS
  shift
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" --target atanpi >/dev/null
  out=$(mktemp -d)
  root_cleanup_paths+=("$out")
  for n in "${COMPARE_CROSS_DIGITS[@]}"; do
    for k in 1 2 3 4 5; do
      result_file "$k" "$n" "$out/native-$k-$n" "$root/build/atanpi"
      result_file "$k" "$n" "$out/cross-$k-$n" "$@"
      if ! cmp <(without_time_line "$out/native-$k-$n/AtanOrg$k.txt") <(without_time_line "$out/cross-$k-$n/AtanOrg$k.txt"); then
        echo "test.sh: AtanOrg$k.txt at N=$n of $what differs from the native build's" >&2
        return 1
      fi
    done
  done
  echo "test.sh: $what: AtanOrg1.txt ... AtanOrg5.txt at N = ${COMPARE_CROSS_DIGITS[*]} equal the native build's but for the time line ($((SECONDS - start)) s)"
}

# The value of the cache entry $2 of the build tree $1.
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# The cross build for the Debian architecture $1 in build-$1/ and its tests
# under qemu: with --quick as $2 only those labelled cross, otherwise the
# default suite (further arguments go to ctest); then the result files.
test_cross() {
  local arch=$1 quick=false dir="$root/build-$1" start=$SECONDS qemu cpu
  shift
  if [ "$arch" = arm64 ]; then dir="$root/build-aarch64"; fi
  if [ "${1:-}" = --quick ]; then quick=true; shift; fi
  if arch_needs_debian13 "$arch"; then
    test_in_debian13_root "$arch" "$quick" "$@"
    return
  fi
  "$root/scripts/setup.sh" "--cross=$arch"
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/debian-cross.cmake"
              -DATANPI_DEB_ARCH="$arch" -DATANPI_BUILD_BENCH=OFF)
  if $quick; then
    cmake -S "$root" -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
    cmake --build "$dir" --target atanpi cross_checks
    echo "test.sh: $arch: built in $((SECONDS - start)) s"
    (cd "$dir" && ctest --output-on-failure -j"$(nproc)" -L cross "$@")
  else
    build_and_test "$dir" -LE long "$@"
  fi
  echo "test.sh: $arch: built and tested in $((SECONDS - start)) s"
  qemu=$(cache_value "$dir" ATANPI_QEMU)
  for cpu in "$(cache_value "$dir" ATANPI_QEMU_CPU)" $(more_result_cpus "$arch"); do
    same_results_as_native "$arch (qemu -cpu $cpu)" "$qemu" -L / -cpu "$cpu" "$dir/atanpi"
  done
}

# The Windows build and its tests under wine64, then the end-to-end tests
# natively against its programs. Further arguments go to both ctest runs.
test_windows() {
  local start=$SECONDS
  dir="$root/build-windows"
  "$root/scripts/setup.sh" --windows
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
              -DATANPI_BUILD_BENCH=OFF)
  cmake -S "$root" -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  # One Wine server for the prefix while the tests run, started before any
  # of them: two programs starting one at once can fail. Stopped at the end.
  wineserver=$(dirname "$(readlink -f "$(command -v wine64 || echo /usr/lib/wine/wine64)")")/wineserver
  mkdir -p "$dir/wine"
  WINEPREFIX="$dir/wine" "$wineserver" -p </dev/null >/dev/null 2>&1
  trap 'WINEPREFIX="$dir/wine" "$wineserver" -k 2>/dev/null || true' EXIT
  # wineboot makes the prefix (once) and starts Wine's services with it,
  # before any test: their messages would otherwise reach the first
  # programs' standard error, and the services started by a test would hold
  # its output open for as long as they run.
  sh "$root/cmake/wine-run.sh" "$dir/wine" wineboot --init >/dev/null 2>&1
  build_and_test "$dir" -LE long "$@"
  echo "test.sh: Windows build tested under wine64 in $((SECONDS - start)) s"
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DATANPI_BUILD_BENCH=OFF -DATANPI_WINDOWS_PROGRAMS="$dir")
  cmake -S "$root" -B "$root/build-windows-host" -G Ninja "${cmake_args[@]}" >/dev/null
  cmake --build "$root/build-windows-host" --target e2e_test
  (cd "$root/build-windows-host" && ctest --output-on-failure -j"$(nproc)" "$@")
  echo "test.sh: Windows programs' end-to-end tests done; --windows took $((SECONDS - start)) s"
}

# SVE vector lengths in bytes for --sve-lengths: 128, 384 and 2048 bits.
SVE_LENGTHS=(16 48 256)
# The tests run at each length, of kernel_test and series_diff_test: the
# SVE and SVE2 kernels' rounds against the scalar step (about a second), the
# lane count against the vector length, and the SVE kernel's complement
# words (the SVE2 kernel is the same source; 12 s of CPU at 2048 bits). Its
# word counts around the lanes and groups, whose words grow with the lanes,
# run at 512 bits in --aarch64.
SVE_LENGTH_TESTS='Kernels/KernelRound.*/sve:Kernels/KernelRound.*/sve2'
SVE_LENGTH_TESTS+=':SeriesEngines.ScalableKernelsUseTheWholeVector'
SVE_LENGTH_TESTS+=':Engines/SeriesDifferential.ComplementWordsThatChangeAreSwept/sve'

# The SVE tests of the aarch64 build in build-aarch64/ at each of
# SVE_LENGTHS, with further arguments for the test programs.
test_sve_lengths() {
  local dir="$root/build-aarch64" bytes start program
  aarch64_cmake_args max
  cmake -S "$root" -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" --target kernel_test series_diff_test
  for bytes in "${SVE_LENGTHS[@]}"; do
    start=$SECONDS
    for program in kernel_test series_diff_test; do
      qemu-aarch64 -L / -cpu "max,sve-default-vector-length=$bytes" "$dir/$program" \
        --gtest_brief=1 "--gtest_filter=$SVE_LENGTH_TESTS" "$@"
    done
    echo "test.sh: SVE at $((bytes * 8)) bits: tested in $((SECONDS - start)) s"
  done
}

# Digits per formula in the comparison of the Debian 13 build with this
# machine's: N/5 odd, so the guard places are written too.
COMPARE_DIGITS=100005

# The default suite in a Debian 13 root, then its result files against
# this machine's build's.
# test_cross for the architecture $1 (--quick if $2 is true) in the Debian
# 13 root, with further arguments for ctest; its result files are compared
# there with the root's native (x86-64) build's.
test_in_debian13_root() {
  local arch=$1 quick=$2 start=$SECONDS
  shift 2
  prepare_debian13_root
  if $quick; then set -- --quick "$@"; fi
  in_root "$trixie" /root/atanpi/scripts/test.sh "--cross=$arch" "$@"
  echo "test.sh: $arch in the Debian 13 root: done in $((SECONDS - start)) s"
}

test_in_debian13() {
  local start=$SECONDS k out
  prepare_debian13_root
  in_root "$trixie" /root/atanpi/scripts/test.sh "$@"
  echo "test.sh: Debian 13 suite done in $((SECONDS - start)) s"

  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" --target atanpi >/dev/null
  out=$(mktemp -d)
  root_cleanup_paths+=("$out" "$trixie/root/compare")
  mkdir -p "$out/here" "$trixie/root/compare"
  for k in 1 2 3 4 5; do
    printf '%s\n%s\n' "$k" "$COMPARE_DIGITS" | (cd "$out/here" && "$root/build/atanpi") >/dev/null
    printf '%s\n%s\n' "$k" "$COMPARE_DIGITS" | in_root "$trixie" sh -c 'cd /root/compare && /root/atanpi/build/atanpi' >/dev/null
    if ! cmp <(without_time_line "$out/here/AtanOrg$k.txt") <(without_time_line "$trixie/root/compare/AtanOrg$k.txt"); then
      echo "test.sh: AtanOrg$k.txt of the Debian 13 build differs from this machine's" >&2
      return 1
    fi
  done
  echo "test.sh: the Debian 13 build's AtanOrg1.txt ... AtanOrg5.txt ($COMPARE_DIGITS digits) equal this machine's but for the time line"
}

# The native program, which the WebAssembly builds' results are compared with.
native_program() {
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" --target atanpi >/dev/null
}

# The WebAssembly build's tests under Node, then its program's.
test_node() {
  local start=$SECONDS
  "$root/scripts/setup.sh" --web
  . "$root/scripts/web.sh"
  native_program
  wasm_configure "$root/build-wasm"
  cmake --build "$root/build-wasm"
  (cd "$root/build-wasm" && ctest --output-on-failure -j"$(nproc)" "$@")
  echo "test.sh: the WebAssembly build's tests under Node done in $((SECONDS - start)) s"
  "$root/tests/node_program_test.sh" "$root/build-wasm/atanpi.js" "$root/build/atanpi"
  echo "test.sh: --node took $((SECONDS - start)) s"
}

# The page in Chromium.
test_web() {
  local start=$SECONDS
  "$root/scripts/setup.sh" --web
  . "$root/scripts/web.sh"
  native_program
  build_web_page
  (cd "$root/web/test" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  node "$root/web/test/browser_test.js" "$root/build-wasm/web" "$root/build/atanpi" "$root/build-wasm/web-test"
  echo "test.sh: --web took $((SECONDS - start)) s; the screenshot: build-wasm/web-test/page-after-100000-digits.png"
}

. "$root/scripts/roots.sh"
. "$root/scripts/arches.sh"
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
  --tsan)
    build="$root/build-tsan"
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DATANPI_TSAN=ON -DATANPI_BUILD_BENCH=OFF)
    ctest_args=(-L engine -LE long -E TwoHundredThousandPlaces)
    shift ;;
  --sve-lengths)
    shift
    "$root/scripts/setup.sh" --aarch64
    test_sve_lengths "$@"
    exit 0 ;;
  --aarch64)
    shift
    "$root/scripts/setup.sh" --aarch64
    # The SVE2 kernel is the SVE kernel's source compiled for SVE2: its
    # longest differential test (about 20 s of CPU under qemu here, 15 times
    # the scalar kernel's) runs for the SVE kernel only; its rounds are
    # tested in kernel_test.
    build_and_test_aarch64 max "$root/build-aarch64" -LE long \
      -E 'SeriesDifferential\.WordCountsAroundLanesAndGroups/sve2( |$)' "$@"
    build_and_test_aarch64 cortex-a72 "$root/build-aarch64-neon" -L engine -LE long -E '/scalar( |$)' "$@"
    same_results_as_native "arm64 (qemu -cpu max)" "$(cache_value "$root/build-aarch64" ATANPI_QEMU)" -L / -cpu max \
      "$root/build-aarch64/atanpi"
    exit 0 ;;
  --cross=arm64)
    if [ "${2:-}" != --quick ]; then
      shift
      exec "$0" --aarch64 "$@"
    fi ;&
  --cross=*)
    arch=${1#--cross=}
    shift
    test_cross "$arch" "$@"
    exit 0 ;;
  --debian13)
    shift
    test_in_debian13 "$@"
    exit 0 ;;
  --windows)
    shift
    test_windows "$@"
    exit 0 ;;
  --node)
    shift
    test_node "$@"
    exit 0 ;;
  --web)
    shift
    test_web
    exit 0 ;;
esac

build_and_test "$build" "${ctest_args[@]}" "$@"
