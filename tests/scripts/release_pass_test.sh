#!/usr/bin/env bash
# What release_pass.sh decides before it touches the machine: its usage and
# refusals, and which mirror it takes from apt sources of either format.
# usage: release_pass_test.sh SCRIPT SCRATCH_DIR
set -u
script=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

out=$(bash "$script" -h) || fail "-h exited $?"
[[ $out == usage:* ]] || fail "-h printed '$out'"
bash "$script" sid >/dev/null 2>&1 && fail "an unknown release was accepted"
bash "$script" sid 2>&1 >/dev/null | grep -q '^usage: ' || fail "an unknown release got no usage on stderr"
bash "$script" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no release did not exit 2"

# mirror ETC: what --mirror prints for the apt sources under ETC.
mirror() { PL_APT_ETC=$1 bash "$script" --mirror; }
rm -rf "$scratch"
mkdir -p "$scratch/deb822/sources.list.d" "$scratch/oneline/sources.list.d" "$scratch/none"
# deb822: the security stanza comes first and must be passed over.
cat >"$scratch/deb822/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
URIs: http://security.example.test/debian-security
Suites: bookworm-security
Components: main

Types: deb
URIs: http://mirror.example.test/debian
Suites: bookworm bookworm-updates
Components: main
SOURCES
[ "$(mirror "$scratch/deb822")" = http://mirror.example.test/debian ] ||
  fail "deb822: got '$(mirror "$scratch/deb822")'"
# One-line format, with options in brackets and an updates line first.
cat >"$scratch/oneline/sources.list" <<'SOURCES'
# a comment
deb [arch=amd64 signed-by=/usr/share/keyrings/debian.gpg] http://other.example.test/debian bullseye-updates main
deb [arch=amd64 signed-by=/usr/share/keyrings/debian.gpg] http://other.example.test/debian bullseye main
SOURCES
[ "$(mirror "$scratch/oneline")" = http://other.example.test/debian ] ||
  fail "one-line: got '$(mirror "$scratch/oneline")'"
out=$(mirror "$scratch/none")
[ $? -eq 77 ] || fail "no sources: did not exit 77"
[[ $out == *"no Debian mirror"* ]] || fail "no sources: printed '$out'"

[ $status -ne 0 ] || echo "release_pass.sh: usage, refusals and mirror choice as expected"
exit $status
