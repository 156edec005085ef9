#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Lists the exports of the archive library, demangled, and compares them
# with the member list tools/exports.txt: every listed member must
# be exported, and nothing may leave the library that is not part of its
# public classes (their other members, type information and virtual
# tables). Prints both differences and the count.
#
#   sh tools/check-exports.sh build/libKvMorvelM64.so
#   sh tools/check-exports.sh build-windows/KvMorvelM64.dll
#
# The list is written as MinGW's c++filt prints the DLL's names (WCHAR is
# wchar_t, DWORD unsigned long); for the Linux library the same list is
# read with Linux's types (char16_t, unsigned int, and long for the
# 64-bit integers).
set -eu
LIBRARY=$1
HERE=$(dirname "$0")
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
PUBLIC='CKvError|CKvObject|CKvMorvel|CKvMorvelHost'

grep -v '^#' "$HERE/exports.txt" | grep -v '^$' > "$TMP/listed"
case "$LIBRARY" in
  *.dll)
    TOOLS=x86_64-w64-mingw32
    $TOOLS-objdump -p "$LIBRARY" > "$TMP/headers"
    # The name table: "[ n] name" lines after its heading, up to a blank line.
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$TMP/headers" |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' |
      $TOOLS-c++filt | sort -u > "$TMP/exported"
    sort -u "$TMP/listed" > "$TMP/expected"
    ;;
  *)
    nm -D --defined-only "$LIBRARY" | awk '{print $3}' | c++filt |
      sort -u > "$TMP/exported"
    sed -e 's/wchar_t/char16_t/g' \
        -e 's/unsigned long\([,)*]\)/unsigned int\1/g' \
        -e 's/unsigned long (/unsigned int (/g' \
        -e 's/long long/long/g' \
        "$TMP/listed" | sort -u > "$TMP/expected"
    ;;
esac

missing=$(comm -23 "$TMP/expected" "$TMP/exported")
foreign=$(grep -v -E "^((typeinfo|typeinfo name|vtable) for )?($PUBLIC)(::|\$)" \
          "$TMP/exported" || true)
extra=$(comm -13 "$TMP/expected" "$TMP/exported" |
        grep -E "^($PUBLIC)::" || true)

echo "exports: $(wc -l < "$TMP/exported") names, $(wc -l < "$TMP/expected") listed members"
echo "size: $(wc -c < "$LIBRARY") bytes"
if [ -n "${TOOLS:-}" ]; then
  echo "imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' "$TMP/headers" | sort -u | tr '\n' ' ')"
fi
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
