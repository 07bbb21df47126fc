#!/usr/bin/env bash
# Builds the Debian package with CPack, checks it with lintian (pedantic tags
# too) when lintian is installed, installs it on this machine with dpkg -i,
# runs every program from /usr/bin on the installed examples, opens the
# manual pages and loads the module without `module use` (with the module
# system installed, if any), and removes the package again with dpkg -r, on
# failure too. Needs root; one run
# at a time on the machine (a lock file), and it leaves alone a machine where
# the package or files of the same names are already there.
# Usage: package_test.sh BUILD_DIR VERSION SCRATCH MARKER
# MARKER exists while the package this test installed may still be on the
# machine; package_cleanup.sh removes it after a test that was killed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$1 version=$2 scratch=$3 marker=$4
package=parallel-labs

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the package with dpkg needs root"
  exit 77
fi
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps not found: install dpkg-dev (scripts/test.sh does)"
exec 9>"$PACKAGE_LOCK"
flock -w 600 9 || fail "another package test kept $PACKAGE_LOCK for 10 minutes"

# package_state: dpkg's state of the package, empty when dpkg does not know it.
package_state() {
  dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true
}
remove_package() {
  dpkg_waiting -r "$package" >"$scratch/remove.log" || { cat "$scratch/remove.log" >&2; return 1; }
  [ "$(package_state)" = not-installed ] || [ -z "$(package_state)" ] ||
    { echo "after dpkg -r the package is still $(package_state)" >&2; return 1; }
}

fresh_dir "$scratch"
# Left installed by an earlier run of this test that was killed: remove it.
if [ -e "$marker" ] && [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
  echo "removing $package left by an earlier run of this test"
  remove_package || fail "could not remove the package left by an earlier run"
fi
rm -f "$marker"
state=$(package_state)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  echo "skipped: $package is on this machine already ($state); the test leaves it alone"
  exit 77
fi
for path in /usr/bin/{bank,greetings,product_timer,sum_of_ranks,vector_max} \
            /usr/share/doc/$package /usr/share/modules/modulefiles/$package /etc/lmod/modules/$package; do
  if [ -e "$path" ]; then
    echo "skipped: $path exists already; installing the package would replace it"
    exit 77
  fi
done

# dpkg -r takes away the folders the package brought, and only those.
had_modulefiles=$([ -d /usr/share/modules/modulefiles ] && echo yes || echo no)

(cd "$build" && cpack -G DEB -B "$scratch/cpack") >"$scratch/cpack.log" 2>&1 ||
  fail "cpack failed: $(tail -n 30 "$scratch/cpack.log")"
# The file name says which MPI the package was built with.
case "${MPI_FAMILY:-}" in
  "Open MPI") file_name=$package-openmpi ;;
  MPICH) file_name=$package-mpich ;;
  *) fail "the build's MPI family is not known (MPI_FAMILY='${MPI_FAMILY:-}')" ;;
esac
debs=("$scratch/cpack/${file_name}_${version}_"*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single ${file_name}_${version}_*.deb: $(ls "$scratch/cpack")"
deb=${debs[0]}

# lintian, pedantic tags included: every tag it gives is one that
# docs/install.md explains (its table "| tag | why it stays |"), else the
# test fails.
# glibc fortifies the printf family through a GCC extension (__va_arg_pack)
# that Clang lacks, so a Clang build's programs that call nothing else that
# glibc fortifies (all but bank) have no _chk call, and lintian says so.
clang_build=no
if grep -qE '^CMAKE_CXX_COMPILER:[A-Z]+=.*clang' "$build/CMakeCache.txt"; then clang_build=yes; fi

explained_tags() {
  awk '/^\| tag \| why it stays \|$/ { inside = 1; next } inside && !/^\|/ { exit }
       inside' "$(dirname "${BASH_SOURCE[0]}")/../../docs/install.md" | sed -n 's/^| `\([a-z0-9-]*\)` |.*/\1/p'
}
if command -v lintian >/dev/null; then
  # Status 1 says it gave tags (checked below); anything more, that it failed.
  lintian_status=0
  lintian --pedantic --display-info --display-experimental "$deb" >"$scratch/lintian.log" 2>&1 || lintian_status=$?
  [ "$lintian_status" -le 1 ] || fail "lintian failed (status $lintian_status): $(cat "$scratch/lintian.log")"
  unexplained=$(grep -E '^[EWIPX]: ' "$scratch/lintian.log" | awk '{print $3}' | sort -u |
                grep -vxF -f <(explained_tags; [ "$clang_build" = no ] || echo hardening-no-fortify-functions) ||
                true)
  [ -z "$unexplained" ] || fail "lintian gives tags that docs/install.md does not explain:
$(cat "$scratch/lintian.log")"
  tags=$(grep -cE '^[EWIPX]: ' "$scratch/lintian.log" || true)
  lintian_note="lintian $(lintian --version | awk '{print $2}') --pedantic: $tags tags, each explained in docs/install.md"
else
  lintian_note="lintian not installed: not run"
fi
# Built as Debian builds its packages: hardened (fortified calls, bound at
# start) and stripped of symbols and the compiler's notes.
mkdir "$scratch/unpacked"
dpkg-deb -x "$deb" "$scratch/unpacked"
for p in $PROGRAMS; do
  binary=$scratch/unpacked/usr/bin/$p
  # (Whole outputs in variables: grep -q ending a pipe early would fail it.)
  dynamic=$(readelf -d "$binary")
  grep -q 'BIND_NOW' <<<"$dynamic" || fail "/usr/bin/$p is not linked with -z now"
  symbols=$(readelf -W --dyn-syms "$binary")
  [ "$clang_build" = yes ] || grep -q '__[a-z_]*_chk@' <<<"$symbols" ||
    fail "/usr/bin/$p calls no fortified function (_FORTIFY_SOURCE)"
  sections=$(readelf -S -W "$binary")
  for section in .symtab .comment .note; do
    if grep -qF -- " $section " <<<"$sections"; then fail "/usr/bin/$p keeps its $section section"; fi
  done
done

[ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version: $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The MPI library and its launcher's package follow the MPI of the build.
case "${MPI_FAMILY:-}" in
  "Open MPI") mpi_lib=libopenmpi mpi_launcher=openmpi-bin ;;
  MPICH) mpi_lib=libmpich mpi_launcher=mpich ;;
  *) fail "the build's MPI family is not known (MPI_FAMILY='${MPI_FAMILY:-}')" ;;
esac
# The OpenMP runtime's package follows the compiler: GCC's libgomp, or LLVM's
# libomp (package libomp5-<version>) under Clang.
case "$(readelf -d "$build/src/bank")" in
  *libgomp.so*) omp_lib=libgomp1 ;;
  *libomp.so*) omp_lib=libomp5 ;;
  *) fail "bank links no known OpenMP runtime: $(readelf -d "$build/src/bank" | grep NEEDED)" ;;
esac
for lib in libc6 "$omp_lib" "$mpi_lib" libstdc++6; do
  grep -qF "$lib" <<<"$depends" || fail "Depends names no $lib (dpkg-shlibdeps): $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[ "$recommends" = "$mpi_launcher" ] || fail "Recommends is '$recommends', not $mpi_launcher"
# Under /usr but for the link that shows Lmod the module folder.
outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./usr/' -e '^\./$' |
            grep -vxF -e ./etc/ -e ./etc/lmod/ -e ./etc/lmod/modules/ -e "./etc/lmod/modules/$package" || true)
[ -z "$outside" ] || fail "the package installs outside /usr: $outside"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz \
            usr/share/man/man1/{bank,greetings,product_timer,sum_of_ranks,vector_max}.1.gz; do
  grep -qxF "./$path" <<<"$contents" || fail "the package holds no /$path"
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
configured=$(sed -n 's/^PACKAGE_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
[ -z "$configured" ] || [ "$maintainer" = "$configured" ] ||
  fail "Maintainer is '$maintainer', not PACKAGE_MAINTAINER '$configured'"

# From here on the package may be on the machine: whatever happens, remove it.
finish() {
  local status=$?
  trap - EXIT INT TERM HUP
  if remove_package; then
    rm -f "$marker"
    for path in /usr/bin/bank /usr/share/doc/$package /usr/share/modules/modulefiles/$package \
                /etc/lmod/modules/$package /usr/share/man/man1/bank.1.gz; do
      [ ! -e "$path" ] || { echo "FAIL: $path is still there after dpkg -r" >&2; status=1; }
    done
    if [ "$had_modulefiles" = no ] && [ -e /usr/share/modules/modulefiles ]; then
      echo "FAIL: /usr/share/modules/modulefiles is still there after dpkg -r" >&2
      status=1
    fi
  else
    echo "FAIL: dpkg -r $package failed" >&2
    status=1
  fi
  exit "$status"
}
touch "$marker"
trap finish EXIT
trap 'exit 1' INT TERM HUP
dpkg_waiting -i "$deb" >"$scratch/install.log" || fail "dpkg -i failed: $(cat "$scratch/install.log")"
[ "$(package_state)" = installed ] || fail "after dpkg -i the package is $(package_state)"

grep -qxF 'Copyright (c) 2026, the Parallel labs authors' /usr/share/doc/$package/copyright ||
  fail "the installed copyright file names no copyright holder"
grep -qxF 'prepend-path PATH {/usr/bin}' /usr/share/modules/modulefiles/$package/"$version" ||
  fail "the packaged module file does not name /usr/bin: $(cat /usr/share/modules/modulefiles/$package/"$version")"
run_every_program /usr/bin /usr/share/doc/$package/examples "$scratch/work"

# man bank, and the module in a login shell (the module system's start-up
# sets its default MODULEPATH) without `module use`.
man_note="man not installed"
if command -v man >/dev/null; then
  page=$(man -w bank) || fail "man -w bank found no page with the package installed"
  [ "$page" = /usr/share/man/man1/bank.1.gz ] || fail "man -w bank: $page"
  out=$(MANWIDTH=80 man bank 2>&1) || fail "man bank failed: $out"
  expect_line "EXIT STATUS" "$out" "man bank"
  man_note="man bank shows /usr/share/man/man1/bank.1.gz"
fi
module_note="no module system installed"
for system in "Environment Modules:/usr/share/modules/init/bash" "Lmod:/usr/share/lmod/lmod/init/bash"; do
  [ -f "${system#*:}" ] || continue
  out=$(cd "$scratch/work" && env -i HOME="$scratch/work" PATH=/usr/bin:/bin \
          bash --login --noprofile -c "source /etc/profile; module load $package && command -v bank && echo \"\$PARALLEL_LABS_EXAMPLES\"" 2>&1) ||
    fail "${system%%:*}: module load $package without module use failed:
$out"
  expect_line "/usr/share/doc/$package/examples" "$out" "${system%%:*}: module load $package"
  module_note="${system%%:*} loads the module without module use"
done
echo "$lintian_note"
echo "installed $(basename "$deb"), ran every program from /usr/bin, $man_note, $module_note, removed it"
