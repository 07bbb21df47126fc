# Debian's hardening flags, as Debian builds its own packages: what
# `dpkg-buildflags` gives for CPPFLAGS, CXXFLAGS and LDFLAGS with every
# hardening feature on (DEB_BUILD_MAINT_OPTIONS=hardening=+all): fortified
# C library calls (-D_FORTIFY_SOURCE), stack protection, and a read-only
# relocation table bound at start (-Wl,-z,relro -Wl,-z,now). The build type
# keeps its own optimisation and debug choice (-O3 of Release), so dpkg's -O2
# and -g are left out; the project's own flags (-ffp-contract=off, warnings)
# stay as they are.
#
# DEBIAN_BUILD_FLAGS is on by default where dpkg-buildflags is found, the
# compiler is GCC or Clang (which takes Debian's GCC flags without a warning:
# checked with Clang 14) and the build is a native,
# optimised one (glibc warns about _FORTIFY_SOURCE without optimisation)
# without sanitizers or fuzzers (which bring their own instrumentation);
# -DDEBIAN_BUILD_FLAGS=OFF builds without them. DEB_BUILD_MAINT_OPTIONS and
# DEB_*FLAGS_APPEND in the environment at configure time change the flags as
# they do for a Debian package build. Configure prints the flags taken.

find_program(DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags)
mark_as_advanced(DPKG_BUILDFLAGS_EXECUTABLE)
set(_default OFF)
if(DPKG_BUILDFLAGS_EXECUTABLE AND CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$" AND NOT CMAKE_CROSSCOMPILING
   AND NOT SANITIZER_BUILD AND NOT BUILD_FUZZERS AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(_default ON)
endif()
# Left empty, the default is worked out at every configure, not kept from the
# first: a build folder configured before dpkg-dev was installed (the demo
# installs less than the tests) gets the flags once it is.
set(DEBIAN_BUILD_FLAGS "" CACHE STRING
    "Build with Debian's hardening flags (dpkg-buildflags): ON, OFF, or empty for the default")
set(_use_debian_flags ${_default})
if(NOT DEBIAN_BUILD_FLAGS STREQUAL "")
  set(_use_debian_flags ${DEBIAN_BUILD_FLAGS})
endif()

if(_use_debian_flags)
  if(NOT DPKG_BUILDFLAGS_EXECUTABLE)
    message(FATAL_ERROR "DEBIAN_BUILD_FLAGS needs dpkg-buildflags (Debian package dpkg-dev)")
  endif()
  set(_maint_options "hardening=+all")
  if(DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
    set(_maint_options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
  endif()
  set(DEBIAN_COMPILE_FLAGS "")
  set(DEBIAN_LINK_FLAGS "")
  foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${_maint_options}"
              ${DPKG_BUILDFLAGS_EXECUTABLE} --get ${_kind}
      OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${_kind} failed (status ${_status})")
    endif()
    separate_arguments(_flags UNIX_COMMAND "${_flags}")
    # The build type's optimisation level and debug information win.
    list(FILTER _flags EXCLUDE REGEX "^-O[0-9a-z]*$|^-g[0-9a-z]*$")
    if(_kind STREQUAL "LDFLAGS")
      list(APPEND DEBIAN_LINK_FLAGS ${_flags})
    else()
      list(APPEND DEBIAN_COMPILE_FLAGS ${_flags})
    endif()
  endforeach()
  # Before add_compile_options of the project's own flags in the command
  # line of every target defined from here on.
  add_compile_options(${DEBIAN_COMPILE_FLAGS})
  add_link_options(${DEBIAN_LINK_FLAGS})
  string(JOIN " " _shown ${DEBIAN_COMPILE_FLAGS} ${DEBIAN_LINK_FLAGS})
  message(STATUS "Debian build flags (DEBIAN_BUILD_FLAGS): ${_shown}")
endif()
