# Sourced by the scripts in this folder: repository root, package check, build.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages every build needs: compiler, CMake, GoogleTest, Open MPI.
BASE_PACKAGES="g++ make cmake libgtest-dev openmpi-bin libopenmpi-dev"

# ensure_packages PKG...: installs the Debian packages that are missing when
# run as root; otherwise prints the command to run and fails.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "== Installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages. Run as root, then run this script again:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# build_preset NAME: configures and builds one CMake preset quietly.
build_preset() {
  echo "== Building ($1)"
  (cd "$ROOT" && cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$(nproc)" >/dev/null)
}

# MPICH beside Open MPI: the library, its compiler wrapper mpicxx.mpich and its
# launcher mpiexec.mpich (Hydra). Debian keeps Open MPI the default (mpirun,
# mpicxx); MPICH is used by these suffixed names only.
MPICH_PACKAGES="mpich libmpich-dev"

# configure_mpich DIR [CMAKE ARGS...]: configures a release build against
# MPICH in DIR (the command docs/mpi.md gives).
configure_mpich() {
  local dir=$1
  shift
  (cd "$ROOT" && cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
     -DMPI_CXX_COMPILER=/usr/bin/mpicxx.mpich -DMPIEXEC_EXECUTABLE=/usr/bin/mpiexec.mpich "$@" >/dev/null)
}

# mpi_launcher BUILD_DIR: sets the array MPIRUN to the launcher that build
# was configured with, and the flags it needs here: Open MPI's mpirun must be
# told that more ranks than cores, and running as root, are meant; Hydra
# (MPICH) needs neither and refuses both flags.
mpi_launcher() {
  local exe
  exe=$(sed -n 's/^MPIEXEC_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt")
  MPIRUN=("${exe:-mpirun}")
  if "${MPIRUN[0]}" --version 2>&1 | grep -qE '\((Open MPI|OpenRTE)\)'; then
    MPIRUN+=(--oversubscribe)
    [ "$(id -u)" -ne 0 ] || MPIRUN+=(--allow-run-as-root)
  fi
}

# Packages of the emulated cluster (scripts/cluster.sh): namespaces, Slurm
# with munge for its authentication.
CLUSTER_PACKAGES="iproute2 util-linux procps munge slurmctld slurmd slurm-client"

# ensure_daemon_packages PKG...: ensure_packages for packages that ship system
# services (munge, slurmd, ...). Their services must not start on install: the
# cluster script runs its own daemons with its own configuration, and nothing
# may be left running. Debian's policy-rc.d hook (exit 101: "action
# forbidden") says so to the packages' install scripts while they run.
ensure_daemon_packages() {
  local policy=/usr/sbin/policy-rc.d status=0
  if [ "$(id -u)" -ne 0 ] || [ -e "$policy" ]; then
    ensure_packages "$@"
    return
  fi
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  ensure_packages "$@" || status=$?
  rm -f "$policy"
  return "$status"
}

# Packages of the checking suites: clang with the LLVM OpenMP runtime and
# sanitizer runtimes (ThreadSanitizer, libFuzzer), and valgrind.
CHECK_PACKAGES="valgrind clang libomp-14-dev libclang-rt-14-dev"

# Packages of the install tests: Environment Modules to load the module file,
# dpkg-dev (dpkg-shlibdeps) and file, with which CPack works out the Debian
# package's dependencies.
INSTALL_TEST_PACKAGES="environment-modules dpkg-dev file"

# Packages of the aarch64 cross build (scripts/cross_aarch64.sh): the cross
# compiler, qemu-user to run the tests, and GoogleTest's sources to build it
# for the target.
CROSS_PACKAGES="cmake make g++-aarch64-linux-gnu qemu-user-static googletest dpkg-dev"

# Packages of the builds with other compilers (scripts/compilers.sh): GCC 11,
# and Clang with LLVM's OpenMP runtime.
COMPILER_PACKAGES="g++-11 clang libomp-14-dev"
