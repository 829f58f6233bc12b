# The Debian package of atanpi and atanpi-verify, made by CPack's DEB
# generator (scripts/package.sh runs cpack in Release build trees, the
# native one and the cross builds). The version is the project's.

# Documentation every install gets; the package's copyright file is the
# machine-readable one Debian reads.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/doc/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(ATANPI_DEB_MAINTAINER "atanpi maintainers <maintainers@users.noreply.c-seed-a696c6ca.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME atanpi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "digits of pi by the classic arctangent method")
set(CPACK_PACKAGE_DESCRIPTION
    "atanpi asks for a formula (Machin, Gauss, Klingenstierna, Stoermer or\n"
    "Takano) and a number of digits, up to 5,000,035, sums the formula's\n"
    "arctangent series on base-100000 fixed-point words, and writes the\n"
    "digits of pi to a result file. The series run on the vector unit of the\n"
    "processor where there is a kernel for it (SSE4, AVX2 or AVX-512 on amd64,\n"
    "NEON or SVE on arm64, SSE4 on i386), chosen at run time, and elsewhere\n"
    "one double at a time. All give the same words as the straightforward\n"
    "arithmetic. atanpi-verify checks a result file against pi computed with\n"
    "GMP.")
if(ATANPI_X86_32)
  list(APPEND CPACK_PACKAGE_DESCRIPTION
       "\n.\nThis package needs a processor with SSE2 (Pentium 4, Pentium M, Atom,\n"
       "Athlon 64 or later): atanpi refuses to start on one without.")
endif()
list(JOIN CPACK_PACKAGE_DESCRIPTION "" CPACK_PACKAGE_DESCRIPTION)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ATANPI_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Depends: from the libraries the programs link, by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  # The Debian architecture the toolchain file names (cmake/debian-cross.cmake);
  # a cross build for a system without one (none named) makes no package.
  if(NOT ATANPI_DEB_ARCH)
    message(STATUS "No Debian package: no Debian architecture named for ${CMAKE_SYSTEM_PROCESSOR}")
    return()
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ATANPI_DEB_ARCH})
  # dpkg-shlibdeps then reads that architecture's libraries' dependency
  # information and the cross binutils' objdump.
  set(ATANPI_DEB_HOST_ARCH ${ATANPI_DEB_ARCH})
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/package_config.cmake.in ${PROJECT_BINARY_DIR}/package_config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package_config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_staging.cmake)
include(CPack)
