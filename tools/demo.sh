#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The demo behind `make demo`: archives a real folder of this machine into
# a version 5 archive split into several parts, lists it, restores it to a
# temporary folder, compares the restored tree with the source and prints
# a short summary.
#
# usage: sh tools/demo.sh BUILD_DIR [FOLDER]
#   FOLDER defaults to /usr/share/doc (present on every Debian machine).
set -eu

BUILD=${1:-build}
SOURCE=${2:-/usr/share/doc}
TOOL=$BUILD/kvmorvel
SAMPLES=25

fail() {
  echo "demo: $*" >&2
  exit 1
}

[ -x "$TOOL" ] || fail "$TOOL is missing: build first (make build)"
[ -d "$SOURCE" ] || fail "$SOURCE is not a folder"
SOURCE=$(cd "$SOURCE" && pwd -P)
NAME=$(basename "$SOURCE")
# create runs from the source's parent folder (entries are named by the
# PATH as given, as tar names them): the command's path must not depend
# on the current folder.
TOOL=$(cd "$(dirname "$TOOL")" && pwd -P)/$(basename "$TOOL")

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kvmorvel-demo.XXXXXX")
WORK=$(cd "$WORK" && pwd -P)
trap 'rm -rf "$WORK"' EXIT INT TERM
ARCHIVE=$WORK/demo.kvm
RESTORED=$WORK/restore

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f s", b - a }'; }
human() {
  awk -v n="$1" 'BEGIN { split("B KiB MiB GiB TiB", u, " "); i = 1;
    while (n >= 1024 && i < 5) { n /= 1024; i++ }
    printf (i == 1 ? "%d %s" : "%.1f %s"), n, u[i] }'
}

# The split size: an eighth of the source, at least 64 KiB, so that even
# after compression the data spreads over several part files.
SOURCE_BYTES=$(du -sb "$SOURCE" | cut -f1)
SPLIT=$((SOURCE_BYTES / 8))
[ "$SPLIT" -ge 65536 ] || SPLIT=65536

echo "== Archiving $SOURCE ($(human "$SOURCE_BYTES")), split size $(human "$SPLIT")"
T0=$(now)
STATUS=0
(cd "$(dirname "$SOURCE")" &&
  "$TOOL" create -V 5 --split-size "$SPLIT" "$ARCHIVE" "$NAME") || STATUS=$?
T1=$(now)
[ "$STATUS" -le 1 ] || fail "create failed with status $STATUS"
[ "$STATUS" -eq 0 ] || echo "demo: some entries could not be archived (see above)"
PARTS=$(find "$WORK" -maxdepth 1 -name 'demo_*.kvm' | wc -l)
ARCHIVE_BYTES=$(cat "$ARCHIVE" "$WORK"/demo_*.kvm | wc -c)
echo "   main file and $PARTS part files, $(human "$ARCHIVE_BYTES") in $(elapsed "$T0" "$T1")"

echo "== Listing (first lines)"
"$TOOL" list "$ARCHIVE" >"$WORK/list.txt" || fail "list failed"
head -n 8 "$WORK/list.txt" | sed 's/^/   /'
ENTRIES=$(wc -l <"$WORK/list.txt")
EXPECTED=$(find "$SOURCE" | wc -l)
echo "   ... $ENTRIES entries listed; the source holds $EXPECTED"

echo "== Restoring to $RESTORED"
T2=$(now)
RESTORE_STATUS=0
"$TOOL" extract "$ARCHIVE" "$RESTORED" || RESTORE_STATUS=$?
T3=$(now)
echo "   done in $(elapsed "$T2" "$T3"), status $RESTORE_STATUS"

echo "== Comparing"
# Links are compared as links: a relative link comes back with the same
# relative text, so it leads into the restored tree, not into the source.
diff -r --no-dereference "$SOURCE" "$RESTORED/$NAME" >"$WORK/differences.txt" 2>&1 || true
DIFFS=$(wc -l <"$WORK/differences.txt")
if [ "$DIFFS" -eq 0 ]; then
  echo "   diff -r: the restored tree equals the source"
else
  echo "   diff -r: $DIFFS lines of differences, the first ones:"
  head -n 10 "$WORK/differences.txt" | sed 's/^/   /'
fi
find "$SOURCE" -type l | sort >"$WORK/links.txt"
LINKS=$(wc -l <"$WORK/links.txt")
LINKS_SAME=0
while IFS= read -r path; do
  copy=$RESTORED/$NAME${path#"$SOURCE"}
  if [ -L "$copy" ] && [ "$(readlink "$path")" = "$(readlink "$copy")" ]; then
    LINKS_SAME=$((LINKS_SAME + 1))
  else
    echo "   link differs: ${path#"$SOURCE"}: [$(readlink "$path")] restored [$(readlink "$copy" 2>/dev/null)]"
  fi
done <"$WORK/links.txt"
echo "   links: $LINKS_SAME of $LINKS hold the same target text"

# Metadata spot check: type, permission bits, size and last write time of
# files and folders spread over the tree (folders check that their times
# survived their contents being restored into them).
find "$SOURCE" \( -type f -o -type d \) | sort >"$WORK/all.txt"
TOTAL=$(wc -l <"$WORK/all.txt")
STEP=$((TOTAL / SAMPLES))
[ "$STEP" -ge 1 ] || STEP=1
awk -v s="$STEP" 'NR % s == 1 || s == 1' "$WORK/all.txt" | head -n "$SAMPLES" \
  >"$WORK/sample.txt"
CHECKED=0
MATCHED=0
while IFS= read -r path; do
  relative=${path#"$SOURCE"}
  copy=$RESTORED/$NAME$relative
  # A folder's size is the file system's business, not the archive's.
  format='%F %a %s %Y'
  [ ! -d "$path" ] || format='%F %a %Y'
  want=$(stat -c "$format" "$path")
  got=$(stat -c "$format" "$copy" 2>/dev/null || echo missing)
  CHECKED=$((CHECKED + 1))
  if [ "$want" = "$got" ]; then
    MATCHED=$((MATCHED + 1))
  else
    echo "   differs: $relative: source [$want], restored [$got]"
  fi
done <"$WORK/sample.txt"
echo "   metadata (type, mode, size, last write): $MATCHED of $CHECKED samples match"

echo "== Summary"
echo "   source    $SOURCE: $EXPECTED items, $(human "$SOURCE_BYTES")"
echo "   archive   version 5, $ENTRIES entries, 1 main file + $PARTS parts, $(human "$ARCHIVE_BYTES")"
echo "   restore   status $RESTORE_STATUS, diff lines $DIFFS, metadata $MATCHED/$CHECKED, links $LINKS_SAME/$LINKS"
if [ "$STATUS" -eq 0 ] && [ "$RESTORE_STATUS" -eq 0 ] && [ "$DIFFS" -eq 0 ] &&
  [ "$MATCHED" -eq "$CHECKED" ] && [ "$ENTRIES" -eq "$EXPECTED" ] &&
  [ "$LINKS_SAME" -eq "$LINKS" ]; then
  echo "   result    the round trip is exact, links included"
else
  echo "   result    the round trip shows differences (see above)"
  exit 1
fi
