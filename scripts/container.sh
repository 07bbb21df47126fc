#!/usr/bin/env bash
# Builds the labs' container image from the Containerfile offline, as CI
# does, then proves it: the five programs run from the PATH as the image's
# user (an OpenMP and the MPI runs), their manual pages open, and the README's
# two commands pass on a copy of the checkout (the cluster tests skip there:
# they need root).
#
# The base, the image the Containerfile starts FROM, is made with debootstrap
# from the mirror in this machine's own apt sources and imported into Podman
# under that name, so that nothing is pulled. Its tarball is kept in
# $PL_IMAGE_DIR (default /var/cache/parallel-labs/images) and used again by
# later runs; the image's apt sources point at that mirror. Podman builds with
# chroot isolation (where the cgroup set-up refuses `podman run`), without
# cached layers: each run installs the packages and builds as a first build
# does. The image is left as parallel-labs; the check's image is removed.
#
# usage: scripts/container.sh [-h] [--fresh]
#   --fresh     make the base anew with debootstrap, even when one is kept
#   -h, --help  print this usage and exit
# Needs root. Exit status: 0 when the image was built and passed, 77 when this
# machine can't build it (no root, no mirror), 1 otherwise.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

FRESH=no
while [ $# -gt 0 ]; do
  case $1 in
    --fresh) FRESH=yes ;;
    *) check_option "$1"; usage_error "unexpected argument: $1" ;;
  esac
  shift
done

if [ "$(id -u)" -ne 0 ]; then echo "container: needs root (debootstrap, podman)"; exit 77; fi
MIRROR=$(apt_uri)
if [ -z "$MIRROR" ]; then echo "container: no Debian mirror in this machine's apt sources"; exit 77; fi
ensure_packages podman debootstrap

IMAGE=parallel-labs
# The base's name and release, from the Containerfile's first FROM line.
BASE=$(sed -n 's/^FROM[[:space:]]\{1,\}\([^[:space:]]*\).*/\1/p' "$ROOT/Containerfile" | head -n 1)
case $BASE in
  */debian:12 | */debian:bookworm) RELEASE=bookworm ;;
  *) echo "container: the Containerfile starts FROM '$BASE', not a Debian 12 image" >&2; exit 1 ;;
esac
CACHE=${PL_IMAGE_DIR:-/var/cache/parallel-labs/images}
TARBALL="$CACHE/$RELEASE-minbase.tar"
WORK=$(mktemp -d /var/tmp/parallel-labs-container.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

start=$SECONDS
if [ "$FRESH" = no ] && [ -s "$TARBALL" ]; then
  echo "== Base: $TARBALL, kept from an earlier run"
else
  echo "== Base: debootstrap $RELEASE (minbase) from this machine's apt mirror"
  mkdir -p "$CACHE"
  debootstrap --variant=minbase "$RELEASE" "$WORK/root" "$MIRROR" >"$CACHE/$RELEASE.debootstrap.log" 2>&1 ||
    { tail -n 20 "$CACHE/$RELEASE.debootstrap.log" >&2; exit 1; }
  printf 'deb %s %s main\ndeb %s %s-updates main\n' "$MIRROR" "$RELEASE" "$MIRROR" "$RELEASE" \
    >"$WORK/root/etc/apt/sources.list"
  rm -rf "$WORK"/root/var/lib/apt/lists/* "$WORK"/root/var/cache/apt/archives/*.deb
  tar -C "$WORK/root" -c . >"$TARBALL.new"
  mv "$TARBALL.new" "$TARBALL"
  rm -rf "$WORK/root"
fi
# Imported afresh each run: the name then always stands for the kept tarball.
old_base=$(podman image inspect --format '{{.Id}}' "$BASE" 2>/dev/null || true)
new_base=$(podman import --quiet "$TARBALL" "$BASE")
new_base=${new_base#sha256:}
# The same tarball may give the same image: the old one is removed only when not.
[ -z "$old_base" ] || [ "$old_base" = "$new_base" ] || podman rmi "$old_base" >/dev/null 2>&1 || true
echo "== Base ready as $BASE in $((SECONDS - start)) s"

# The build context: the checkout as git sees it (no builds).
copy_checkout "$WORK/context"
old_image=$(podman image inspect --format '{{.Id}}' "$IMAGE" 2>/dev/null || true)
start=$SECONDS
podman build --isolation=chroot --pull=never --layers=false -t "$IMAGE" -f "$ROOT/Containerfile" "$WORK/context"
build_s=$((SECONDS - start))
new_image=$(podman image inspect --format '{{.Id}}' "$IMAGE")
[ -z "$old_image" ] || [ "$old_image" = "$new_image" ] || podman rmi "$old_image" >/dev/null 2>&1 || true
size_mb=$(($(podman image inspect --format '{{.Size}}' "$IMAGE") / 1000000))
echo "== Image $IMAGE built in $build_s s: $size_mb MB"

# The check: a build FROM the image, whose steps run as its user. The programs
# come from the PATH (/usr/local/bin); the README's commands then build the
# copy in its own build/release.
cat >"$WORK/Containerfile.check" <<CHECK
FROM localhost/$IMAGE
COPY --chown=student:student . /home/student/parallel-labs
RUN set -e; test "\$(id -u)" -ne 0; cd "\$(mktemp -d)"; ex=\$HOME/parallel-labs/examples; \\
    for p in bank vector_max greetings sum_of_ranks product_timer; do \\
      echo "\$(command -v \$p): \$(\$p --version | head -n 1)"; MANPAGER=cat man \$p | grep -q "\$p"; done; \\
    bank 2 \$ex/bank/alice.txt \$ex/bank/bob.txt >bank.out; tail -n 17 bank.out; \\
    product_timer 2 1000 1000; \\
    mpirun -np 4 vector_max \$ex/mpi/vector.txt; mpirun -np 4 greetings; mpirun -np 4 sum_of_ranks; \\
    ls
RUN cd \$HOME/parallel-labs && bash scripts/demo.sh >/tmp/demo.out 2>&1 || { tail -n 40 /tmp/demo.out; exit 1; }; \\
    echo "demo passed (\$(wc -l </tmp/demo.out) lines)"
RUN cd \$HOME/parallel-labs && bash scripts/test.sh
CHECK
start=$SECONDS
status=0
podman build --isolation=chroot --pull=never --layers=false --iidfile "$WORK/check.iid" \
  -f "$WORK/Containerfile.check" "$WORK/context" 2>&1 | tee "$WORK/check.log" || status=$?
[ ! -s "$WORK/check.iid" ] || podman rmi "$(cat "$WORK/check.iid")" >/dev/null 2>&1 || true
skipped=$(grep -c -- '\*\*\*Skipped' "$WORK/check.log" || true)
echo "== Image $IMAGE ($size_mb MB, built in $build_s s): programs, demo and tests" \
  "$([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)") in $((SECONDS - start)) s," \
  "$skipped tests skipped"
[ "$status" -eq 0 ] || exit 1
