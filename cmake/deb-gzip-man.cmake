# CPack pre-build script: compresses the manual pages in the staging tree of
# a .deb (Debian ships them as .1.gz; `cmake --install` leaves them plain).
# gzip -n keeps names and times out, so the package is the same every build.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${page}")
  endif()
endforeach()
