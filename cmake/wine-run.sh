#!/bin/sh
# wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]: runs a Windows program under
# wine64 with its Wine prefix PREFIX (made on first use), Wine's own
# diagnostics off and no offer to install Mono or Gecko. The emulator of
# cmake/x86_64-w64-mingw32.cmake and of the end-to-end tests.
#
# Wine's server and its services (wineboot starts them) are started first,
# on their own, with no descriptor of this program: started by the
# program's wine, they would inherit its standard output and error and hold
# them open after the program ends, so that a reader waiting for their end
# (ctest, the tests) would wait for them. When a server already runs for the
# prefix, the new one exits at once (status 2) and so do they.
prefix=$1
shift
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
mkdir -p "$prefix"
if "$(dirname "$(readlink -f "$wine64")")/wineserver" </dev/null >/dev/null 2>&1; then
  "$wine64" wineboot </dev/null >/dev/null 2>&1
fi
exec "$wine64" "$@"
