# Cross-compiles for aarch64 Linux with Debian's g++-aarch64-linux-gnu and the
# arm64 multiarch libraries (scripts/setup.sh --aarch64); the tests and the
# programs they start run under qemu-aarch64 in user mode, with no binfmt
# registration. Used by scripts/test.sh --aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The arm64 libraries with their CMake and pkg-config files are under
# /usr/lib/aarch64-linux-gnu; look there and never in the host's directories.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# -L /: the guest loads the multiarch loader and libc under / (those the arm64
# libraries were built against). With the cross toolchain's older copy in
# /usr/aarch64-linux-gnu every thread start hangs.
find_program(ATANPI_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(ATANPI_QEMU_CPU max CACHE STRING
    "CPU model qemu-aarch64 emulates: max has SVE and SVE2 (512-bit vectors), cortex-a72 only NEON")
set(CMAKE_CROSSCOMPILING_EMULATOR ${ATANPI_QEMU_AARCH64} -L / -cpu ${ATANPI_QEMU_CPU})
