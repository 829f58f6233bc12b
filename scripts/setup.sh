#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are present.
# As root it installs what is missing with apt-get; otherwise it prints the
# apt-get lines to run and fails.
#   scripts/setup.sh            the native build, tests and benchmarks
#   scripts/setup.sh --cross=ARCH
#                               also the cross compiler for the Debian
#                               architecture ARCH (arm64, armhf, i386, ppc64el,
#                               s390x, riscv64), qemu-user and ARCH's builds of
#                               the libraries the tests link (Debian
#                               multiarch), for scripts/test.sh --cross=ARCH
#   scripts/setup.sh --aarch64  the same as --cross=arm64
#   scripts/setup.sh --roots    also debootstrap, which makes the Debian roots
#                               of scripts/test.sh --debian13 and
#                               scripts/package.sh --test
#   scripts/setup.sh --package  also dpkg-dev (dependencies of the packages
#                               from their binaries) and lintian, for
#                               scripts/package.sh
#   scripts/setup.sh --windows  also MinGW-w64 (posix threads) and wine64, and
#                               builds into build-windows-deps/ what has no
#                               MinGW package, from Debian's own sources:
#                               Highway's runtime and GMP (source packages
#                               highway and gmp, the versions of the host's
#                               libhwy-dev and libgmp-dev) and GoogleTest
#                               (/usr/src/googletest); see
#                               scripts/windows_deps.sh
#   scripts/setup.sh --web      also emscripten (the WebAssembly builds, run
#                               under Node) and Chromium (the page's tests);
#                               npm, where no Node on the machine brings its own
# Modes combine: scripts/setup.sh --aarch64 --package.
# A failed download of an index by apt-get update (a mirror being synced, an
# unrelated source) is a warning: what fails is an install.
set -euo pipefail

# strace: the end-to-end tests watch and fail the program's system calls.
packages=(g++ cmake ninja-build libgtest-dev libgmp-dev libmpfr-dev libbenchmark-dev libhwy-dev man-db strace)
# Installed without recommends: qemu-user recommends qemu-user-binfmt, which
# would register the emulator machine-wide; the tests name it themselves.
cross_packages=()
foreign_arches=()
. "$(dirname "$0")/arches.sh"
for mode in "$@"; do
  case "$mode" in
    --aarch64|--cross=*)
      arch=${mode#--cross=}
      if [ "$mode" = --aarch64 ]; then arch=arm64; fi
      tools=$(arch_tools "$arch")
      triplet=${tools% *}
      foreign_arches+=("$arch")
      cross_packages+=("g++-$triplet" qemu-user "libgtest-dev:$arch" "libgmp-dev:$arch" "libmpfr-dev:$arch"
                       "libhwy-dev:$arch") ;;
    --roots) packages+=(debootstrap) ;;
    --package) packages+=(dpkg-dev lintian) ;;
    # dpkg-dev unpacks the source packages, m4 runs GMP's configure, zip
    # packs the release.
    --windows) cross_packages+=(g++-mingw-w64-x86-64-posix wine64 dpkg-dev m4 zip xz-utils) ;;
    # Without recommends: emscripten's would add binaryen's and LLVM's
    # documentation and more; zip packs the page.
    --web)
      cross_packages+=(emscripten chromium zip)
      if ! command -v npm >/dev/null; then cross_packages+=(npm); fi ;;
    *) echo "setup: unknown mode $mode" >&2; exit 2 ;;
  esac
done

# Prints those of the named packages that are not installed, one a line.
not_installed() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
# The MinGW libraries, once the packages are there.
windows_deps() {
  for mode in "$@"; do
    if [ "$mode" = --windows ]; then "$(dirname "$0")/windows_deps.sh"; fi
  done
}

mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_cross < <(not_installed "${cross_packages[@]}")
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_cross[@]} -eq 0 ]; then
  windows_deps "$@"
  exit 0
fi

# The foreign architectures to add: those of missing packages that dpkg
# does not know yet.
add_arches=()
for arch in "${foreign_arches[@]}"; do
  if [ ${#missing_cross[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx "$arch" &&
     [ "$arch" != "$(dpkg --print-architecture)" ]; then
    add_arches+=("$arch")
  fi
done

if [ "$(id -u)" -eq 0 ]; then
  all=("${missing[@]}" "${missing_cross[@]}")
  echo "setup: installing ${all[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  for arch in "${add_arches[@]}"; do dpkg --add-architecture "$arch"; done
  "${apt[@]}" update -qq || echo "setup: apt-get update could not read every index (above); installing from those it has" >&2
  if [ ${#missing[@]} -gt 0 ]; then "${apt[@]}" install -y -qq "${missing[@]}" >/dev/null; fi
  if [ ${#missing_cross[@]} -gt 0 ]; then
    "${apt[@]}" install -y -qq --no-install-recommends "${missing_cross[@]}" >/dev/null
  fi
else
  echo "setup: missing packages; run:" >&2
  for arch in "${add_arches[@]}"; do echo "  sudo dpkg --add-architecture $arch" >&2; done
  if [ ${#add_arches[@]} -gt 0 ]; then echo "  sudo apt-get update" >&2; fi
  if [ ${#missing[@]} -gt 0 ]; then echo "  sudo apt-get install -y ${missing[*]}" >&2; fi
  if [ ${#missing_cross[@]} -gt 0 ]; then
    echo "  sudo apt-get install -y --no-install-recommends ${missing_cross[*]}" >&2
  fi
  exit 1
fi
windows_deps "$@"
