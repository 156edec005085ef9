#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# KvMorvelM64.dll loaded by a host under Wine (dll_host.exe): its DllMain
# prepared the logger (level mask 63, Init reading KVMORVEL_LOG), the log
# file has "\n" line ends only, and a failed Open leaves 2 both in the
# holder and as the thread's last error, the log lines written between the
# failing call and the report notwithstanding.
#
#   sh tools/windows/host-checks.sh BUILD_WINDOWS
set -eu
BUILD=$(cd "$1" && pwd)
RUN="$(dirname "$0")/wine-run.sh $BUILD/wineprefix"
WORK=$(mktemp -d "$BUILD/host-checks.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# Wine names the Linux root Z:.
win() { printf 'Z:%s' "$1" | tr / '\\'; }

missing=$(win "$WORK/missing.arc")
out=$(KVMORVEL_LOG=$(win "$WORK/kv.log") $RUN "$BUILD/dll_host.exe" \
      open-missing "$missing" | tr -d '\r')
fail=0
check() {
  if [ "$1" = 0 ]; then echo "ok: $2"; else echo "FAILED: $2"; fail=1; fi
}
[ "$out" = "result=0 code=2 lastError=2" ]
check $? "failed Open reports 2 in the holder and as the last error ($out)"
grep -qxF "ERROR CreateFile on $missing - 2" "$WORK/kv.log"
check $? "DllMain prepared the logger: the error line is in the log file"
grep -qF "ENTER BOOL CKvMorvel::Open(LPCTSTR strFileName=$missing,BOOL bRead=1,DWORD dwVersion=0)" "$WORK/kv.log"
check $? "level mask 63: entry lines are written too"
! grep -q "$(printf '\r')" "$WORK/kv.log"
check $? "the log file has no CR (binary mode)"
exit $fail
