# The WebAssembly build (emscripten, configured with emcmake; see
# doc/WEB.md): the same sources with Highway's WASM target (SIMD128, 2
# doubles a vector) as the engine, and with ATANPI_WASM_THREADS the engine's
# threads as pthreads (Web Workers on a SharedArrayBuffer). It leaves
#   atanpi.js, .wasm          the command-line program for Node.js, reading
#                             and writing the real files (NODERAWFS);
#   atanpi-bench-run.js       the engine runner of bench/, the same way;
#   web/atanpi-web.js, .wasm  the program for the web page's worker: a
#                             module factory, files in memory (without
#                             threads: web/atanpi-web-1t.js, .wasm);
# and the engine's tests, run under Node by ctest.
option(ATANPI_WASM_THREADS "Run the engine's threads as pthreads (needs SharedArrayBuffer)" ON)
# The program's static arrays (two of 4 MB, the engine's scratch of 16 MB)
# and the heap; fixed, so that a page may read the progress counters from
# the memory it was given.
set(ATANPI_WASM_MEMORY 64MB)

add_compile_options(-msimd128)
if(ATANPI_WASM_THREADS)
  add_compile_options(-pthread)
  add_link_options(-pthread)
endif()

# Highway on WebAssembly has no run-time dispatch: its headers alone compile
# the kernel for the static target. They are reached through a folder of
# their own, since the system's include folder would hide emscripten's C
# library.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/hwy-include)
file(CREATE_LINK /usr/include/hwy ${PROJECT_BINARY_DIR}/hwy-include/hwy SYMBOLIC)
add_library(hwy::hwy INTERFACE IMPORTED)
target_include_directories(hwy::hwy INTERFACE ${PROJECT_BINARY_DIR}/hwy-include)

# The threads a run may start: the host's processors for the engine and one
# for the progress line, all started with the module (a thread started
# later would wait for the event loop that the running program blocks).
# Beyond them pthread_create fails (PTHREAD_POOL_SIZE_STRICT=2) and the
# engine runs with the threads it has.
set(ATANPI_WASM_PROCESSORS_NODE "require('os').cpus().length")
set(ATANPI_WASM_PROCESSORS_WEB "navigator.hardwareConcurrency")

# atanpi_wasm_link(TARGET HOST): the link options of a program for HOST,
# node (real files, a process's exit status) or web (a module factory
# started by the page's worker).
function(atanpi_wasm_link target host)
  set(options -sINITIAL_MEMORY=${ATANPI_WASM_MEMORY})
  if(host STREQUAL "node")
    # Node 20 has a fetch of its own, which emscripten 3.1 would use to
    # load the .wasm file: it is read synchronously instead.
    list(APPEND options -sENVIRONMENT=node,worker -sNODERAWFS=1 -sEXIT_RUNTIME=1 -sWASM_ASYNC_COMPILATION=0)
    if(ATANPI_WASM_THREADS)
      list(APPEND options -sPROXY_TO_PTHREAD=1)
    endif()
    set(processors ${ATANPI_WASM_PROCESSORS_NODE})
  else()
    list(APPEND options -sENVIRONMENT=worker -sMODULARIZE=1 -sEXPORT_NAME=createAtanpi -sINVOKE_RUN=0
         -sEXIT_RUNTIME=1 "-sEXPORTED_RUNTIME_METHODS=['FS','callMain','UTF8ToString']"
         "-sEXPORTED_FUNCTIONS=['_main','_atanpi_progress_state','_atanpi_engine','_atanpi_threads']")
    set(processors ${ATANPI_WASM_PROCESSORS_WEB})
  endif()
  if(ATANPI_WASM_THREADS)
    list(APPEND options "-sPTHREAD_POOL_SIZE=${processors}+1" -sPTHREAD_POOL_SIZE_STRICT=2)
  endif()
  target_link_options(${target} PRIVATE ${options})
endfunction()
