#!/bin/sh
# Compiles every core source (archive, formats, restore, image and the
# portable part of the platform folder) to a Windows object file with
# MinGW-w64 against the real Windows headers. The POSIX layer is not
# compiled: on Windows the system itself is the layer.
set -eu
CXX=${CXX_WINDOWS:-x86_64-w64-mingw32-g++}
OUT=${1:-build-windows}
mkdir -p "$OUT/include"
# LZO's headers are the same on both systems; take them from the Linux
# package without bringing in the rest of /usr/include.
[ -e "$OUT/include/lzo" ] || ln -s /usr/include/lzo "$OUT/include/lzo"
fail=0
count=0
for src in src/archive/*.cc src/formats/*.cc src/formats/*/*.cc \
           src/restore/*.cc src/image/*.cc src/platform/*.cc; do
  [ -f "$src" ] || continue
  obj="$OUT/$(echo "$src" | tr / _).o"
  if ! "$CXX" -std=c++17 -c -Wall -Wno-unused-parameter \
       -DUNICODE -D_UNICODE -DKVMORVEL_BUILDING \
       -Iinclude -Isrc -Isrc/platform -isystem "$OUT/include" \
       "$src" -o "$obj"; then
    echo "FAILED: $src"
    fail=1
  fi
  count=$((count + 1))
done
echo "windows: compiled $count core sources, failures: $fail"
exit $fail
