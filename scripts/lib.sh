# Sourced by the scripts in this folder: repository root, package check, build.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The script that sourced this file, for its usage and its messages.
SCRIPT_NAME=$(basename "${BASH_SOURCE[1]:-$0}")

# print_usage: the running script's usage, which is its header comment from
# the line "# usage:" to the header's end, without the comment marks. Written
# once, read by people in the script and by -h/--help.
print_usage() {
  sed -n '/^# usage:/,/^[^#]/{/^#/!q;s/^# \{0,1\}//p}' "$ROOT/scripts/$SCRIPT_NAME"
}

# usage_error MESSAGE: MESSAGE and the usage on stderr, then exit status 2.
usage_error() {
  echo "$SCRIPT_NAME: $1" >&2
  print_usage >&2
  exit 2
}

# check_option ARG, for the scripts' argument loops, before they do anything:
# -h or --help prints the usage and exits 0; any other ARG starting with "-"
# is refused (usage_error); anything else is left to the script.
check_option() {
  case "$1" in
    -h | --help) print_usage; exit 0 ;;
    -*) usage_error "unknown option: $1" ;;
  esac
}

# no_arguments "$@": for a script that takes none: answers -h/--help, refuses
# everything else.
no_arguments() {
  [ $# -eq 0 ] && return 0
  check_option "$1"
  usage_error "unexpected argument: $1"
}

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

# apt_lists: makes sure apt's package lists are there (as root), so that
# apt-cache can tell which packages this release has.
apt_lists() {
  compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || [ "$(id -u)" -ne 0 ] || apt-get update -qq
}

# Named builds, each in build/NAME: "release" (the default build) and the
# checking builds whose settings are initial-cache files, cmake/builds/NAME.cmake
# (asan, tsan, fuzz, aarch64). Plain cmake commands, so that every CMake from
# 3.18 runs them; CMakePresets.json offers the same builds to CMake 3.21+.
# configure_named NAME [CMAKE ARGS...]: configures build/NAME quietly.
configure_named() {
  local name=$1 init=()
  shift
  [ ! -f "$ROOT/cmake/builds/$name.cmake" ] || init=(-C "$ROOT/cmake/builds/$name.cmake")
  [ "$name" != release ] || init=(-DCMAKE_BUILD_TYPE=Release)
  (cd "$ROOT" && cmake "${init[@]}" "$@" -S . -B "build/$name" >/dev/null)
}

# build_named NAME [CMAKE ARGS...]: configures and builds build/NAME quietly.
build_named() {
  echo "== Building ($1)"
  configure_named "$@"
  (cd "$ROOT" && cmake --build "build/$1" -j "$(nproc)" >/dev/null)
}

# run_tests DIR [CTEST ARGS...]: the tests of the build in DIR (relative to
# the repository root), the output of each failed test shown, and a failure
# when no test ran.
# ctest runs in a session of its own, so that an interrupted run (Ctrl-C,
# SIGTERM or SIGHUP to this script, or ctest ended by a closed pipe) can be
# ended whole: ctest and every test it started are one process group. Then
# stop_tests takes down the emulated cluster the run's test fixture left up.
# A ctest killed outright leaves that to the fixture's watchdog
# (cluster.sh up --watch-parent).
run_tests() {
  local dir status=0
  dir=$(cd "$ROOT" && cd "$1" && pwd)
  shift
  # A background job is not a process group leader: setsid makes the new
  # session without a fork, so $! is ctest's PID and its group's ID.
  (cd "$dir" && exec setsid ctest --output-on-failure --no-tests=error -j "$(nproc)" "$@") &
  TESTS_GROUP=$! TESTS_DIR=$dir
  trap 'stop_tests INT 130' INT
  trap 'stop_tests TERM 143' TERM
  trap 'stop_tests HUP 129' HUP
  wait "$TESTS_GROUP" || status=$?
  trap - INT TERM HUP
  # Above 128: ctest was ended by a signal (SIGPIPE from a closed pipe, ...).
  [ "$status" -le 128 ] || stop_tests "ctest's SIG$(kill -l "$status")"
  return "$status"
}

# stop_tests WHAT [STATUS]: ends the tests of the last run_tests (SIGTERM to
# the group, SIGKILL to what is left after 5 s), takes the emulated cluster
# down when its state folder (the build's cluster/) says it is up, then exits
# with STATUS when given. Nothing here may stop it halfway: no signal, and no
# write to a pipe that was closed.
stop_tests() {
  local tries=25
  trap '' INT TERM HUP PIPE
  set +e
  echo "== Tests interrupted ($1): stopping them" >&2
  kill -TERM -- "-$TESTS_GROUP" 2>/dev/null
  while kill -0 -- "-$TESTS_GROUP" 2>/dev/null && [ "$tries" -gt 0 ]; do
    sleep 0.2
    tries=$((tries - 1))
  done
  kill -KILL -- "-$TESTS_GROUP" 2>/dev/null
  if [ -e "$TESTS_DIR/cluster/run/cluster.up" ]; then
    echo "== Taking the emulated cluster down ($TESTS_DIR/cluster)" >&2
    PL_CLUSTER_DIR="$TESTS_DIR/cluster" "$ROOT/scripts/cluster.sh" down >&2
  fi
  [ -z "${2:-}" ] || exit "$2"
  trap - INT TERM HUP PIPE
  set -e
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

# mpi_launcher BUILD_DIR: reads the MPI facts that configure wrote for that
# build (BUILD_DIR/mpi_launcher.env: MPI_FAMILY, MPI_LAUNCHER, MPI_PREFLAGS,
# MPI_OTHER_LAUNCHER, ...; see cmake/mpi_family.cmake) and sets the array
# MPIRUN to its launcher with the flags it needs here.
mpi_launcher() {
  local facts="$1/mpi_launcher.env"
  [ -f "$facts" ] || { echo "$SCRIPT_NAME: no $facts: is $1 a configured build with MPI?" >&2; return 1; }
  # shellcheck disable=SC1090
  source "$facts"
  # shellcheck disable=SC2206 # the preflags are several words
  MPIRUN=("${MPI_LAUNCHER:-mpirun}" $MPI_PREFLAGS)
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
# sanitizer runtimes (ThreadSanitizer, libFuzzer), and valgrind. The
# unversioned packages follow the release's default Clang, whatever version
# it is; releases before Debian 12 keep the runtimes in clang's own packages.
ensure_check_packages() {
  ensure_packages valgrind clang libomp-dev
  apt_lists
  if apt-cache show libclang-rt-dev >/dev/null 2>&1; then ensure_packages libclang-rt-dev; fi
}

# clang_major: the major version of the default clang (the folder of its
# runtimes, /usr/lib/llvm-N).
clang_major() { clang -dumpversion | cut -d. -f1; }

# tsan_ready DIR: whether clang can build with ThreadSanitizer here (a probe
# built in DIR) and LLVM's OpenMP tool library, which tells the checker about
# the runtime's own synchronisation, is installed; nothing is installed for it.
tsan_ready() {
  command -v clang++ >/dev/null || return 1
  [ -e "/usr/lib/llvm-$(clang_major)/lib/libarcher.so" ] || return 1
  echo 'int main() { return 0; }' | clang++ -fsanitize=thread -x c++ - -o "$1/tsan_probe" \
    >/dev/null 2>&1 || return 1
  rm -f "$1/tsan_probe"
}

# project_files: the files of the project, relative to ROOT, one a line: those
# git knows and the new ones it does not ignore when ROOT is the top of a git
# checkout, else (a copy, even one inside another checkout's build folder)
# every file but those under build/.
project_files() {
  if [ "$(git -C "$ROOT" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$ROOT" && pwd -P)" ]; then
    (cd "$ROOT" && git ls-files --cached --others --exclude-standard |
       while IFS= read -r f; do [ ! -f "$f" ] || printf '%s\n' "$f"; done)
  else
    (cd "$ROOT" && find . -path ./build -prune -o -type f -print | sed 's|^\./||')
  fi
}

# Packages of the install tests: a module system to load the module file,
# dpkg-dev (dpkg-shlibdeps) and file, with which CPack works out the Debian
# package's dependencies, lintian to check the package, and man-db to open the
# manual pages. The module system is Environment Modules, or Lmod with
# PL_MODULES=lmod (release_pass.sh sets it for Debian 13); on Debian the two
# conflict: installing lmod removes environment-modules, and back.
case "${PL_MODULES:-environment-modules}" in
  lmod) MODULES_PACKAGE=lmod ;;
  environment-modules) MODULES_PACKAGE=environment-modules ;;
  *) echo "PL_MODULES must be lmod or environment-modules, not '$PL_MODULES'" >&2; exit 2 ;;
esac
INSTALL_TEST_PACKAGES="$MODULES_PACKAGE dpkg-dev file lintian man-db"

# Packages of scripts/test.sh (but the emulated cluster's, which it adds as
# root): git for the handout test, strace for the tests that count threads or
# inject faults, valgrind for the memory checks, Google Benchmark and OpenBLAS
# for the benchmark's smoke test, and the install tests' packages.
TEST_PACKAGES="$BASE_PACKAGES git strace valgrind libbenchmark-dev libopenblas-dev $INSTALL_TEST_PACKAGES"

# Packages of the labs (docs/labs.md) and of the container image: the test
# suite's, and gnuplot for the scaling study's plots (scripts/scaling.sh).
LAB_PACKAGES="$TEST_PACKAGES gnuplot-nox"

# Packages of the aarch64 cross build (scripts/cross_aarch64.sh): the cross
# compiler, qemu-user to run the tests, and GoogleTest's sources to build it
# for the target.
CROSS_PACKAGES="cmake make g++-aarch64-linux-gnu qemu-user-static googletest dpkg-dev"

# second_gcc: the version of the GCC that scripts/compilers.sh builds with
# beside the default one: the oldest other GCC of this release from 10 (the
# oldest the project supports) on, else the newest other; empty when the
# release has no other (Debian 11 has none from 10 on).
second_gcc() {
  local default n
  default=$(g++ -dumpversion 2>/dev/null | cut -d. -f1)
  [ -n "$default" ] || return 0
  apt_lists
  for n in $(seq 10 $((default - 1))) $(seq $((default + 1)) $((default + 6)) | sort -rn); do
    # madison lists versions the release's sources really have; show and
    # policy also answer for names that are only provided by other packages.
    if [ -n "$(apt-cache madison "g++-$n" 2>/dev/null)" ]; then echo "$n"; return; fi
  done
}

# apt_uri: the first mirror URI of this machine's apt sources (deb822
# .sources files, then one-line sources.list files) with a plain release
# suite: not -security, -updates or -backports. PL_APT_ETC replaces /etc/apt.
apt_uri() {
  local etc=${PL_APT_ETC:-/etc/apt} suite='^[a-z]+$'
  {
    cat "$etc"/sources.list.d/*.sources 2>/dev/null | awk -v re="$suite" '
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i ~ re) { print uri; break } }
      /^$/ { uri = "" }'
    cat "$etc"/sources.list "$etc"/sources.list.d/*.list 2>/dev/null |
      sed -E 's/\[[^]]*\]//' | awk -v re="$suite" '$1 == "deb" && $3 ~ re { print $2 }'
    true # a missing sources file is no error
  } | head -n 1
}

# copy_checkout DIR: the checkout's files as git sees them (tracked, and
# untracked but not ignored: no builds) copied into DIR.
copy_checkout() {
  mkdir -p "$1"
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
     tar --null -T - -c --ignore-failed-read 2>/dev/null) | tar -x -C "$1"
}
