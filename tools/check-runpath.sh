#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the run paths (RUNPATH and RPATH) of every ELF program and
# library in a build folder: an empty element makes the dynamic loader
# search the current folder, so a library someone left where the user
# stands would be loaded. Prints each offender; fails when there is one,
# or when no ELF file was found at all.
#
#   sh tools/check-runpath.sh build
set -eu
FOLDER=$1
checked=0
bad=0
for file in $(find "$FOLDER" -maxdepth 1 -type f); do
  # ELF files only: "\177ELF" opens each.
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  checked=$((checked + 1))
  # One line per run path entry, its elements joined by ':'; an empty
  # element shows as an empty line, a leading or trailing ':' or '::'.
  if readelf -d "$file" |
     sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p' |
     grep -qE '^$|^:|::|:$'; then
    echo "$file: empty element in run path:" \
         "$(readelf -d "$file" | grep -E 'RUNPATH|RPATH')"
    bad=$((bad + 1))
  fi
done
echo "$checked ELF files checked, $bad with an empty run path element"
[ "$checked" -gt 0 ] && [ "$bad" -eq 0 ]
