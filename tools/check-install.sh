#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a scratch prefix and uses it as a packager's
# user would: the example host (examples/) is configured and built against
# it through find_package (CMAKE_PREFIX_PATH) and through pkg-config
# (PKG_CONFIG_PATH), and each build archives a small tree, lists it and
# restores it; the restored tree must match. The installed command then
# makes a disk image and lists it, which needs the mount library from the
# library's private folder (the current folder holds none).
#
#   sh tools/check-install.sh BUILD_DIR
set -eu
BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
PREFIX=$SCRATCH/prefix
export KVMORVEL_DOSDEVICES=$SCRATCH/dosdevices TMPDIR=$SCRATCH

fail() { printf 'FAIL: %s\n' "$*"; exit 1; }

cmake --install "$BUILD" --prefix "$PREFIX" > "$SCRATCH/install.log" ||
  fail "cmake --install: $(cat "$SCRATCH/install.log")"
PC=$(find "$PREFIX" -name kvmorvel.pc)
[ -n "$PC" ] || fail "no kvmorvel.pc installed"
MODULE=$(find "$PREFIX" -path '*/kvmorvel/virtdisk.dll')
[ -n "$MODULE" ] || fail "no mount library in a private folder"

# A small tree: files, an empty one, a folder inside a folder.
TREE=$SCRATCH/tree
mkdir -p "$TREE/sub/deeper" "$TREE/empty folder"
printf 'alpha\n' > "$TREE/a.txt"
: > "$TREE/sub/empty.bin"
head -c 70000 /dev/urandom > "$TREE/sub/deeper/random.bin"

# Runs the host built as $1 on the tree and compares what it restored.
run_host() {
  host=$1; way=$2
  "$host" "$TREE" "$SCRATCH/$way.kvm" "$SCRATCH/$way-out" > "$SCRATCH/$way.list" ||
    fail "$way: the host failed: $(cat "$SCRATCH/$way.list")"
  diff -r "$TREE" "$SCRATCH/$way-out/tree" || fail "$way: restored tree differs"
  entries=$(find "$TREE" | wc -l)
  [ "$(wc -l < "$SCRATCH/$way.list")" -eq "$entries" ] ||
    fail "$way: $entries entries expected in the listing"
  grep -q ' 70000 .* tree\\sub\\deeper\\random.bin$' "$SCRATCH/$way.list" ||
    fail "$way: the listing lacks random.bin's size"
  echo "$way: $entries entries archived, listed and restored"
}

cmake -S "$SOURCE/examples" -B "$SCRATCH/cmake-build" \
  -DCMAKE_PREFIX_PATH="$PREFIX" > "$SCRATCH/configure.log" 2>&1 ||
  fail "find_package: $(cat "$SCRATCH/configure.log")"
cmake --build "$SCRATCH/cmake-build" > "$SCRATCH/build.log" 2>&1 ||
  fail "find_package build: $(cat "$SCRATCH/build.log")"
run_host "$SCRATCH/cmake-build/kvmorvel_host" find_package

PKG_CONFIG_PATH=$(dirname "$PC") make -s -C "$SOURCE/examples" \
  OUT="$SCRATCH/kvmorvel_host" > "$SCRATCH/make.log" 2>&1 ||
  fail "pkg-config build: $(cat "$SCRATCH/make.log")"
run_host "$SCRATCH/kvmorvel_host" pkg-config

mkdir "$SCRATCH/here"
(cd "$SCRATCH/here" &&
  "$PREFIX/bin/kvmorvel" mkimage "$TREE" "$SCRATCH/tree.img" &&
  "$PREFIX/bin/kvmorvel" list "$SCRATCH/tree.img") > "$SCRATCH/image.list" 2>&1 ||
  fail "installed command and image: $(cat "$SCRATCH/image.list")"
grep -q 'random.bin' "$SCRATCH/image.list" || fail "the image lists no random.bin"
echo "installed command: image made and listed through $MODULE"
