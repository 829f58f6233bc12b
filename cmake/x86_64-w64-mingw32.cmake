# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, which std::thread needs) and the libraries that scripts/setup.sh
# --windows builds into build-windows-deps/prefix (Highway, GMP,
# GoogleTest). The programs are linked statically, the C++ runtime and
# winpthreads included, so that atanpi.exe needs nothing but Windows itself.
# The tests and the programs they start run under wine64, with no binfmt
# registration. Used by scripts/test.sh --windows and scripts/package.sh
# --windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(ATANPI_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build-windows-deps/prefix" CACHE PATH
    "Where scripts/setup.sh --windows installed the MinGW builds of Highway, GMP and GoogleTest")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${ATANPI_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine keeps its Windows installation (the prefix) in the build tree, not in
# the user's home (cmake/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR sh "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh" "${CMAKE_BINARY_DIR}/wine")
