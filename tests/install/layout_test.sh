#!/usr/bin/env bash
# Installs the build tree to scratch prefixes and checks the result: nothing
# lands outside the prefix, the prefix holds exactly the programs, the README,
# the change log (also as changelog.gz), the licence (as copyright), its docs,
# the examples, the manual pages and the module file, the module file names the
# prefix used, man finds the pages through MANPATH, and every program runs
# from there and tells the project's version. An install to /usr puts the
# module file where Debian's module systems look.
# Usage: layout_test.sh BUILD_DIR SOURCE_DIR VERSION SCRATCH
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$1 source=$2 version=$3 scratch=$4
fresh_dir "$scratch"

docdir=share/doc/parallel-labs
modulefile=share/modulefiles/parallel-labs/$version

# A staged install first (as a package build does it): with DESTDIR set even
# an absolute destination stays inside the staging folder, so a rule that
# would escape the prefix is caught here without touching the machine.
stage=$scratch/stage
DESTDIR=$stage cmake --install "$build" --prefix /opt/parallel-labs >"$scratch/stage.log" ||
  fail "staged install failed: $(cat "$scratch/stage.log")"
escaped=$(cd "$stage" && find . ! -type d | grep -v '^\./opt/parallel-labs/' || true)
[ -z "$escaped" ] || fail "files installed outside the prefix:
$escaped"
grep -qxF 'prepend-path PATH {/opt/parallel-labs/bin}' "$stage/opt/parallel-labs/$modulefile" ||
  fail "the staged module file does not name the prefix /opt/parallel-labs:
$(cat "$stage/opt/parallel-labs/$modulefile")"

# Staged to /usr, as the Debian package is: the module file goes where
# Environment Modules looks, with a link to its folder where Lmod looks.
usr_stage=$scratch/usr-stage
DESTDIR=$usr_stage cmake --install "$build" --prefix /usr >"$scratch/usr-stage.log" ||
  fail "staged install to /usr failed: $(cat "$scratch/usr-stage.log")"
grep -qxF 'prepend-path PATH {/usr/bin}' "$usr_stage/usr/share/modules/modulefiles/parallel-labs/$version" ||
  fail "an install to /usr has no module file in /usr/share/modules/modulefiles: $(cd "$usr_stage" && find . -path '*modul*')"
[ "$(readlink "$usr_stage/etc/lmod/modules/parallel-labs")" = /usr/share/modules/modulefiles/parallel-labs ] ||
  fail "an install to /usr has no link /etc/lmod/modules/parallel-labs to the module folder"
[ ! -e "$usr_stage/usr/share/modulefiles" ] || fail "an install to /usr still writes /usr/share/modulefiles"

# A relative prefix installs below the current folder; the module file must
# still name it by its absolute path.
mkdir -p "$scratch/relative/cwd"
(cd "$scratch/relative/cwd" && cmake --install "$build" --prefix ../labs) >"$scratch/relative.log" ||
  fail "install to a relative prefix failed: $(cat "$scratch/relative.log")"
relative_prefix="$(cd "$scratch/relative" && pwd -P)/labs"
grep -qxF "prepend-path PATH {$relative_prefix/bin}" "$relative_prefix/$modulefile" ||
  fail "the module file of a relative prefix does not name $relative_prefix/bin:
$(cat "$relative_prefix/$modulefile")"

# The install a user makes: any folder as prefix (this one has a blank in
# its name, as a home folder may).
prefix="$scratch/labs prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
  fail "install failed: $(cat "$scratch/install.log")"

expected_files=$(
  for p in $PROGRAMS; do echo "bin/$p"; done
  echo "$docdir/README.md"
  echo "$docdir/CHANGELOG.md"
  echo "$docdir/changelog.gz"
  for p in $PROGRAMS; do echo "share/man/man1/$p.1.gz"; done
  echo "$docdir/copyright"
  (cd "$source/docs" && find . ! -type d | sed "s|^\./|$docdir/docs/|")
  (cd "$source/examples" && find . ! -type d | sed "s|^\./|$docdir/examples/|")
  echo "$modulefile"
)
# Every file and the folders above it, relative to the prefix.
expected=$(
  while read -r f; do
    while [ "$f" != . ]; do
      echo "$f"
      f=$(dirname "$f")
    done
  done <<<"$expected_files" | sort -u
)
actual=$(cd "$prefix" && find . -mindepth 1 | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "the prefix does not hold exactly what is expected:
$(diff <(echo "$expected") <(echo "$actual") || true)"
for f in bank/alice.txt bank/bob.txt bank/carol.txt mpi/vector.txt; do
  [ -f "$prefix/$docdir/examples/$f" ] || fail "example $f is missing"
done
cmp -s "$source/README.md" "$prefix/$docdir/README.md" || fail "installed README.md differs from the source"
cmp -s "$source/CHANGELOG.md" "$prefix/$docdir/CHANGELOG.md" || fail "installed CHANGELOG.md differs from the source"
cmp -s "$source/LICENSE" "$prefix/$docdir/copyright" || fail "installed copyright differs from LICENSE"
# changelog.gz: CHANGELOG.md as a Debian change log, an entry per version,
# newest first, every text line of CHANGELOG.md's entries in it.
changelog=$(gzip -dc "$prefix/$docdir/changelog.gz") || fail "installed changelog.gz is not gzip data"
[ "$(head -n 1 <<<"$changelog")" = "parallel-labs ($version) unstable; urgency=medium" ] ||
  fail "changelog.gz does not begin with the entry of $version: $(head -n 1 <<<"$changelog")"
[ "$(grep -c '^parallel-labs (' <<<"$changelog")" = "$(grep -c '^## ' "$source/CHANGELOG.md")" ] ||
  fail "changelog.gz does not have an entry for each version of CHANGELOG.md"
[ "$(grep -c '^ -- [^<]* <[^>]*>  [A-Z][a-z][a-z], [0-9][0-9] [A-Z][a-z][a-z] [0-9]\{4\} [0-2][0-9]:00:00 +0000$' <<<"$changelog")" = \
  "$(grep -c '^## ' "$source/CHANGELOG.md")" ] || fail "changelog.gz: an entry lacks its trailer line:
$changelog"
# Each entry is dated after the one below it, as Debian requires (versions
# of one day an hour apart).
above=""
while read -r stamp; do
  seconds=$(date -u -d "$stamp" +%s)
  [ -z "$above" ] || [ "$seconds" -lt "$above" ] ||
    fail "changelog.gz: an entry is not dated before the one above it: $stamp"
  above=$seconds
done < <(sed -n 's/^ -- .*>  //p' <<<"$changelog")
diff <(sed -n '/^## /,$p' "$source/CHANGELOG.md" | grep -v -e '^## ' -e '^$' | sed 's/^- //' | tr -s ' ') \
     <(grep '^  ' <<<"$changelog" | sed -e 's/^  //' -e 's/^\* //' | tr -s ' ') >/dev/null ||
  fail "changelog.gz does not hold the text of CHANGELOG.md"
for p in $PROGRAMS; do
  cmp -s "$source/man/$p.1" <(gzip -dc "$prefix/share/man/man1/$p.1.gz") ||
    fail "installed share/man/man1/$p.1.gz is not man/$p.1 compressed"
done
# man finds the installed pages through MANPATH (as the module sets it).
if command -v man >/dev/null; then
  page=$(MANPATH="$prefix/share/man:" man -w bank) || fail "man -w bank with MANPATH=$prefix/share/man: found nothing"
  [ "$page" = "$prefix/share/man/man1/bank.1.gz" ] || fail "man -w bank: $page"
fi
diff -r "$source/examples" "$prefix/$docdir/examples" >/dev/null || fail "installed examples differ from the source"
diff -r "$source/docs" "$prefix/$docdir/docs" >/dev/null || fail "installed docs differ from the source"

# Programs executable, documents and the module file not.
for p in $PROGRAMS; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not executable"
  out=$("$prefix/bin/$p" --version) || fail "bin/$p --version exited with status $?"
  [ "$out" = "$p (Parallel labs) $version" ] || fail "bin/$p --version: $out"
done
executable=$(cd "$prefix/share" && find . -type f -perm /111)
[ -z "$executable" ] || fail "executable files under share/: $executable"

# The programs need nothing from the source or build tree: no run-time
# library path of their own, except the MPI programs' path to an MPI outside
# the system folders (TEST_MPI_RUN_PATH, empty for Debian's MPIs), and every
# shared library found by the loader.
for p in $PROGRAMS; do
  want=""
  case "$p" in vector_max|greetings|sum_of_ranks) want=${TEST_MPI_RUN_PATH:-} ;; esac
  want=${want//;/:}
  got=$(readelf -d "$prefix/bin/$p" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\2/p')
  [ "$got" = "$want" ] || fail "bin/$p carries the run path '$got', not '$want'"
  libs=$(ldd "$prefix/bin/$p")
  if grep -q 'not found' <<<"$libs"; then fail "bin/$p: shared library not found:
$libs"; fi
  # (The MPI's own folder may lie below the build tree: a copied MPI, see
  # scripts/mpich_prefix.sh; its libraries are the run path's business.)
  others=$libs
  IFS=: read -r -a run_dirs <<<"$want"
  for dir in "${run_dirs[@]}"; do others=$(grep -vF "=> $dir/" <<<"$others" || true); done
  if grep -qF -e "$build" -e "$source" <<<"$others"; then fail "bin/$p loads from the source or build tree:
$libs"; fi
done

# The module file names this prefix.
grep -qxF "prepend-path PATH {$prefix/bin}" "$prefix/$modulefile" ||
  fail "module file does not put $prefix/bin on PATH: $(cat "$prefix/$modulefile")"
grep -qxF "setenv PARALLEL_LABS_EXAMPLES {$prefix/$docdir/examples}" "$prefix/$modulefile" ||
  fail "module file does not name the examples folder: $(cat "$prefix/$modulefile")"

run_every_program "$prefix/bin" "$prefix/$docdir/examples" "$scratch/work"
echo "installed to $prefix: $(wc -l <<<"$expected_files") files, every program ran"
