# The WebAssembly builds, for scripts/test.sh --node and --web and
# scripts/package.sh --web (sourced; $root is the project's folder):
#   build-wasm/     with threads: the Node program atanpi.js, the engine's
#                   tests, and the page in build-wasm/web/
#   build-wasm-1t/  without threads: the page's program for hosts without
#                   shared memory, copied into build-wasm/web/
# emscripten's tools run on Node and need its modules from Debian's
# node-* packages (acorn).
export NODE_PATH=/usr/share/nodejs

# The page's files, once built into build-wasm/web/.
WEB_PAGE_FILES=(index.html atanpi-page.js atanpi-worker.js atanpi-web.js atanpi-web.wasm atanpi-web.worker.js
                atanpi-web-1t.js atanpi-web-1t.wasm)

# Configures the WebAssembly tree $1 (further arguments go to cmake); the
# tests run under Node.
wasm_configure() {
  local dir=$1
  shift
  emcmake cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DATANPI_BUILD_BENCH=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/node "$@" >/dev/null
}

# Builds the page into build-wasm/web/: the threaded program, the one without
# threads, and the page's own files.
build_web_page() {
  wasm_configure "$root/build-wasm"
  cmake --build "$root/build-wasm" --target atanpi-web
  wasm_configure "$root/build-wasm-1t" -DATANPI_WASM_THREADS=OFF -DATANPI_BUILD_TESTS=OFF
  cmake --build "$root/build-wasm-1t" --target atanpi-web
  cp "$root"/build-wasm-1t/web/atanpi-web-1t.* "$root/build-wasm/web/"
}
