# Install rules, the Debian package and the environment module file.
#
# An install holds the five programs in bin/, their manual pages in
# share/man/man1/, the README, the change log (as it is and as Debian's
# changelog.gz), the licence (as copyright, the name Debian gives it), the
# documents the README links to (docs/) and the example inputs in
# share/doc/<package>/, and a module file in share/modulefiles/<package>/<version>
# (in an install to /usr, where Debian's module systems look: see below);
# nothing else (no test or benchmark programs, no static libraries). The
# programs link only shared system libraries, so an install needs nothing from
# the source or build tree.

# The Debian form of the project name (lowercase, hyphens) names the package,
# its documentation folder and its module.
set(PACKAGE_NAME parallel-labs)
set(PACKAGE_SUMMARY "OpenMP and MPI programs for teaching and benchmarking parallel programming")
include(GNUInstallDirs)
# Debian keeps a package's documents under the package's name, not under the
# CMake project's (parallel_labs, GNUInstallDirs' CMAKE_INSTALL_DOCDIR).
set(PARALLEL_LABS_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${PACKAGE_NAME}")

set(PARALLEL_LABS_PROGRAMS bank product_timer)
if(MPI_FOUND)
  list(APPEND PARALLEL_LABS_PROGRAMS ${MPI_PROGRAMS})
endif()
install(TARGETS ${PARALLEL_LABS_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Installed MPI programs find an MPI that lives outside the system's library
# folders (an MPI module's prefix) through a run path naming its library
# folder; the MPIs in the system folders (Debian's: their libraries are in the
# loader's cache) get none. A library counts as in a system folder when the
# file it resolves to lies in one of the compiler's implicit link folders.
set(MPI_RUN_PATH "")
foreach(_library IN LISTS MPI_CXX_LIBRARIES)
  if(NOT IS_ABSOLUTE "${_library}" OR NOT EXISTS "${_library}")
    continue()
  endif()
  get_filename_component(_real "${_library}" REALPATH)
  get_filename_component(_real_dir "${_real}" DIRECTORY)
  get_filename_component(_dir "${_library}" DIRECTORY)
  set(_system FALSE)
  foreach(_implicit IN LISTS CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
    get_filename_component(_implicit "${_implicit}" REALPATH)
    if(_real_dir STREQUAL _implicit)
      set(_system TRUE)
    endif()
  endforeach()
  if(NOT _system)
    list(APPEND MPI_RUN_PATH "${_dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES MPI_RUN_PATH)
if(MPI_RUN_PATH)
  message(STATUS "MPI programs' run path: ${MPI_RUN_PATH}")
  foreach(_program ${MPI_PROGRAMS})
    if(TARGET ${_program})
      # The same path in the build tree and once installed, linked in as it
      # is: nothing to rewrite at install time, and no trailing empty entry
      # (which the loader would read as the working folder).
      set_target_properties(${_program} PROPERTIES SKIP_BUILD_RPATH OFF
        BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${MPI_RUN_PATH}")
    endif()
  endforeach()
endif()
# Debian's strip (dh_strip) also drops the compiler's notes (.comment, .note),
# which a plain `strip` keeps; an install that strips (CPack's, with
# CPACK_STRIP_FILES, or `cmake --install --strip`) does the same here.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(_program ${PARALLEL_LABS_PROGRAMS})
      execute_process(COMMAND [[${CMAKE_STRIP}]] --remove-section=.comment --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${_program}\"
                      RESULT_VARIABLE _status)
      if(NOT _status EQUAL 0)
        message(FATAL_ERROR \"Could not strip \${_program}\")
      endif()
    endforeach()
  endif()
")

# The Maintainer field names whoever builds and hands out the package (a lab,
# a department): -DPACKAGE_MAINTAINER="Name <address>". Left empty, it comes
# from DEBFULLNAME and DEBEMAIL (Debian's variables for a maintainer's name and
# address) when both are set at configure time, else from the project's
# address.
set(PACKAGE_MAINTAINER "" CACHE STRING "Maintainer field of the Debian package: Name <address>")
if(PACKAGE_MAINTAINER)
  set(_maintainer "${PACKAGE_MAINTAINER}")
elseif(NOT "$ENV{DEBFULLNAME}" STREQUAL "" AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  set(_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(_maintainer "Parallel labs maintainers <maintainers@parallel-labs.example.org>")
endif()
if(NOT _maintainer MATCHES "^[^<>,]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "PACKAGE_MAINTAINER must read 'Name <address>', not '${_maintainer}'")
endif()
message(STATUS "Debian package maintainer: ${_maintainer} (PACKAGE_MAINTAINER)")
# The change log's entries name the maintainer: rebuilt when it changes, so
# the file is written only then (file(CONFIGURE) would do it, but CMake 3.18
# refuses the "<" of the address in its content).
set(_maintainer_file ${PROJECT_BINARY_DIR}/compressed/maintainer.txt)
set(_maintainer_before "")
if(EXISTS ${_maintainer_file})
  file(READ ${_maintainer_file} _maintainer_before)
endif()
if(NOT _maintainer_before STREQUAL "${_maintainer}\n")
  file(WRITE ${_maintainer_file} "${_maintainer}\n")
endif()

# Manual pages (man/, section 1) of the programs built, and the change log
# as Debian's changelog.gz, compressed as Debian installs them: gzip -9n
# (no file name or time stamp inside, so every build gives the same bytes).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
mark_as_advanced(GZIP_EXECUTABLE)
set(_compressed_dir ${PROJECT_BINARY_DIR}/compressed)
set(_compressed "")
set(_man_pages "")
foreach(_source IN LISTS PARALLEL_LABS_PROGRAMS ITEMS changelog)
  if(_source STREQUAL "changelog")
    # CHANGELOG.md in the Debian change log's form (cmake/debian_changelog.cmake).
    set(_input ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
    set(_copy ${_compressed_dir}/changelog)
    set(_make_copy ${CMAKE_COMMAND} -DINPUT=${_input} -DOUTPUT=${_copy} -DPACKAGE_NAME=${PACKAGE_NAME}
        -DMAINTAINER=${_maintainer} -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake)
    set(_script ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake ${_compressed_dir}/maintainer.txt)
  else()
    set(_input ${PROJECT_SOURCE_DIR}/man/${_source}.1)
    set(_copy ${_compressed_dir}/${_source}.1)
    set(_make_copy ${CMAKE_COMMAND} -E copy ${_input} ${_copy})
    set(_script "")
    list(APPEND _man_pages ${_copy}.gz)
  endif()
  add_custom_command(OUTPUT ${_copy}.gz
    COMMAND ${_make_copy}
    COMMAND ${GZIP_EXECUTABLE} -9nf ${_copy}
    DEPENDS ${_input} ${_script} VERBATIM)
  list(APPEND _compressed ${_copy}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${_compressed})
install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_compressed_dir}/changelog.gz DESTINATION ${PARALLEL_LABS_DOCDIR})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${PARALLEL_LABS_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${PARALLEL_LABS_DOCDIR} RENAME copyright)
# The documents the README links to, so that its links work in the install.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${PARALLEL_LABS_DOCDIR}/docs)
# The whole folder, so that every example input and job script comes along.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${PARALLEL_LABS_DOCDIR}/examples)

set(MODULEFILE_DIR "${CMAKE_INSTALL_DATAROOTDIR}/modulefiles/${PACKAGE_NAME}")
install(CODE "
  set(MODULE_TEMPLATE [[${PROJECT_SOURCE_DIR}/cmake/modulefile.in]])
  set(MODULE_DESTINATION [[${MODULEFILE_DIR}]])
  set(MODULE_BINDIR_REL [[${CMAKE_INSTALL_BINDIR}]])
  set(MODULE_EXAMPLESDIR_REL [[${PARALLEL_LABS_DOCDIR}/examples]])
  set(MODULE_MANDIR_REL [[${CMAKE_INSTALL_MANDIR}]])
  set(PACKAGE_NAME [[${PACKAGE_NAME}]])
  set(PACKAGE_SUMMARY [[${PACKAGE_SUMMARY}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/write_modulefile.cmake]])
")

# Debian package: `cpack -G DEB` in the build tree, installing under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Parallel labs")
set(CPACK_PACKAGE_CONTACT "${_maintainer}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PACKAGE_SUMMARY})
set(CPACK_PACKAGE_DESCRIPTION "Five small command-line programs that show shared-memory parallelism
(OpenMP) and message passing (MPI) at work: bank, vector_max, greetings,
sum_of_ranks and product_timer. Includes example inputs and an environment
module file.")
# Install into the staging folder through DESTDIR with the package's real
# prefix, so that the install-time code sees /usr and the module file names
# it (without DESTDIR, CPack would hand it the staging folder as the prefix).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The package is parallel-labs whichever MPI it was built with; the file name
# says which: parallel-labs-openmpi_<version>_<arch>.deb or
# parallel-labs-mpich_..., so that the two builds' files do not overwrite
# each other. A build without MPI keeps Debian's name,
# parallel-labs_<version>_<arch>.deb.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(MPI_FAMILY STREQUAL "Open MPI" OR MPI_FAMILY STREQUAL "MPICH")
  string(REPLACE " " "" _family "${MPI_FAMILY}")
  string(TOLOWER "${_family}" _family)
  find_program(DPKG_EXECUTABLE dpkg)
  mark_as_advanced(DPKG_EXECUTABLE)
  set(_architecture "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
  if(NOT _architecture AND DPKG_EXECUTABLE)
    execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
                    OUTPUT_VARIABLE _architecture OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(_architecture)
    set(CPACK_DEBIAN_FILE_NAME "${PACKAGE_NAME}-${_family}_${PROJECT_VERSION}_${_architecture}.deb")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION education)
if(NOT CMAKE_CROSSCOMPILING)
  # Depends comes from the shared libraries the programs link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  # A cross build: the package is for the target's Debian architecture, not
  # the build machine's. dpkg-shlibdeps cannot read the target's libraries,
  # so Depends names the ones that bank and product_timer load (a cross build
  # has no MPI programs), without versions.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libgomp1, libstdc++6")
else()
  # Any other cross build: cpack stops with this message rather than label
  # the programs with the build machine's architecture.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_refuse.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
       "message(FATAL_ERROR \"No Debian package for a cross build for ${CMAKE_SYSTEM_PROCESSOR}: only aarch64 (arm64) cross packages are made (cmake/install.cmake)\")\n")
endif()
# The MPI programs are started through the launcher of the MPI they were
# built with, which no library pulls in: Debian's openmpi-bin (mpirun) or
# mpich (mpiexec.mpich). The library itself comes through Depends.
if(MPI_FAMILY STREQUAL "Open MPI")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "openmpi-bin")
elseif(MPI_FAMILY STREQUAL "MPICH")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mpich")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "environment-modules | lmod")
include(CPack)
