#!/usr/bin/env bash
# The container files agree with the project: the dev container builds from
# the Containerfile with the user it makes, the Containerfile's scripts exist,
# every Open MPI setting it makes is a parameter this Open MPI knows (a
# misspelt one is ignored without a word), and the documents lead to
# docs/container.md, which names the dev container's file.
# usage: container_check.sh SOURCE_DIR
set -u
source=$1
status=0
fail() { echo "FAIL: $*"; status=1; }
containerfile=$source/Containerfile

user=$(sed -n 's/^USER[[:space:]]\{1,\}//p' "$containerfile" | tail -n 1)

# FILE, PATTERN (fixed string): what FILE must contain.
while IFS='|' read -r file pattern; do
  grep -qF -- "$pattern" "$source/$file" || fail "$file: no '$pattern'"
done <<EOF_TABLE
.devcontainer/devcontainer.json|"dockerfile": "../Containerfile"
.devcontainer/devcontainer.json|"context": ".."
.devcontainer/devcontainer.json|"remoteUser": "${user:-no USER line}"
Containerfile|useradd --create-home --shell /bin/bash --uid 1000 ${user:-no USER line}
Containerfile|FROM docker.io/library/debian:12 AS base
README.md|(docs/container.md)
docs/container.md|.devcontainer/devcontainer.json
docs/container.md|podman build -t parallel-labs .
EOF_TABLE

for script in $(grep -oE 'scripts/[a-z_]+\.sh' "$containerfile" | sort -u); do
  [ -f "$source/$script" ] || fail "Containerfile: $script does not exist"
done

settings=$(grep -oE 'OMPI_MCA_[a-z0-9_]+' "$containerfile" | sort -u)
[ -n "$settings" ] || fail "Containerfile: no Open MPI setting"
# The image has Debian 12's Open MPI 4.1; another major version (Open MPI 5
# renamed some components) cannot tell what the image's one knows.
ompi_major=$(ompi_info --version 2>/dev/null | sed -n 's/.*v\([0-9]\{1,\}\)\..*/\1/p' | head -n 1)
if [ "$ompi_major" = 4 ]; then
  params=$(ompi_info --all --parsable 2>/dev/null | cut -d: -f5 | sort -u)
  for setting in $settings; do
    grep -qx "${setting#OMPI_MCA_}" <<<"$params" || fail "Containerfile: Open MPI knows no $setting"
  done
else
  echo "note: no Open MPI 4 here (${ompi_major:-none}); the Open MPI settings were not checked"
fi
[ $status -ne 0 ] || echo "Containerfile, dev container and documents agree ($(wc -w <<<"$settings") Open MPI settings)"
exit $status
