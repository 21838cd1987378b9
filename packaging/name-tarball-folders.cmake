# Run by cpack after it made the tarballs of one build: cpack names the folder
# inside each after the build (CPACK_PACKAGE_FILE_NAME); this renames it after
# the tarball itself, which carries the architecture.
foreach(tarball IN LISTS CPACK_PACKAGE_FILES)
  if(NOT tarball MATCHES "[.]tar[.]gz$")
    continue()
  endif()
  get_filename_component(name ${tarball} NAME)
  string(REGEX REPLACE "[.]tar[.]gz$" "" folder ${name})
  set(work ${CPACK_TOPLEVEL_DIRECTORY}/rename-${folder})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${work})
  file(RENAME ${work}/${CPACK_PACKAGE_FILE_NAME} ${work}/${folder})
  file(REMOVE ${tarball})
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${tarball} ${folder}
    WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
endforeach()
