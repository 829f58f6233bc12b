# Cross-compiles for Linux on another Debian architecture with Debian's
# cross compiler (g++-TRIPLET) and that architecture's multiarch libraries
# (scripts/setup.sh --cross=ARCH); the tests and the programs they start run
# under qemu-user in user mode, with no binfmt registration. Used by
# scripts/test.sh --cross=ARCH and scripts/package.sh --cross=ARCH:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake -DATANPI_DEB_ARCH=armhf ...
# ATANPI_DEB_ARCH, the Debian architecture, also names the package's
# architecture (cmake/package.cmake); ATANPI_QEMU_CPU the processor qemu
# emulates.
set(ATANPI_DEB_ARCH "" CACHE STRING "Debian architecture to build for: arm64, armhf, i386, ppc64el, s390x or riscv64")

# Debian architecture, GNU triplet (the cross compiler's prefix and the
# multiarch directory), the processor as CMake names it, qemu-user's program
# and the processor it emulates by default:
#   arm64    Armv8 with NEON, SVE and SVE2 (512-bit vectors) on "max"
#   armhf    Armv7 with VFPv3 (Debian's baseline), a Cortex-A7 (Raspberry Pi 2)
#   i386     "max": SSE2 (which the build needs) up to SSE4 and beyond
#   ppc64el  POWER9
#   s390x    "max": z/Architecture, big-endian
#   riscv64  RV64GC with the V extension and 128-bit vectors (the rvv
#            engine's; tests/CMakeLists.txt runs it at 512 bits and checks
#            a processor without V too)
set(atanpi_debian_arches
    "arm64 aarch64-linux-gnu aarch64 qemu-aarch64 max"
    "armhf arm-linux-gnueabihf arm qemu-arm cortex-a7"
    "i386 i686-linux-gnu i686 qemu-i386 max"
    "ppc64el powerpc64le-linux-gnu ppc64le qemu-ppc64le power9"
    "s390x s390x-linux-gnu s390x qemu-s390x max"
    "riscv64 riscv64-linux-gnu riscv64 qemu-riscv64 rv64,v=true,vlen=128")
set(atanpi_arch_row "")
foreach(row IN LISTS atanpi_debian_arches)
  string(REPLACE " " ";" row "${row}")
  list(GET row 0 arch)
  if(arch STREQUAL ATANPI_DEB_ARCH)
    set(atanpi_arch_row "${row}")
  endif()
endforeach()
if(NOT atanpi_arch_row)
  message(FATAL_ERROR "ATANPI_DEB_ARCH is '${ATANPI_DEB_ARCH}'; one of arm64, armhf, i386, ppc64el, s390x, riscv64 expected")
endif()
list(GET atanpi_arch_row 1 atanpi_triplet)
list(GET atanpi_arch_row 2 atanpi_processor)
list(GET atanpi_arch_row 3 atanpi_qemu)
list(GET atanpi_arch_row 4 atanpi_qemu_cpu)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${atanpi_processor})
set(CMAKE_C_COMPILER ${atanpi_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${atanpi_triplet}-g++)
# The architecture's libraries with their CMake and pkg-config files are
# under /usr/lib/TRIPLET; look there and never in the host's directories.
set(CMAKE_LIBRARY_ARCHITECTURE ${atanpi_triplet})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${atanpi_triplet}/pkgconfig:/usr/share/pkgconfig)
# The compiler checks (try_compile) read this file again: they need the
# architecture too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ATANPI_DEB_ARCH ATANPI_QEMU_CPU)

# -L /: the guest loads the multiarch loader and libc under / (those the
# architecture's libraries were built against). With the cross toolchain's
# older copy in /usr/TRIPLET every thread start hangs on aarch64.
find_program(ATANPI_QEMU ${atanpi_qemu} REQUIRED)
set(ATANPI_QEMU_CPU ${atanpi_qemu_cpu} CACHE STRING "CPU model qemu emulates for the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR ${ATANPI_QEMU} -L / -cpu ${ATANPI_QEMU_CPU})
