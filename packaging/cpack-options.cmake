# Read by cpack for each generator: a tarball unpacks into a folder of its
# own, as the single-package tarballs do.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
