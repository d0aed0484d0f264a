# CMake package of the vardo client library: find_package(keeperclient)
# gives keeperclient::keeperclient (shared) and keeperclient::keeperclient_static.
# The static library needs iniparser at link time (libiniparser-dev).
if(NOT TARGET iniparser::iniparser)
  find_library(KEEPERCLIENT_INIPARSER_LIBRARY iniparser)
  if(KEEPERCLIENT_INIPARSER_LIBRARY)
    add_library(iniparser::iniparser UNKNOWN IMPORTED)
    set_target_properties(iniparser::iniparser PROPERTIES
      IMPORTED_LOCATION ${KEEPERCLIENT_INIPARSER_LIBRARY})
  endif()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/keeperclientTargets.cmake)
