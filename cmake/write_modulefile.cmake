# Run at install time (install(CODE) includes this file): writes the module
# file for the prefix this install actually uses, which `cmake --install
# --prefix DIR` may have changed since configuration, and installs it like any
# other file, staged under DESTDIR when that is set.
#
# Expects MODULE_TEMPLATE, MODULE_DESTINATION (relative to
# the prefix), MODULE_BINDIR_REL, MODULE_EXAMPLESDIR_REL, PACKAGE_NAME,
# PACKAGE_SUMMARY and PROJECT_VERSION.

set(MODULE_PREFIX "${CMAKE_INSTALL_PREFIX}")
# A relative prefix (`--prefix labs`) installs below the current folder, the
# base of relative paths here too; the module file needs the absolute path.
if(NOT IS_ABSOLUTE "${MODULE_PREFIX}")
  if(DEFINED ENV{DESTDIR} AND NOT "$ENV{DESTDIR}" STREQUAL "")
    message(FATAL_ERROR "A staged install (DESTDIR) needs an absolute prefix: ${MODULE_PREFIX}")
  endif()
  get_filename_component(MODULE_PREFIX "${MODULE_PREFIX}" ABSOLUTE)
endif()
# The paths go into the module file inside Tcl braces: a brace or backslash
# in them would change what the file means.
if(MODULE_PREFIX MATCHES "[{}\\\\\n]")
  message(FATAL_ERROR "The module file cannot name a prefix with braces, backslashes or newlines: ${MODULE_PREFIX}")
endif()
cmake_path(NORMAL_PATH MODULE_PREFIX)
string(REGEX REPLACE "(.)/$" "\\1" MODULE_PREFIX "${MODULE_PREFIX}")
cmake_path(APPEND MODULE_PREFIX "${MODULE_BINDIR_REL}" OUTPUT_VARIABLE MODULE_BINDIR)
cmake_path(APPEND MODULE_PREFIX "${MODULE_EXAMPLESDIR_REL}" OUTPUT_VARIABLE MODULE_EXAMPLESDIR)

file(READ "${MODULE_TEMPLATE}" _template)
string(CONFIGURE "${_template}" _content @ONLY)
# Written straight to its place (no work file in the build tree, which the
# user installing may only be able to read), then recorded like any other
# installed file (the manifest, as CMake's own rules keep it, without DESTDIR).
set(_file "${MODULE_PREFIX}/${MODULE_DESTINATION}/${PROJECT_VERSION}")
set(_staged "$ENV{DESTDIR}${_file}")
message(STATUS "Installing: ${_staged}")
file(WRITE "${_staged}" "${_content}")
file(CHMOD "${_staged}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_file}")
