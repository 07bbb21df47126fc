# Run at install time (install(CODE) includes this file): writes the module
# file for the prefix this install actually uses, which `cmake --install
# --prefix DIR` may have changed since configuration, and installs it like any
# other file, staged under DESTDIR when that is set.
#
# Expects MODULE_TEMPLATE, MODULE_DESTINATION (relative to
# the prefix), MODULE_BINDIR_REL, MODULE_MANDIR_REL, MODULE_EXAMPLESDIR_REL,
# PACKAGE_NAME, PACKAGE_SUMMARY and PROJECT_VERSION.
#
# An install to /usr (the Debian package) puts the file where Debian's module
# systems look without `module use`: Environment Modules in
# /usr/share/modules/modulefiles, Lmod in /etc/lmod/modules, which gets a
# link to the package's folder there (a link, not a file: a file in /etc
# would be a configuration file of the package).

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
# The prefix without "." and ".." parts, doubled or trailing slashes.
get_filename_component(MODULE_PREFIX "${MODULE_PREFIX}" ABSOLUTE)
string(REGEX REPLACE "(.)/$" "\\1" MODULE_PREFIX "${MODULE_PREFIX}")

# below_prefix(REL OUT): REL (an install folder, relative or absolute) as an
# absolute path below MODULE_PREFIX.
function(below_prefix rel out)
  if(IS_ABSOLUTE "${rel}")
    set(${out} "${rel}" PARENT_SCOPE)
  elseif(MODULE_PREFIX STREQUAL "/")
    set(${out} "/${rel}" PARENT_SCOPE)
  else()
    set(${out} "${MODULE_PREFIX}/${rel}" PARENT_SCOPE)
  endif()
endfunction()
below_prefix("${MODULE_BINDIR_REL}" MODULE_BINDIR)
below_prefix("${MODULE_EXAMPLESDIR_REL}" MODULE_EXAMPLESDIR)
below_prefix("${MODULE_MANDIR_REL}" MODULE_MANDIR)
set(_lmod_link "")
if(MODULE_PREFIX STREQUAL "/usr")
  set(MODULE_DESTINATION "share/modules/modulefiles/${PACKAGE_NAME}")
  set(_lmod_link "/etc/lmod/modules/${PACKAGE_NAME}")
endif()

file(READ "${MODULE_TEMPLATE}" _template)
string(CONFIGURE "${_template}" _content @ONLY)
# Written straight to its place (no work file in the build tree, which the
# user installing may only be able to read), then recorded like any other
# installed file (the manifest, as CMake's own rules keep it, without DESTDIR).
set(_file "${MODULE_PREFIX}/${MODULE_DESTINATION}/${PROJECT_VERSION}")
set(_staged "$ENV{DESTDIR}${_file}")
message(STATUS "Installing: ${_staged}")
file(WRITE "${_staged}" "${_content}")
# Readable by every user whatever the umask of the one installing.
execute_process(COMMAND chmod 644 "${_staged}" RESULT_VARIABLE _chmod_status)
if(NOT _chmod_status EQUAL 0)
  message(FATAL_ERROR "Could not make ${_staged} readable by all")
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_file}")
if(_lmod_link)
  get_filename_component(_link_dir "$ENV{DESTDIR}${_lmod_link}" DIRECTORY)
  file(MAKE_DIRECTORY "${_link_dir}")
  file(REMOVE "$ENV{DESTDIR}${_lmod_link}")
  message(STATUS "Installing: $ENV{DESTDIR}${_lmod_link} -> ${MODULE_PREFIX}/${MODULE_DESTINATION}")
  file(CREATE_LINK "${MODULE_PREFIX}/${MODULE_DESTINATION}" "$ENV{DESTDIR}${_lmod_link}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_lmod_link}")
endif()
