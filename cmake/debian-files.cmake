# Run by CPack before packaging. Debian ships manual pages and changelogs
# gzip-compressed and programs stripped of what only a build needs; the
# tarball keeps them plain, as `cmake --install` does.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE compressed "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/changelog")
foreach(file IN LISTS compressed)
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_VORK_STRIP}" --remove-section=.comment --remove-section=.note
                          "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
