# The Debian architectures that the project cross-builds and tests under
# qemu-user (cmake/debian-cross.cmake holds the same table for CMake):
# sourced by scripts/setup.sh and scripts/package.sh.

# Prints the GNU triplet (the cross compiler's prefix) and qemu-user's
# program of the Debian architecture $1; fails for another.
arch_tools() {
  case "$1" in
    arm64) echo aarch64-linux-gnu qemu-aarch64 ;;
    armhf) echo arm-linux-gnueabihf qemu-arm ;;
    i386) echo i686-linux-gnu qemu-i386 ;;
    ppc64el) echo powerpc64le-linux-gnu qemu-ppc64le ;;
    s390x) echo s390x-linux-gnu qemu-s390x ;;
    riscv64) echo riscv64-linux-gnu qemu-riscv64 ;;
    *) echo "no cross build for the Debian architecture '$1' (arm64, armhf, i386, ppc64el, s390x, riscv64)" >&2
       return 2 ;;
  esac
}

# True on a Debian release without the architecture $1 (riscv64 came with
# Debian 13), where its builds run in the Debian 13 root.
arch_needs_debian13() {
  [ "$1" = riscv64 ] && [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ]
}
