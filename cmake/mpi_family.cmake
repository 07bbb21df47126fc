# Which MPI the build uses, and a launcher of the same family.
#
# An MPI library and a launcher of another family do not refuse each other:
# every rank starts as its own one-process world. FindMPI looks for the
# launcher by its plain name (mpiexec), which on a machine with both Open MPI
# and MPICH is whatever the system's alternative points to, whichever library
# the compiler wrapper links. So after find_package(MPI) this file
#   - asks the library for its version (MPI_Get_library_version) and sorts it
#     into a family: "Open MPI" or "MPICH" (MPICH itself and the MPIs built on
#     it, whose launcher is Hydra or behaves like it);
#   - asks the launcher for its version (`mpiexec --version`) and sorts it too;
#   - when they differ, looks for the library's own launcher beside its
#     compiler wrapper (mpiexec.mpich beside mpicxx.mpich, mpiexec beside
#     mpicxx in a prefix) and uses it, or stops with one message naming both.
# It sets MPI_FAMILY and MPIEXEC_FAMILY ("Open MPI", "MPICH", "Slurm" for srun,
# or "unknown") for the test and package rules, and prints both. Then it works
# out the launcher's flags, the other family's launcher and the MPI program
# list, and writes all of it into mpi_launcher.env in the build folder, which
# the scripts and the tests read instead of finding it out again.

if(NOT MPI_CXX_FOUND)
  return()
endif()

# mpi_family_matching(TEXT OPEN_MPI_REGEX MPICH_REGEX OUT): "Open MPI" or
# "MPICH", by the first of the two patterns that TEXT matches; else "unknown".
function(mpi_family_matching text open_mpi mpich out)
  set(family "unknown")
  if(text MATCHES "${open_mpi}")
    set(family "Open MPI")
  elseif(text MATCHES "${mpich}")
    set(family "MPICH")
  endif()
  set(${out} "${family}" PARENT_SCOPE)
endfunction()

# mpi_family_of_library(TEXT OUT): the family named by MPI_Get_library_version.
function(mpi_family_of_library text out)
  mpi_family_matching("${text}" "Open MPI" "MPICH|MVAPICH|Intel\\(R\\) MPI" family)
  set(${out} "${family}" PARENT_SCOPE)
endfunction()

# mpi_family_of_launcher(PROGRAM OUT): the family of a launcher, from its
# --version output ("mpirun (Open MPI) 4.1.4", "HYDRA build details: ...").
function(mpi_family_of_launcher program out)
  get_filename_component(name "${program}" NAME)
  if(name STREQUAL "srun")
    set(${out} "Slurm" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND "${program}" --version
                  OUTPUT_VARIABLE text ERROR_VARIABLE text TIMEOUT 20)
  mpi_family_matching("${text}" "\\(Open MPI\\)|Open RTE|OpenRTE" "HYDRA|Hydra|Intel\\(R\\) MPI" family)
  set(${out} "${family}" PARENT_SCOPE)
endfunction()

# The library's version text. FindMPI fills MPI_CXX_LIBRARY_VERSION_STRING
# only when MPI_DETERMINE_LIBRARY_VERSION was on before find_package; else the
# same question is asked here, by running a tiny program once (cached).
# Asked again when the compiler wrapper changes.
if(NOT MPI_CXX_LIBRARY_VERSION_STRING AND NOT "${MPI_LIBRARY_VERSION_OF}" STREQUAL "${MPI_CXX_COMPILER}")
  if(CMAKE_CROSSCOMPILING)
    set(_text "")
  else()
    set(_source "${CMAKE_BINARY_DIR}${CMAKE_FILES_DIRECTORY}/mpi_library_version.cpp")
    file(WRITE "${_source}" [=[
#include <mpi.h>
#include <cstdio>
int main() {
    char text[MPI_MAX_LIBRARY_VERSION_STRING];
    int length = 0;
    MPI_Get_library_version(text, &length);
    std::printf("%s\n", text);
    return 0;
}
]=])
    try_run(_run_status _compiled "${CMAKE_BINARY_DIR}${CMAKE_FILES_DIRECTORY}/mpi_library_version"
      "${_source}"
      LINK_LIBRARIES MPI::MPI_CXX
      RUN_OUTPUT_VARIABLE _text)
    if(NOT _compiled OR NOT _run_status EQUAL 0)
      set(_text "")
    endif()
  endif()
  string(STRIP "${_text}" _text)
  string(REGEX REPLACE "[\r\n].*" "" _text "${_text}")  # the first line names the MPI
  set(MPI_LIBRARY_VERSION_TEXT "${_text}" CACHE INTERNAL "MPI_Get_library_version of the MPI used")
  set(MPI_LIBRARY_VERSION_OF "${MPI_CXX_COMPILER}" CACHE INTERNAL "Compiler wrapper MPI_LIBRARY_VERSION_TEXT belongs to")
endif()
if(NOT MPI_CXX_LIBRARY_VERSION_STRING)
  set(MPI_CXX_LIBRARY_VERSION_STRING "${MPI_LIBRARY_VERSION_TEXT}")
endif()
# The first line says which MPI and version; the rest are build details.
string(REGEX REPLACE "[\r\n].*" "" _library_line "${MPI_CXX_LIBRARY_VERSION_STRING}")
string(REGEX REPLACE "[ \t]+" " " _library_line "${_library_line}")
mpi_family_of_library("${MPI_CXX_LIBRARY_VERSION_STRING}" MPI_FAMILY)

if(MPIEXEC_EXECUTABLE)
  mpi_family_of_launcher("${MPIEXEC_EXECUTABLE}" MPIEXEC_FAMILY)
else()
  set(MPIEXEC_FAMILY "unknown")
endif()
# A launcher of the other family is replaced by the library's own from beside
# its wrapper, or configure stops. A launcher that names no known family (a
# site's own wrapper) is kept, with a warning; none at all is looked for.
if(MPIEXEC_EXECUTABLE AND MPIEXEC_FAMILY STREQUAL "unknown" AND NOT MPI_FAMILY STREQUAL "unknown")
  message(WARNING "Which MPI the launcher '${MPIEXEC_EXECUTABLE}' belongs to is not known "
                  "(its --version names neither Open MPI nor Hydra); the library is ${MPI_FAMILY}. "
                  "Set MPIEXEC_EXECUTABLE to the launcher of that MPI if this one is not.")
elseif(NOT MPI_FAMILY STREQUAL "unknown" AND NOT MPIEXEC_FAMILY STREQUAL "Slurm"
       AND NOT MPIEXEC_FAMILY STREQUAL MPI_FAMILY)
  # Candidates beside the compiler wrapper, with its suffix first
  # (mpicxx.mpich -> mpiexec.mpich), then the plain names of a prefix.
  get_filename_component(_wrapper_dir "${MPI_CXX_COMPILER}" DIRECTORY)
  get_filename_component(_wrapper_name "${MPI_CXX_COMPILER}" NAME)
  set(_candidates "")
  if(_wrapper_name MATCHES "^[^.]+(\\..+)$")
    list(APPEND _candidates mpiexec${CMAKE_MATCH_1} mpirun${CMAKE_MATCH_1})
  endif()
  list(APPEND _candidates mpiexec.hydra mpiexec mpirun)
  set(_found "")
  foreach(_name IN LISTS _candidates)
    set(_path "${_wrapper_dir}/${_name}")
    if(_wrapper_dir AND EXISTS "${_path}" AND NOT _path STREQUAL MPIEXEC_EXECUTABLE)
      mpi_family_of_launcher("${_path}" _family)
      if(_family STREQUAL MPI_FAMILY)
        set(_found "${_path}")
        break()
      endif()
    endif()
  endforeach()
  if(_found)
    if(MPIEXEC_EXECUTABLE)
      message(STATUS "MPI launcher ${MPIEXEC_EXECUTABLE} belongs to ${MPIEXEC_FAMILY}, "
                     "the library to ${MPI_FAMILY}: using ${_found} instead")
    endif()
    set(MPIEXEC_EXECUTABLE "${_found}" CACHE FILEPATH "Executable for running MPI programs." FORCE)
    set(MPIEXEC_FAMILY "${MPI_FAMILY}")
  elseif(NOT MPIEXEC_EXECUTABLE)
    message(WARNING "No MPI launcher found for ${MPI_FAMILY}: set MPIEXEC_EXECUTABLE to run the MPI tests.")
  else()
    message(FATAL_ERROR
      "The MPI library and the MPI launcher belong to different MPIs:\n"
      "  library  (${MPI_CXX_COMPILER}): ${MPI_FAMILY} - ${_library_line}\n"
      "  launcher (${MPIEXEC_EXECUTABLE}): ${MPIEXEC_FAMILY}\n"
      "Programs built so would start every rank as a one-process world. "
      "Name both of the same MPI, e.g. -DMPI_CXX_COMPILER=/usr/bin/mpicxx.mpich "
      "-DMPIEXEC_EXECUTABLE=/usr/bin/mpiexec.mpich (in a fresh build folder).")
  endif()
endif()

if(_library_line)
  message(STATUS "MPI library: ${_library_line} (${MPI_FAMILY})")
else()
  message(STATUS "MPI library: version not known (${MPI_CXX_COMPILER})")
endif()
message(STATUS "MPI launcher: ${MPIEXEC_EXECUTABLE} (${MPIEXEC_FAMILY})")

# mpi_launcher_flags(FAMILY PREFLAGS ENV_FORM): what a launcher of FAMILY
# needs here. Open MPI's mpirun must be told that more ranks than cores, and
# running as root (the configure's user), are meant, and its TCP transport to
# leave IPv6 alone (else Open MPI 5 prints "Unable to find reachable pairing"
# lines on a host with IPv4 and IPv6 addresses, though the job runs right);
# Hydra (MPICH) needs none of these and refuses the first two. ENV_FORM is how
# an environment variable reaches the ranks, {name} and {value} to be filled
# in: -x {name}={value} (Open MPI) or -genv {name} {value} (Hydra); empty for
# srun, which passes its own environment on.
execute_process(COMMAND id -u OUTPUT_VARIABLE MPI_CONFIGURE_UID OUTPUT_STRIP_TRAILING_WHITESPACE)
function(mpi_launcher_flags family preflags env_form)
  set(_flags "")
  set(_env "")
  if(family STREQUAL "Open MPI")
    set(_flags --oversubscribe --mca btl_tcp_disable_family 6)
    if(MPI_CONFIGURE_UID STREQUAL "0")
      list(APPEND _flags --allow-run-as-root)
    endif()
    set(_env "-x {name}={value}")
  elseif(family STREQUAL "MPICH")
    set(_env "-genv {name} {value}")
  endif()
  set(${preflags} "${_flags}" PARENT_SCOPE)
  set(${env_form} "${_env}" PARENT_SCOPE)
endfunction()

# The launcher as the tests, the scripts and the demo use it.
mpi_launcher_flags("${MPIEXEC_FAMILY}" _family_flags MPI_LAUNCHER_ENV_FORM)
set(MPI_LAUNCHER_PREFLAGS ${MPIEXEC_PREFLAGS} ${_family_flags})

# The launcher of the other MPI family, if installed, with its flags: the
# programs must refuse it. Hydra (mpiexec.mpich) for an Open MPI build, Open
# MPI's mpirun for an MPICH build; looked up afresh at every configure.
set(MPI_OTHER_LAUNCHER "")
set(MPI_OTHER_ENV_FORM "")
if(MPI_FAMILY STREQUAL "Open MPI")
  set(MPI_OTHER_FAMILY "MPICH")
  set(MPI_OTHER_NAMES mpiexec.mpich mpiexec.hydra)
else()
  set(MPI_OTHER_FAMILY "Open MPI")
  set(MPI_OTHER_NAMES mpirun.openmpi mpiexec.openmpi mpirun mpiexec)
endif()
foreach(_name IN LISTS MPI_OTHER_NAMES)
  unset(_other_path CACHE)
  find_program(_other_path ${_name})
  set(_found_path "${_other_path}")
  unset(_other_path CACHE)
  if(_found_path)
    mpi_family_of_launcher("${_found_path}" _family)
    if(_family STREQUAL MPI_OTHER_FAMILY)
      mpi_launcher_flags("${_family}" _other_flags MPI_OTHER_ENV_FORM)
      set(MPI_OTHER_LAUNCHER "${_found_path}" ${_other_flags})
      break()
    endif()
  endif()
endforeach()

# The MPI programs, in mpi/ (built, tested, installed and shown by the demo).
set(MPI_PROGRAMS vector_max greetings sum_of_ranks)

# What was found, written once for the scripts and the tests to read:
# KEY='value' lines that bash can source and the tests parse (list values are
# words separated by spaces).
function(mpi_launcher_fact name)
  string(JOIN " " _value ${ARGN})
  string(REPLACE "'" "'\\''" _value "${_value}")
  set_property(GLOBAL APPEND_STRING PROPERTY MPI_LAUNCHER_FACTS "${name}='${_value}'\n")
endfunction()
set(MPI_LAUNCHER_ENV "${CMAKE_BINARY_DIR}/mpi_launcher.env")
set_property(GLOBAL PROPERTY MPI_LAUNCHER_FACTS
  "# The MPI this build uses and how its launcher is run; written by configure.\n")
mpi_launcher_fact(MPI_FAMILY "${MPI_FAMILY}")
mpi_launcher_fact(MPI_LAUNCHER_FAMILY "${MPIEXEC_FAMILY}")
mpi_launcher_fact(MPI_LAUNCHER "${MPIEXEC_EXECUTABLE}")
mpi_launcher_fact(MPI_NUMPROC_FLAG "${MPIEXEC_NUMPROC_FLAG}")
mpi_launcher_fact(MPI_PREFLAGS ${MPI_LAUNCHER_PREFLAGS})
mpi_launcher_fact(MPI_ENV_FORM "${MPI_LAUNCHER_ENV_FORM}")
mpi_launcher_fact(MPI_OTHER_FAMILY "${MPI_OTHER_FAMILY}")
mpi_launcher_fact(MPI_OTHER_LAUNCHER ${MPI_OTHER_LAUNCHER})
mpi_launcher_fact(MPI_OTHER_ENV_FORM "${MPI_OTHER_ENV_FORM}")
mpi_launcher_fact(MPI_PROGRAMS ${MPI_PROGRAMS})
get_property(_facts GLOBAL PROPERTY MPI_LAUNCHER_FACTS)
file(WRITE "${MPI_LAUNCHER_ENV}" "${_facts}")
