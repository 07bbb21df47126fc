#!/usr/bin/env bash
# Runs the README's two commands (scripts/demo.sh, then scripts/test.sh) on
# another Debian release, in a chroot made with debootstrap from the mirror in
# this machine's own apt sources, as a newcomer on that release would.
#
# The chroot lives in $PL_CHROOT_DIR/RELEASE (default
# /var/cache/parallel-labs/chroots). A chroot left there by an earlier run is
# used again only when it is of the same release and upgrades cleanly to its
# release's current packages; otherwise it is made anew. The checkout's files
# (as git sees them: tracked and untracked, without ignored ones) are copied
# in fresh each time.
#
# Everything runs in new mount and PID namespaces whose root is the chroot: the
# emulated cluster can then change mount propagation as on a real machine, the
# mounts vanish with the mount namespace, and the kernel ends every process
# left in the PID namespace (a daemon of a failed run) when the pass ends,
# or when the pass itself is killed.
#
# usage: scripts/release_pass.sh [-h] [--mirror] RELEASE [CMD...]
#   RELEASE       bullseye, bookworm or trixie, or its number (11-13): runs
#                 the README's two commands there
#   RELEASE CMD   CMD instead of the two commands, in the copy the last pass
#                 left (to look into a failure: ... RELEASE bash)
#   --mirror      print the mirror it would use
#   -h, --help    print this usage and exit
# Needs root. Exit status: that of the commands, 77 when this machine can't.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

case "${1:-}" in
  --mirror) RELEASE="" ;;
  bullseye | 11) RELEASE=bullseye ;;
  bookworm | 12) RELEASE=bookworm ;;
  trixie | 13) RELEASE=trixie ;;
  "") usage_error "no release given" ;;
  *) check_option "$1"; usage_error "unknown release: $1" ;;
esac
shift

MIRROR=$(apt_uri)
if [ -z "$MIRROR" ]; then
  echo "release_pass: no Debian mirror in this machine's apt sources"
  exit 77
fi
if [ -z "$RELEASE" ]; then echo "$MIRROR"; exit 0; fi

if [ "$(id -u)" -ne 0 ]; then echo "release_pass: needs root (debootstrap, namespaces)"; exit 77; fi
ensure_packages debootstrap util-linux

# The install tests load the module file with Lmod on Debian 13 and with
# Environment Modules elsewhere (scripts/lib.sh; PL_MODULES overrides).
[ "$RELEASE" != trixie ] || PL_MODULES=${PL_MODULES:-lmod}
export PL_MODULES=${PL_MODULES:-environment-modules}

CHROOTS=${PL_CHROOT_DIR:-/var/cache/parallel-labs/chroots}
DIR="$CHROOTS/$RELEASE"

# The chroot's own apt sources: its release (the latest point release) and
# its updates. Not its security suite: once a release's security support has
# ended, that suite still lists files that the mirror no longer has (seen
# with Debian 11), and every install that needs one fails.
write_sources() {
  printf 'deb %s %s main\ndeb %s %s-updates main\n' "$MIRROR" "$RELEASE" "$MIRROR" "$RELEASE" \
    >"$DIR/etc/apt/sources.list"
}

# in_chroot CMD...: CMD as root in the chroot, with the mounts it needs, in
# new mount and PID namespaces (gone, with every process in them, on return).
in_chroot() {
  unshare --mount --pid --fork --kill-child --propagation private -- bash -c '
    set -e
    root=$1; shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    cd "$root"
    mkdir -p .host-root
    pivot_root . .host-root
    umount -l /.host-root
    rmdir /.host-root
    exec env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" PL_MODULES="$PL_MODULES" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' \
    in_chroot "$DIR" "$@"
}

# A chroot of an earlier run is kept when it says it is this release, its
# set-up finished, and it upgrades to the release's current packages.
reuse() {
  [ -f "$DIR/.parallel-labs-chroot" ] && [ "$(cat "$DIR/.parallel-labs-chroot")" = "$RELEASE" ] || return 1
  grep -qx "VERSION_CODENAME=$RELEASE" "$DIR/etc/os-release" || return 1
  write_sources
  cp /etc/resolv.conf "$DIR/etc/resolv.conf"
  in_chroot sh -c 'export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get -y -qq dist-upgrade >/dev/null && apt-get -qq clean'
}

start=$SECONDS
if reuse; then
  echo "== $RELEASE chroot: reused $DIR, upgraded to its release's current packages"
else
  echo "== $RELEASE chroot: debootstrap from this machine's apt mirror into $DIR"
  rm -rf "$DIR"
  mkdir -p "$DIR"
  debootstrap --variant=minbase "$RELEASE" "$DIR" "$MIRROR" >"$CHROOTS/$RELEASE.debootstrap.log" 2>&1 ||
    { tail -n 20 "$CHROOTS/$RELEASE.debootstrap.log" >&2; exit 1; }
  write_sources
  cp /etc/resolv.conf "$DIR/etc/resolv.conf"
  in_chroot sh -c 'export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get -y -qq dist-upgrade >/dev/null'
  echo "$RELEASE" >"$DIR/.parallel-labs-chroot"
fi
# MPI needs this machine's own name to resolve, as on any installed system.
printf '127.0.0.1 localhost\n127.0.1.1 %s\n::1 localhost ip6-localhost ip6-loopback\n' "$(hostname)" \
  >"$DIR/etc/hosts"
echo "== $RELEASE chroot ready in $((SECONDS - start)) s"

# A clean copy of the checkout: what git tracks or would track. A command
# given instead of the passes runs in the copy the last pass left, with its
# builds, when there is one.
SRC=/root/parallel-labs
if [ $# -eq 0 ] || [ ! -d "$DIR$SRC" ]; then
  rm -rf "${DIR:?}$SRC"
  copy_checkout "$DIR$SRC"
fi

if [ $# -gt 0 ]; then
  in_chroot bash -c 'cd "$0" && exec "$@"' "$SRC" "$@"
  exit
fi

start=$SECONDS
status=0
if in_chroot bash -c "cd $SRC && bash scripts/demo.sh" >"$DIR/root/demo.out" 2>&1; then
  echo "== $RELEASE: demo passed ($(wc -l <"$DIR/root/demo.out") lines in /root/demo.out)"
else
  status=$?
  tail -n 40 "$DIR/root/demo.out" >&2
  echo "== $RELEASE: demo FAILED (status $status)"
fi
in_chroot bash -c "cd $SRC && bash scripts/test.sh" || status=$?
echo "== Debian $RELEASE ($(cat "$DIR/etc/debian_version")): demo and tests $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)") in $((SECONDS - start)) s"
exit "$status"
