#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# After `ctest` in the Windows build: how many tests were skipped, for each
# reason the skips printed: "Wine: REASON" for what Wine lacks of Windows
# (SKIP_UNDER_WINE), "Windows: REASON" for a test of what only the Linux
# layer allows (SKIP_ON_WINDOWS); see tests/support/test_support.h.
#
#   sh tools/windows/skip-summary.sh build-windows
set -eu
LOG="$1/Testing/Temporary/LastTest.log"
[ -f "$LOG" ] || { echo "no CTest log in $1"; exit 1; }
# GoogleTest prints the reason on the line after "Skipped".
reasons=$(grep -a -E '^(Wine|Windows): ' "$LOG" | tr -d '\r' || true)
echo "skipped: $(printf '%s' "$reasons" | grep -c . || true)"
[ -n "$reasons" ] && printf '%s\n' "$reasons" | sort | uniq -c | sort -rn
exit 0
