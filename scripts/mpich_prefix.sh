#!/usr/bin/env bash
# Makes an MPI that lives outside the system's library folders, as an MPI
# module on a cluster does: a copy of Debian's MPICH (headers, libraries,
# compiler wrapper, launcher) in a prefix of its own, PREFIX (default
# build/mpich-prefix). It is only a copy for trying the run path of an
# install: the system's MPICH stays where it is, and the loader would find it
# too, so what shows the run path is `readelf -d` and `ldd` (docs/install.md).
#
# usage: scripts/mpich_prefix.sh [-h] [PREFIX]
#   Copies MPICH into PREFIX (default build/mpich-prefix); as root, installs
#   MPICH first.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
prefix=$ROOT/build/mpich-prefix
if [ $# -gt 0 ]; then
  check_option "$1"
  prefix=$1
fi
[ $# -le 1 ] || usage_error "unexpected argument: $2"
ensure_packages $MPICH_PACKAGES

PREFIX=$(mkdir -p "$prefix" && cd "$prefix" && pwd)
multiarch=$(gcc -print-multiarch)
rm -rf "$PREFIX"/{bin,include,lib}
mkdir -p "$PREFIX"/{bin,include,lib}
cp -a /usr/include/"$multiarch"/mpich/. "$PREFIX/include/"
cp -a /usr/lib/"$multiarch"/libmpich.so* /usr/lib/"$multiarch"/libmpichcxx.so* "$PREFIX/lib/"
# The wrapper is a shell script naming its folders at the top.
sed -e "s|^prefix=.*|prefix=$PREFIX|" -e "s|^exec_prefix=.*|exec_prefix=$PREFIX|" \
    -e "s|^includedir=.*|includedir=$PREFIX/include|" -e "s|^libdir=.*|libdir=$PREFIX/lib|" \
    /usr/bin/mpicxx.mpich >"$PREFIX/bin/mpicxx"
chmod 755 "$PREFIX/bin/mpicxx"
cp /usr/bin/mpiexec.hydra "$PREFIX/bin/mpiexec"
cp /usr/bin/hydra_pmi_proxy "$PREFIX/bin/"
echo "MPICH copied to $PREFIX: configure with -DMPI_CXX_COMPILER=$PREFIX/bin/mpicxx"
