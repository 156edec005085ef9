#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds LZO 2 for Windows from the source of Debian's own lzo2 package:
# a deb-src entry beside the system's debian.sources, `apt-get source`,
# the package's checksums checked, then LZO's own configure cross-compiles
# a static library into PREFIX (include/lzo and lib/liblzo2.a). Nothing
# comes from anywhere but Debian's archive.
#
#   sh tools/windows/build-lzo.sh PREFIX
set -eu
PREFIX=$(mkdir -p "$1" && cd "$1" && pwd)
# The version Debian 12 ships; its .dsc names the files and their hashes.
PACKAGE=lzo2
VERSION=2.10-2
HOST=x86_64-w64-mingw32
[ -f "$PREFIX/lib/liblzo2.a" ] && [ -f "$PREFIX/include/lzo/lzo1x.h" ] && exit 0

SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
LIST=/etc/apt/sources.list.d/kvmorvel-deb-src.sources
if ! grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources \
     /etc/apt/sources.list 2>/dev/null; then
  # The same archive, suites and key as the system's own entry, for
  # sources: the first stanza of debian.sources with its Types changed.
  awk 'BEGIN { RS = ""; ORS = "\n\n" } NR == 1 {
         sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
    /etc/apt/sources.list.d/debian.sources | $SUDO tee "$LIST" >/dev/null
  $SUDO apt-get update -qq
fi

WORK="$PREFIX/src"
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK"
# apt checks each file against the signed Sources index as it fetches.
apt-get source --download-only -qq "$PACKAGE=$VERSION"
DSC=$(ls ${PACKAGE}_*.dsc)
# And again here, against the .dsc's own SHA-256 list. (dpkg-source then
# warns that it cannot check the maintainer's inline signature of the
# .dsc: that key is not on the system; the archive's signed index vouches
# for the .dsc itself.)
awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 }
     on && NF == 3 { print $1 "  " $3 }' "$DSC" > sha256.list
[ -s sha256.list ] || { echo "no checksums in $DSC"; exit 1; }
sha256sum -c sha256.list
dpkg-source -x "$DSC" tree >/dev/null
cd tree
./configure --host=$HOST --disable-shared --enable-static \
  --prefix="$PREFIX" CC=$HOST-gcc-posix >configure.log 2>&1 ||
  { tail -20 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -20 make.log; exit 1; }
make install >install.log 2>&1 || { tail -20 install.log; exit 1; }
echo "lzo2 $VERSION for Windows in $PREFIX"
