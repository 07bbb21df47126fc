# Install rules, the Debian package and the environment module file.
#
# An install holds the five programs in bin/, the README, the change log, the
# licence (as copyright, the name Debian gives it), the documents the README
# links to (docs/) and the example inputs in share/doc/<package>/, and a module file in
# share/modulefiles/<package>/<version>; nothing else (no test or benchmark
# programs, no static libraries). The programs link only shared system
# libraries, so an install needs nothing from the source or build tree.

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
  list(APPEND PARALLEL_LABS_PROGRAMS vector_max greetings sum_of_ranks)
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
  foreach(_program vector_max greetings sum_of_ranks)
    if(TARGET ${_program})
      # The same path in the build tree and once installed, linked in as it
      # is: nothing to rewrite at install time, and no trailing empty entry
      # (which the loader would read as the working folder).
      set_target_properties(${_program} PROPERTIES SKIP_BUILD_RPATH OFF
        BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${MPI_RUN_PATH}")
    endif()
  endforeach()
endif()
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
set(CPACK_PACKAGE_CONTACT "Parallel labs maintainers <maintainers@parallel-labs.example.org>")
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
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
