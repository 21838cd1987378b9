# Read by cpack for each generator: a tarball unpacks into a folder of its
# own, named as the tarball is, for its architecture (portlink-1.0.0-linux-
# armhf/), so that tarballs of several architectures unpack side by side.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/name-tarball-folders.cmake)
endif()
