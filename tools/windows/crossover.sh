#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Archives cross between the two builds, byte for byte: an archive of each
# version written by the Linux command is verified by kvmorvel.exe and
# restored under Wine by a host of KvMorvelM64.dll (dll_host.exe) and by
# kvmorvel.exe, and one of each
# version written under Wine by each of them is restored (and the
# command's verified) by the Linux command. Compared with the source tree: file
# data, names (non-ASCII ones too), folders, the read-only attribute and
# the files' last-write times (the times Wine keeps; it keeps no creation
# time).
#
#   sh tools/windows/crossover.sh BUILD_WINDOWS
# KVMORVEL_LINUX_BUILD names the Linux build holding kvmorvel (build/).
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$1" && pwd)
LINUX=${KVMORVEL_LINUX_BUILD:-$HERE/../../build}
KV=$LINUX/kvmorvel
[ -x "$KV" ] || { echo "no Linux kvmorvel in $LINUX"; exit 1; }
RUN="$HERE/wine-run.sh $BUILD/wineprefix"
HOST=$BUILD/dll_host.exe
TOOL=$BUILD/kvmorvel.exe
WORK=$(mktemp -d "$BUILD/crossover.XXXXXX")
trap 'chmod -R u+w "$WORK"; rm -rf "$WORK"' EXIT
# Wine names the Linux root Z:.
win() { printf 'Z:%s' "$1" | tr / '\\'; }

# The source tree: empty, small, two-piece (1.5 MiB of noise) and larger
# text files, names in three scripts, an empty folder, a read-only file;
# every file's last-write time on a 100 ns tick.
src=$WORK/tree
mkdir -p "$src/sub/deeper" "$src/empty folder"
printf 'alpha\n' > "$src/a.txt"
: > "$src/empty"
head -c 1572864 /dev/urandom > "$src/sub/random.bin"
yes "a line of text for the log" | head -c 3000000 > "$src/sub/deeper/text.log"
printf 'accents\n' > "$src/sub/déjà vu.txt"
printf 'kanji\n' > "$src/sub/日本語.txt"
printf 'read only\n' > "$src/readonly.txt"
find "$src" -type f -exec touch -d '@1600000000.1234567' {} +
chmod a-w "$src/readonly.txt"

# What must come back of a tree: folders, files with size and last-write
# time, the read-only files, and the data (its SHA-256).
describe() {
  (cd "$1" &&
   find . -mindepth 1 -type d -printf 'folder %P\n' | sort &&
   find . -type f -printf 'file %P %s %T@\n' | sort &&
   find . -type f ! -perm -u=w -printf 'read-only %P\n' | sort &&
   find . -type f -exec sha256sum {} + | sort -k 2)
}
describe "$src" > "$WORK/expected"
fail=0
compare() {  # what, restored tree, version
  describe "$2" > "$WORK/got"
  expected=$WORK/expected
  if [ "$3" = 1 ]; then  # version 1 holds files only: no empty folder
    grep -v '^folder empty folder$' "$WORK/expected" > "$WORK/expected1"
    expected=$WORK/expected1
  fi
  if diff -u "$expected" "$WORK/got"; then
    echo "ok: $1, version $3"
  else
    echo "FAILED: $1, version $3"; fail=1
  fi
}

for v in 1 2 5; do
  # The command names entries by the PATH as given: "tree\...".
  (cd "$WORK" && "$KV" create -V $v "$WORK/linux$v.arc" tree >/dev/null)
  # Linux writes, Wine verifies and restores.
  if $RUN "$TOOL" verify "$(win "$WORK/linux$v.arc")" >/dev/null; then
    echo "ok: Linux-written archive verified by kvmorvel.exe, version $v"
  else
    echo "FAILED: kvmorvel.exe verifying the Linux-written version $v archive"
    fail=1
  fi
  if $RUN "$HOST" restore "$(win "$WORK/linux$v.arc")" \
       "$(win "$WORK/host$v")" > "$WORK/listed$v"; then
    compare "Linux-written archive restored by dll_host" "$WORK/host$v/tree" $v
  else
    echo "FAILED: dll_host restoring the Linux-written version $v archive"
    fail=1
  fi
  if $RUN "$TOOL" extract "$(win "$WORK/linux$v.arc")" \
       "$(win "$WORK/tool$v")"; then
    compare "Linux-written archive extracted by kvmorvel.exe" \
            "$WORK/tool$v/tree" $v
  else
    echo "FAILED: kvmorvel.exe extracting the Linux-written version $v archive"
    fail=1
  fi
  # Wine writes, Linux restores.
  if $RUN "$HOST" write "$(win "$WORK/host$v.arc")" $v "$(win "$src")"; then
    "$KV" extract "$WORK/host$v.arc" "$WORK/from-host$v" >/dev/null || fail=1
    compare "dll_host-written archive extracted by Linux" \
            "$WORK/from-host$v/tree" $v
  else
    echo "FAILED: dll_host writing a version $v archive"; fail=1
  fi
  if (cd "$WORK" && $RUN "$TOOL" create -V $v "$(win "$WORK/tool$v.arc")" tree); then
    "$KV" verify "$WORK/tool$v.arc" >/dev/null || {
      echo "FAILED: verifying the kvmorvel.exe-written version $v archive"
      fail=1
    }
    "$KV" extract "$WORK/tool$v.arc" "$WORK/from-tool$v" >/dev/null || fail=1
    compare "kvmorvel.exe-written archive extracted by Linux" \
            "$WORK/from-tool$v/tree" $v
  else
    echo "FAILED: kvmorvel.exe writing a version $v archive"; fail=1
  fi
done
exit $fail
