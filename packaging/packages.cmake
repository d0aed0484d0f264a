# The Debian packages, one per install component:
#   vardo                          daemon, vardoctl, man pages, unit, completion
#   libkeeperclient<N>             the client library programs run with
#   libkeeperclient-dev            headers, pkg-config and CMake files, static library
#   postgresql-<major>-vardo-extensions   libFAST, libdetect, libtolvar
# Package versions are the project's version; runtime dependencies come from
# dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vardo)
set(CPACK_PACKAGE_VENDOR "vardo maintainers")
set(CPACK_PACKAGE_CONTACT "${PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The generator strips the programs and libraries itself and keeps what it
# strips, one <package>-dbgsym .ddeb each; files stripped before it sees
# them (CPACK_STRIP_FILES) would leave it nothing to keep.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

foreach(component name IN ZIP_LISTS PACKAGE_COMPONENTS PACKAGE_NAMES)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
endforeach()

set(CPACK_DEBIAN_VARDO_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_VARDO_DESCRIPTION "process supervisor of a network appliance
vardo starts the appliance's programs level by level from its INI file,
restarts them by policy, probes them with keep-alive messages, runs periodic
checks with actions, and owns the appliance's system configuration. vardoctl
lists, starts, stops and restarts the supervised programs and checks and sets
flags. The package holds both programs, their man pages, a systemd unit, bash
completion for vardoctl and an example INI file.")

set(CPACK_DEBIAN_KEEPERCLIENT_PACKAGE_SECTION libs)
# Programs linked against the library depend on this release or a later one
# of the same ABI; dpkg runs ldconfig through its trigger.
set(client_control ${CMAKE_CURRENT_BINARY_DIR}/libkeeperclient-control)
file(WRITE ${client_control}/shlibs
  "libkeeperclient ${KEEPERCLIENT_SOVERSION} libkeeperclient${KEEPERCLIENT_SOVERSION} (>= ${PROJECT_VERSION})\n")
file(WRITE ${client_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_KEEPERCLIENT_PACKAGE_CONTROL_EXTRA ${client_control}/shlibs ${client_control}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_KEEPERCLIENT_DESCRIPTION "client library of the vardo process supervisor
keeperclient connects a supervised program to the vardo daemon: it announces
the program, answers keep-alive probes, publishes and receives events,
registers callbacks and sends the daemon's requests.")

set(CPACK_DEBIAN_KEEPERCLIENT-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_KEEPERCLIENT-DEV_PACKAGE_DEPENDS
  "libkeeperclient${KEEPERCLIENT_SOVERSION} (= ${PROJECT_VERSION}), libiniparser-dev")
set(CPACK_COMPONENT_KEEPERCLIENT-DEV_DESCRIPTION "client library of the vardo process supervisor (development files)
Headers, the static library, a pkg-config file (keeperclient) and a CMake
package (find_package(keeperclient)) for building programs that vardo
supervises.")

if(PG_MAJOR)
  set(CPACK_DEBIAN_PG-EXTENSIONS_PACKAGE_SECTION database)
  set(CPACK_DEBIAN_PG-EXTENSIONS_PACKAGE_DEPENDS "postgresql-${PG_MAJOR}")
  # The rule generators tolvar runs are the appliance's own ruby scripts.
  set(CPACK_DEBIAN_PG-EXTENSIONS_PACKAGE_RECOMMENDS ruby)
  set(CPACK_COMPONENT_PG-EXTENSIONS_DESCRIPTION "PostgreSQL ${PG_MAJOR} extensions of the vardo appliance
Three extensions over the appliance's attack-pattern tables: fast (libFAST,
pattern text from strips), detect (libdetect, prevalent hosts of a pattern)
and tolvar (libtolvar, filter rule text for a target, through external rule
generators run with ruby).")
endif()

# Read by packaging/check_packages.sh, which then checks the packages as made.
string(REPLACE ";" "\n" omitted "${PACKAGES_OMITTED}")
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/omitted "${omitted}")

include(CPack)
