# Installs the build tree BUILD_DIR under the staging prefix STAGE and checks
# that the programs, the manual pages and the documentation land in place
# and that the installed atanpi-verify accepts a result of the installed
# atanpi. LAUNCHER, when not empty, is the emulator command the programs run
# under (cross builds).
separate_arguments(launcher UNIX_COMMAND "${LAUNCHER}")
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGE}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc})")
endif()

foreach(path bin/atanpi bin/atanpi-verify share/man/man1/atanpi.1 share/man/man1/atanpi-verify.1
             share/doc/atanpi/README.md share/doc/atanpi/copyright)
  if(NOT EXISTS "${STAGE}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
foreach(page atanpi.1 atanpi-verify.1)
  file(READ "${DOC_DIR}/${page}" source)
  file(READ "${STAGE}/share/man/man1/${page}" installed)
  if(NOT source STREQUAL installed)
    message(FATAL_ERROR "installed ${page} differs from doc/${page}")
  endif()
endforeach()

execute_process(COMMAND ${launcher} "${STAGE}/bin/atanpi-verify" --help RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Usage: atanpi-verify")
  message(FATAL_ERROR "installed atanpi-verify --help: status ${rc}, output:\n${out}")
endif()

file(MAKE_DIRECTORY "${STAGE}/run")
file(WRITE "${STAGE}/run/input.txt" "3\n1000\n")
execute_process(COMMAND ${launcher} "${STAGE}/bin/atanpi" INPUT_FILE "${STAGE}/run/input.txt"
                WORKING_DIRECTORY "${STAGE}/run" RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installed atanpi: status ${rc}")
endif()
execute_process(COMMAND ${launcher} "${STAGE}/bin/atanpi-verify" AtanOrg3.txt WORKING_DIRECTORY "${STAGE}/run"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "AtanOrg3.txt: formula 3, N=1000: all 1000 digits correct\n")
  message(FATAL_ERROR "installed atanpi-verify on AtanOrg3.txt: status ${rc}, output:\n${out}")
endif()
file(REMOVE_RECURSE "${STAGE}")
