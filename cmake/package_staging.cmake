# Run by cpack on the staged files before it packs them: manual pages
# compressed as Debian keeps them (gzip -9, no name or time stamp inside),
# and the changelog Debian wants of a package of its own upstream, one entry
# for this version (dated SOURCE_DATE_EPOCH when set, else now).

# Compresses the file $path with gzip -9n in place.
function(gzip_in_place path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${path} failed")
  endif()
endfunction()

file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1")
file(GLOB_RECURSE copyright "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/${CPACK_PACKAGE_NAME}/copyright")
list(LENGTH pages page_count)
if(NOT page_count EQUAL 2 OR NOT copyright)
  message(FATAL_ERROR "staged files incomplete under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}: ${pages} ${copyright}")
endif()
foreach(page IN LISTS pages)
  gzip_in_place("${page}")
endforeach()

get_filename_component(doc_dir "${copyright}" DIRECTORY)
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc_dir}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Version ${CPACK_PACKAGE_VERSION} of atanpi and atanpi-verify.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
gzip_in_place("${doc_dir}/changelog")
