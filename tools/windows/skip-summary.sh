#!/bin/sh
# After `ctest` in the Windows build: how many tests were skipped under
# Wine, for each reason the skips printed ("Wine: REASON", see
# SKIP_UNDER_WINE in tests/support/test_support.h).
#
#   sh tools/windows/skip-summary.sh build-windows
set -eu
LOG="$1/Testing/Temporary/LastTest.log"
[ -f "$LOG" ] || { echo "no CTest log in $1"; exit 1; }
# GoogleTest prints the reason on the line after "Skipped".
skips=$(sed -n 's/^Wine: //p' "$LOG" | sort | uniq -c | sort -rn)
total=$(sed -n 's/^Wine: //p' "$LOG" | wc -l)
echo "skipped under Wine: $total"
[ -n "$skips" ] && echo "$skips"
exit 0
