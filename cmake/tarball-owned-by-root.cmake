# Run by CPack after packaging: a tarball made by an ordinary user records
# that user as the owner of every file, which root then gets on unpacking.
# Packed again with GNU tar, every file owned by root (0:0).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  set(unpacked "${package}.unpacked")
  file(REMOVE_RECURSE "${unpacked}")
  file(MAKE_DIRECTORY "${unpacked}")
  execute_process(COMMAND tar -xzf "${package}" -C "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB top RELATIVE "${unpacked}" "${unpacked}/*")
  execute_process(COMMAND tar --owner=0 --group=0 --numeric-owner --sort=name -czf "${package}" ${top}
                  WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${unpacked}")
endforeach()
