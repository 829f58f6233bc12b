#!/usr/bin/env bash
# Builds the MinGW-w64 libraries that Debian does not package, into
# build-windows-deps/prefix (which cmake/x86_64-w64-mingw32.cmake searches):
#   Highway's runtime library, from the source package highway of the version
#     of the host's libhwy-dev (its headers are the same);
#   GMP, static and C only, from the source package gmp of the host's
#     libgmp-dev version (atanpi-verify and the tests' trusted pi);
#   GoogleTest, from /usr/src/googletest.
# The source packages come through apt-get source with a private apt
# configuration in a temporary directory: deb-src entries copied from this
# machine's own Debian entries, with their own package lists, removed when
# the script ends however it ends. The machine's apt configuration is not
# touched. Nothing is rebuilt while build-windows-deps/prefix/built matches
# the versions. Run by scripts/setup.sh --windows (as root, for apt-get).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build-windows-deps"
prefix="$deps/prefix"
toolchain="$root/cmake/x86_64-w64-mingw32.cmake"
jobs=$(nproc)

# The host's package, whatever other architectures are installed beside it.
version_of() { dpkg-query -W -f='${Version}' "$1:$(dpkg --print-architecture)" 2>/dev/null || dpkg-query -W -f='${Version}' "$1"; }
hwy_version=$(version_of libhwy-dev)
gmp_version=$(version_of libgmp-dev)
gtest_version=$(version_of googletest)
built="highway $hwy_version, gmp $gmp_version, googletest $gtest_version, $(x86_64-w64-mingw32-g++-posix -dumpfullversion)"
if [ -f "$prefix/built" ] && [ "$(cat "$prefix/built")" = "$built" ]; then exit 0; fi
start=$SECONDS
rm -rf "$deps"
mkdir -p "$deps/src"

# ---- the source packages --------------------------------------------------
apt_dir=$(mktemp -d)
trap 'rm -rf "$apt_dir"' EXIT
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# This release's entries of the machine's own configuration as deb-src: the
# one-line format of sources.list and the deb822 stanzas of *.sources.
{
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v c="$codename" '$1 == "deb" && $0 ~ ("[[:space:]]" c "(-[a-z]+)?[[:space:]]") { sub(/^deb/, "deb-src"); print }' "$f"
  done
} >"$apt_dir/sources.list"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk -v c="$codename" 'BEGIN { RS = ""; ORS = "\n\n" }
    {
      ours = 0; off = 0; out = ""
      n = split($0, lines, "\n")
      for (i = 1; i <= n; i++) {
        line = lines[i]
        if (line ~ /^#/) continue
        if (line ~ /^Types:/) { if (line ~ /[[:space:]]deb([[:space:]]|$)/) ours++; line = "Types: deb-src" }
        if (line ~ /^Suites:/ && line ~ ("[[:space:]]" c "(-[a-z]+)?([[:space:]]|$)")) ours++
        if (line ~ /^Enabled:[[:space:]]*no/) off = 1
        out = out line "\n"
      }
      if (ours == 2 && !off) print out
    }' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
done
if ! grep -qs '^[^#]' "$apt_dir/sources.list" "$apt_dir"/sources.list.d/*.sources; then
  echo "windows_deps: no Debian $codename entry in /etc/apt to take the sources from" >&2
  exit 1
fi
apt_private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root -qq)
apt-get "${apt_private[@]}" update
(cd "$deps/src" && apt-get "${apt_private[@]}" source "highway=$hwy_version" "gmp=$gmp_version" >/dev/null 2>&1) || {
  echo "windows_deps: apt-get source highway=$hwy_version gmp=$gmp_version failed" >&2
  exit 1
}
rm -rf "$apt_dir"
echo "windows_deps: sources of highway $hwy_version and gmp $gmp_version fetched in $((SECONDS - start)) s"

# ---- builds -----------------------------------------------------------------
cmake_cross() {
  local src=$1 dir=$2
  shift 2
  cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
  cmake --build "$dir" >/dev/null
  cmake --install "$dir" >/dev/null
}

# Highway: the runtime library only (dispatch, aborts), no tests or contrib.
cmake_cross "$(echo "$deps"/src/highway-*/)" "$deps/build-highway" -DHWY_ENABLE_TESTS=OFF -DBUILD_TESTING=OFF \
  -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=OFF -DHWY_ENABLE_INSTALL=ON -DHWY_FORCE_STATIC_LIBS=ON
cmake_cross /usr/src/googletest "$deps/build-googletest" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
echo "windows_deps: Highway and GoogleTest built in $((SECONDS - start)) s"

# GMP: static, C only. Debian's source has no documentation: its patch
# takes doc/ out of configure.ac and Makefile.am, which are regenerated when
# Debian builds; here the generated files get the same change.
gmp_src=$(echo "$deps"/src/gmp-*/)
sed -i -e 's| doc/Makefile | |' -e '/"doc\/Makefile")/d' "$gmp_src/configure"
sed -i -e '/^SUBDIRS = /s/ doc$//' "$gmp_src/Makefile.in"
mkdir -p "$deps/build-gmp"
(cd "$deps/build-gmp" &&
  "${gmp_src}configure" --host=x86_64-w64-mingw32 --prefix="$prefix" --enable-static \
    --disable-shared --disable-cxx CC=x86_64-w64-mingw32-gcc-posix MAKEINFO=true >/dev/null &&
  make -j"$jobs" >/dev/null && make install MAKEINFO=true >/dev/null)
rm -rf "$deps/src" "$deps/build-gmp" "$deps/build-highway" "$deps/build-googletest"
echo "$built" >"$prefix/built"
echo "windows_deps: GMP built; all in $((SECONDS - start)) s"
