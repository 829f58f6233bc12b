# Cross-compiles for aarch64 Linux (Debian's arm64): cmake/debian-cross.cmake
# for that architecture, kept under this name for the commands that name it.
# ATANPI_QEMU_CPU: max has SVE and SVE2 (512-bit vectors), cortex-a72 only NEON.
set(ATANPI_DEB_ARCH arm64 CACHE STRING "Debian architecture to build for")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
