#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every libFuzzer target of a fuzz build for SECONDS each, one after
# the other, and prints a table: target, seconds, CPU minutes, edges
# covered (libFuzzer's "cov:"), crashes (escapes from a scratch target
# are aborts, so crashes, and are also counted on their own), hangs and
# out-of-memory or leak reports.
#
#   sh fuzz/run.sh [build folder] [seconds] [target...]
#
# With CPU_MINUTES=M in the environment, each target runs in rounds of
# SECONDS until its fuzzer has used M CPU minutes (wall time says little
# on a shared machine), each round resuming from the corpus the last one
# grew. NICE sets the niceness (10 unless given). TMPDIR is where the
# scratch targets live: a tmpfs keeps the restore targets from waiting on
# the disk.
#
# Each target starts from its committed seeds (fuzz/corpus/<target>) and
# from what earlier runs found (<build>/fuzz-corpus/<target>, never
# committed). It runs in fork mode, so a crash is recorded in
# <build>/fuzz-artifacts/<target>/ and the run goes on. An input found
# there belongs in fuzz/corpus/<target>/ (and its name in fuzz/corpus/OPEN
# until the fault is mended).
set -u
BUILD=$(cd "${1:-build-fuzz}" && pwd) || exit 1
SECS=${2:-60}
shift 2 2>/dev/null || shift $#
TARGETS=${*:-list_v1 list_v2 list_v5 restore_v1 restore_v2 restore_v5 image dosattrib descriptor ntacl posix_acl reparse}
HERE=$(cd "$(dirname "$0")" && pwd)
LOGS=$BUILD/fuzz-logs
mkdir -p "$LOGS"

row() { printf '%-12s %8s %8s %7s %8s %8s %6s %9s\n' "$@"; }
TABLE=$LOGS/table.txt
row target seconds cpu_min edges crashes escapes hangs oom/leak > "$TABLE"

for t in $TARGETS; do
  program=$BUILD/fuzz_$t
  if [ ! -x "$program" ]; then echo "no $program" >&2; continue; fi
  corpus=$BUILD/fuzz-corpus/$t
  artifacts=$BUILD/fuzz-artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  log=$LOGS/$t.log
  : > "$log"
  before=$(ls "$artifacts" | wc -l)
  spent=0 rounds=0
  while :; do
    # /usr/bin/time reports the CPU seconds of the fuzzer and its workers.
    ( cd "$BUILD" && /usr/bin/time -f 'cpu %U %S' -o "$LOGS/$t.time" \
        nice -n "${NICE:-10}" "$program" -fork=1 -ignore_crashes=1 \
        -ignore_timeouts=1 -ignore_ooms=1 -timeout=10 -rss_limit_mb=2048 \
        -max_total_time="$SECS" -artifact_prefix="$artifacts/" \
        "$corpus" "$HERE/corpus/$t" >> "$log" 2>&1 )
    spent=$(awk -v s="$spent" '/^cpu/ { printf "%.2f", s + $2 + $3 }' \
      "$LOGS/$t.time")
    rounds=$((rounds + 1))
    awk -v s="$spent" -v m="${CPU_MINUTES:-0}" \
      'BEGIN { exit !(s >= m * 60) }' && break
  done
  cpu=$(awk -v s="$spent" 'BEGIN { printf "%.2f", s / 60 }')
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  crashes=$(ls "$artifacts" | grep -c '^crash-')
  hangs=$(ls "$artifacts" | grep -c '^timeout-')
  ooms=$(ls "$artifacts" | grep -c -E '^(oom|leak)-')
  # In fork mode a crash's own output stays in its job's log: replay each
  # input once to tell escapes from the target apart (an empty file is
  # what fork mode leaves for a job it lost, not an input).
  escapes=0
  for input in "$artifacts"/crash-*; do
    [ -s "$input" ] || continue
    ( cd "$BUILD" && "$program" "$input" 2>&1 ) |
      grep -q 'escaped its target' && escapes=$((escapes + 1))
  done
  row "$t" "$((SECS * rounds))" "$cpu" "${edges:-?}" "$crashes" "$escapes" "$hangs" "$ooms" >> "$TABLE"
  after=$(ls "$artifacts" | wc -l)
  [ "$after" -gt "$before" ] && echo "$t: new inputs in $artifacts" >&2
done
cat "$TABLE"
