#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Lists the exports of KvMorvelM64.dll (objdump -p, demangled) and
# compares them with the member list tools/windows/exports.txt: every
# listed member must be exported, and nothing may leave the DLL that is
# not part of the public classes CKvError, CKvObject and CKvMorvel (their
# other members, type information and virtual tables). Prints both
# differences, the DLL's size and the DLLs it imports.
#
#   sh tools/windows/check-exports.sh build-windows/KvMorvelM64.dll
set -eu
DLL=$1
HERE=$(dirname "$0")
TOOLS=x86_64-w64-mingw32
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

$TOOLS-objdump -p "$DLL" > "$TMP/headers"
# The name table: "[ n] name" lines after its heading, up to a blank line.
sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$TMP/headers" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' |
  $TOOLS-c++filt | sort -u > "$TMP/exported"
grep -v '^#' "$HERE/exports.txt" | grep -v '^$' | sort -u > "$TMP/expected"

missing=$(comm -23 "$TMP/expected" "$TMP/exported")
foreign=$(grep -v -E '^((typeinfo|typeinfo name|vtable) for )?(CKvError|CKvObject|CKvMorvel)(::|$)' \
          "$TMP/exported" || true)
extra=$(comm -13 "$TMP/expected" "$TMP/exported" |
        grep -E '^(CKvError|CKvObject|CKvMorvel)::' || true)

echo "exports: $(wc -l < "$TMP/exported") names, $(wc -l < "$TMP/expected") listed members"
echo "size: $(wc -c < "$DLL") bytes"
echo "imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' "$TMP/headers" | sort -u | tr '\n' ' ')"
if [ -n "$extra" ]; then
  echo "members exported beyond the list (the class's own helpers):"
  echo "$extra" | sed 's/^/  /'
fi
status=0
if [ -n "$missing" ]; then
  echo "MISSING from the exports:"; echo "$missing" | sed 's/^/  /'; status=1
fi
if [ -n "$foreign" ]; then
  echo "EXPORTED outside the public classes:"; echo "$foreign" | sed 's/^/  /'; status=1
fi
[ $status = 0 ] && echo "exports: every listed member exported, nothing else"
exit $status
