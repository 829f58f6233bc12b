#!/usr/bin/env bash
# Debian packages of atanpi and atanpi-verify.
#   scripts/package.sh         Release builds packed by CPack's DEB generator
#                              into dist/: atanpi_VERSION_amd64.deb (built in
#                              build-package/) and atanpi_VERSION_arm64.deb
#                              (cross-built in build-package-arm64/), no tests or
#                              benchmarks in them; lintian must find no error or
#                              warning in either, and the amd64 programs no code
#                              beyond baseline x86-64 outside the kernels
#                              (scripts/x86_baseline.awk).
#   scripts/package.sh --test  the packages in dist/ as users get them: the
#                              amd64 one installed with apt-get into fresh
#                              minimal Debian 12 and 13 roots (copies of the
#                              pristine ones in roots/, see scripts/roots.sh),
#                              where atanpi computes 1000 digits, atanpi-verify
#                              checks them and both manual pages format; the
#                              programs of both packages unpacked and run under
#                              qemu: the arm64 ones on qemu's "max" (SVE2) and on
#                              a Cortex-A72 (NEON only), the amd64 ones on an
#                              x86-64 without SSE4 (Core 2), where only the
#                              scalar engine can run; those of every other
#                              architecture's package in dist/ under qemu-user
#                              with that architecture's libraries (installed
#                              here, or in the Debian 13 root for riscv64).
#                              Each result file must equal the Debian 12 one
#                              but for the time line and pass atanpi-verify.
#   scripts/package.sh --cross=ARCH
#                              dist/atanpi_VERSION_ARCH.deb for the Debian
#                              architecture ARCH (armhf, i386, ppc64el, s390x,
#                              riscv64; arm64 comes with the plain run), cross-
#                              built in build-package-ARCH/ (riscv64 in the
#                              Debian 13 root of scripts/test.sh --debian13),
#                              its dependencies computed from that
#                              architecture's libraries; lintian must find no
#                              error or warning. --test then runs its programs
#                              under qemu too.
#   scripts/package.sh --windows
#                              dist/atanpi-VERSION-windows-x86_64.zip: atanpi.exe
#                              and atanpi-verify.exe (Release, MinGW-w64, static,
#                              built in build-package-windows/), README.txt and
#                              the manual pages rendered as text (atanpi.txt,
#                              atanpi-verify.txt), all text with CR LF line
#                              ends; then unpacked and run under wine64: 1000
#                              digits of formula 1, verified.
#   scripts/package.sh --web   dist/atanpi-VERSION-web.zip: the web page's
#                              files, ready to serve from any folder of a web
#                              server (scripts/web.sh builds them), with
#                              serve.js, which serves them on 127.0.0.1, and
#                              README.txt (doc/WEB.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist="$root/dist"
. "$root/scripts/roots.sh"
. "$root/scripts/arches.sh"

# Configures and builds the Release tree $1 (further arguments go to cmake),
# packs it and moves the package into dist/. Built with the fortified C
# library calls and immediate binding Debian's own packages have; no -march:
# only the kernels use more than the baseline instruction set.
build_package() {
  local dir=$1 start=$SECONDS
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DATANPI_BUILD_TESTS=OFF \
    -DATANPI_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 \
    "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now" "$@" >/dev/null
  cmake --build "$dir" >/dev/null
  rm -f "$dir"/atanpi_*.deb
  (cd "$dir" && cpack >/dev/null)
  mv "$dir"/atanpi_*.deb "$dist/"
  echo "package.sh: built and packed in $dir in $((SECONDS - start)) s"
}

# Fails if a program of the amd64 package uses more than the baseline
# instruction set outside the kernels. The package holds the build tree's
# programs stripped of their symbols: the check reads the build tree's and
# makes sure their code is the packed one's.
check_x86_baseline() {
  local deb=$1 tmp program
  tmp=$(mktemp -d)
  root_cleanup_paths+=("$tmp")
  dpkg-deb -x "$deb" "$tmp"
  for program in atanpi atanpi-verify; do
    objcopy -O binary -j .text "$root/build-package/$program" "$tmp/built.text"
    objcopy -O binary -j .text "$tmp/usr/bin/$program" "$tmp/packed.text"
    cmp -s "$tmp/built.text" "$tmp/packed.text" || { echo "package.sh: packed $program is not the built one" >&2; return 1; }
    objdump -d --no-show-raw-insn -C "$root/build-package/$program" | awk -f "$root/scripts/x86_baseline.awk" || {
      echo "package.sh: $program uses more than the baseline x86-64 instruction set outside the kernels" >&2
      return 1
    }
  done
  echo "package.sh: $(basename "$deb"): baseline x86-64 code but for the SSE4, AVX2 and AVX-512 kernels"
}

# Fails unless lintian finds no error or warning in the package $1; shows
# its dependencies.
check_package() {
  lintian --fail-on error,warning "$1"
  echo "package.sh: $(basename "$1"): Depends: $(dpkg-deb -f "$1" Depends)"
}

make_packages() {
  local deb
  "$root/scripts/setup.sh" --aarch64 --package
  # (The other architectures' packages, made by --cross, stay.)
  mkdir -p "$dist"
  rm -f "$dist"/atanpi_*_amd64.deb "$dist"/atanpi_*_arm64.deb
  build_package "$root/build-package"
  build_package "$root/build-package-arm64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
  check_x86_baseline "$dist"/atanpi_*_amd64.deb
  for deb in "$dist"/*.deb; do check_package "$deb"; done
}

# The package of the Debian architecture $1, cross-built (in the Debian 13
# root where this release lacks the architecture) and checked.
make_cross_package() {
  local arch=$1
  arch_tools "$arch" >/dev/null
  mkdir -p "$dist"
  rm -f "$dist"/atanpi_*_"$arch".deb
  if arch_needs_debian13 "$arch"; then
    prepare_debian13_root
    in_root "$trixie" /root/atanpi/scripts/package.sh "--cross=$arch"
    cp "$trixie"/root/atanpi/dist/atanpi_*_"$arch".deb "$dist/"
    return
  fi
  "$root/scripts/setup.sh" "--cross=$arch" --package
  build_package "$root/build-package-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/debian-cross.cmake" \
    -DATANPI_DEB_ARCH="$arch"
  check_package "$dist"/atanpi_*_"$arch".deb
}

# The checks run in a root with the amd64 package of version $1 installed
# (as /bin/sh there); the result file is left in /tmp/run.
readonly IN_ROOT_CHECKS='
set -eu
fail() { echo "package.sh: in the root: $*" >&2; exit 1; }
cd /tmp/run
printf "1\n1000\n" | atanpi >console.txt || fail "atanpi failed"
grep -qx " Pi Computation,  Time(s)= [0-9.]* " console.txt || fail "atanpi printed no total time"
[ "$(atanpi --version)" = "atanpi $1" ] || fail "atanpi --version is not atanpi $1"
[ "$(atanpi-verify AtanOrg1.txt)" = "AtanOrg1.txt: formula 1, N=1000: all 1000 digits correct" ] ||
  fail "atanpi-verify does not accept AtanOrg1.txt"
# The manual pages: installed, then formatted by man (installed only now, so
# that the package never relied on it) without a warning, and indexed.
for page in atanpi atanpi-verify; do
  [ -f "/usr/share/man/man1/$page.1.gz" ] || fail "no manual page $page.1.gz"
done
apt-get install -y -qq --no-install-recommends man-db >/dev/null
for page in atanpi atanpi-verify; do
  MANWIDTH=80 man --warnings -P cat "$page" >page.txt 2>warnings.txt || fail "man $page failed"
  [ ! -s warnings.txt ] || fail "man $page: $(cat warnings.txt)"
  grep -q "^EXIT STATUS" page.txt || fail "man $page shows no EXIT STATUS"
  whatis "$page" | grep -q "^$page (1)" || fail "whatis does not know $page"
done
'

# Installs the amd64 package $2 with apt-get into a fresh copy of the pristine
# root of the Debian release $1 and runs IN_ROOT_CHECKS there; leaves the
# result file in $3. The copy is removed when all is well, kept otherwise.
test_in_root() {
  local release=$1 deb=$2 result=$3 base work version start=$SECONDS
  base=$(base_root "$release")
  work="$roots_dir/$release-package"
  root_copy "$base" "$work"
  cp "$deb" "$work/tmp/"
  mkdir "$work/tmp/run"
  version=$(dpkg-deb -f "$deb" Version)
  root_mount "$work"
  in_root "$work" sh -c 'apt-get update -qq && apt-get install -y -qq "/tmp/$1" >/dev/null' sh "$(basename "$deb")"
  echo "package.sh: Debian $release: installed" $(in_root "$work" dpkg-query -W \
    -f '${db:Status-Status} ${Package}=${Version}\n' atanpi 'libgmp10*' 'libhwy*' |
    sed -n 's/^installed //p')
  in_root "$work" sh -c "$IN_ROOT_CHECKS" sh "$version"
  root_unmount "$work"
  cp "$work/tmp/run/AtanOrg1.txt" "$result"
  root_remove "$work"
  echo "package.sh: $(basename "$deb") installed and run on Debian $release in $((SECONDS - start)) s"
}

# Runs the programs unpacked under $2 under the emulator command $4... in
# the new directory $3: atanpi for 1000 digits of formula 1, whose result
# file must equal $1 but for the time line, then atanpi-verify on it.
run_unpacked() {
  local reference=$1 programs=$2/usr/bin dir=$3 verdict
  shift 3
  mkdir "$dir"
  printf '1\n1000\n' | (cd "$dir" && "$@" "$programs/atanpi") >/dev/null
  same_result "$reference" "$dir/AtanOrg1.txt"
  verdict=$(cd "$dir" && "$@" "$programs/atanpi-verify" AtanOrg1.txt)
  if [ "$verdict" != "AtanOrg1.txt: formula 1, N=1000: all 1000 digits correct" ]; then
    echo "package.sh: under $*, atanpi-verify says: $verdict" >&2
    return 1
  fi
  echo "package.sh: under $*: the same result file, verified"
}

# Fails unless the result file $2 equals $1 but for the time line.
same_result() {
  if ! cmp <(without_time_line "$1") <(without_time_line "$2"); then
    echo "package.sh: $2 differs from $1" >&2
    return 1
  fi
}

test_packages() {
  local amd64 arm64 out start=$SECONDS
  "$root/scripts/setup.sh" --aarch64 --roots
  amd64=$(find "$dist" -maxdepth 1 -name 'atanpi_*_amd64.deb')
  arm64=${amd64%_amd64.deb}_arm64.deb
  if [ -z "$amd64" ] || [ "$(echo "$amd64" | wc -l)" -ne 1 ] || [ ! -f "$arm64" ]; then
    echo "package.sh: dist/ has not one amd64 package and its arm64 one; run scripts/package.sh first" >&2
    return 1
  fi
  out=$(mktemp -d)
  root_cleanup_paths+=("$out")
  test_in_root bookworm "$amd64" "$out/bookworm.txt"
  test_in_root trixie "$amd64" "$out/trixie.txt"
  same_result "$out/bookworm.txt" "$out/trixie.txt"

  # The arm64 programs with this machine's arm64 libraries (multiarch), on
  # qemu's "max" (SVE2: the sve2 engine) and on a Cortex-A72 (Armv8.0 with
  # NEON: the neon engine), where qemu refuses SVE and every later
  # extension's instructions.
  dpkg-deb -x "$arm64" "$out/arm64"
  run_unpacked "$out/bookworm.txt" "$out/arm64" "$out/run-max" qemu-aarch64 -L / -cpu max
  run_unpacked "$out/bookworm.txt" "$out/arm64" "$out/run-cortex-a72" qemu-aarch64 -L / -cpu cortex-a72

  # qemu refuses SSE4.1 and SSE4.2 instructions on a Core 2 (not AVX ones:
  # those the build's check rules out), so the engine must be the scalar one.
  dpkg-deb -x "$amd64" "$out/amd64"
  run_unpacked "$out/bookworm.txt" "$out/amd64" "$out/run-core2" qemu-x86_64 -cpu core2duo
  test_cross_packages "$out"
  echo "package.sh: packages tested in $((SECONDS - start)) s"
}

# The programs of the other architectures' packages in dist/, unpacked into
# the directory $1 and run under qemu-user on its default processor for
# that architecture, with that architecture's libraries; the result file
# must equal $1/bookworm.txt but for the time line.
test_cross_packages() {
  local out=$1 deb arch qemu work
  for deb in "$dist"/atanpi_*.deb; do
    arch=$(dpkg-deb -f "$deb" Architecture)
    case "$arch" in amd64|arm64) continue ;; esac
    qemu=$(arch_tools "$arch")
    qemu=${qemu#* }
    if arch_needs_debian13 "$arch"; then
      prepare_debian13_root
      in_root "$trixie" /root/atanpi/scripts/setup.sh "--cross=$arch"
      work=$(mktemp -d -p "$(realpath "$trixie")/tmp")
      root_cleanup_paths+=("$work")
      dpkg-deb -x "$deb" "$work/$arch"
      run_unpacked "$out/bookworm.txt" "$work/$arch" "$work/run" run_in_root "$trixie" "$qemu" -L /
    else
      "$root/scripts/setup.sh" "--cross=$arch"
      dpkg-deb -x "$deb" "$out/$arch"
      run_unpacked "$out/bookworm.txt" "$out/$arch" "$out/run-$arch" "$qemu" -L /
    fi
  done
}

# Text with CR LF line ends, as Windows programs show it.
to_crlf() { sed 's/\r*$/\r/'; }

make_windows_zip() {
  local dir="$root/build-package-windows" version name stage check verdict start=$SECONDS
  "$root/scripts/setup.sh" --windows
  version=$(sed -n 's/^project(atanpi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  name="atanpi-$version-windows-x86_64"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" \
    -DATANPI_BUILD_TESTS=OFF -DATANPI_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" --target atanpi atanpi-verify >/dev/null
  stage=$(mktemp -d)
  root_cleanup_paths+=("$stage")
  mkdir "$stage/$name"
  for program in atanpi atanpi-verify; do
    x86_64-w64-mingw32-strip -o "$stage/$name/$program.exe" "$dir/$program.exe"
    MANWIDTH=80 man -E ascii -l "$root/doc/$program.1" 2>/dev/null | to_crlf >"$stage/$name/$program.txt"
  done
  to_crlf <"$root/README.md" >"$stage/$name/README.txt"
  mkdir -p "$dist"
  rm -f "$dist/$name.zip"
  (cd "$stage" && zip -q -r -X "$dist/$name.zip" "$name")
  echo "package.sh: $name.zip: $(unzip -Z1 "$dist/$name.zip" | sed "s|^$name/||" | grep . | tr '\n' ' ')"

  # As a user gets it: unpacked, in a folder of its own.
  check="$stage/check"
  mkdir -p "$check/run"
  unzip -q "$dist/$name.zip" -d "$check"
  (cd "$check/run" && printf '1\n1000\n' | sh "$root/cmake/wine-run.sh" "$dir/wine" "$check/$name/atanpi.exe" >/dev/null 2>&1)
  verdict=$(cd "$check/run" && sh "$root/cmake/wine-run.sh" "$dir/wine" "$check/$name/atanpi-verify.exe" AtanOrg1.txt 2>&1)
  if [ "$verdict" != "AtanOrg1.txt: formula 1, N=1000: all 1000 digits correct"$'\r' ]; then
    echo "package.sh: the unpacked atanpi-verify.exe says: $verdict" >&2
    return 1
  fi
  echo "package.sh: $name.zip unpacked and run under wine64, its AtanOrg1.txt verified; $((SECONDS - start)) s"
}

make_web_zip() {
  local version name stage start=$SECONDS
  "$root/scripts/setup.sh" --web
  . "$root/scripts/web.sh"
  build_web_page >/dev/null
  version=$(sed -n 's/^project(atanpi VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  name="atanpi-$version-web"
  stage=$(mktemp -d)
  root_cleanup_paths+=("$stage")
  mkdir "$stage/$name"
  for file in "${WEB_PAGE_FILES[@]}"; do cp "$root/build-wasm/web/$file" "$stage/$name/"; done
  cp "$root/web/serve.js" "$stage/$name/"
  cp "$root/doc/WEB.md" "$stage/$name/README.txt"
  mkdir -p "$dist"
  rm -f "$dist/$name.zip"
  (cd "$stage" && zip -q -r -X "$dist/$name.zip" "$name")
  echo "package.sh: $name.zip: $(unzip -Z1 "$dist/$name.zip" | sed "s|^$name/||" | grep . | tr '\n' ' ')in $((SECONDS - start)) s"
}

case "${1:-}" in
  "") make_packages ;;
  --cross=*) make_cross_package "${1#--cross=}" ;;
  --test) test_packages ;;
  --windows) make_windows_zip ;;
  --web) make_web_zip ;;
  *) echo "usage: scripts/package.sh [--cross=ARCH | --test | --windows | --web]" >&2; exit 2 ;;
esac
