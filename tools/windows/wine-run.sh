#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs a Windows program of the cross build under Debian's wine64,
# headless, without Wine's own messages, in the Wine prefix PREFIX (made
# on first use; `make check-windows` makes it before the tests start).
# CTest runs every test program through it.
#
#   wine-run.sh PREFIX PROGRAM.exe ARGUMENTS...
set -eu
WINEPREFIX=$1
shift
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko prompt when the prefix is made, no window.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
# Two programs starting Wine on a prefix that is not made yet race each
# other's wineserver; the first start holds a lock until the prefix is made.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec flock -o "$WINEPREFIX.lock" /usr/lib/wine/wine64 "$@"
fi
exec /usr/lib/wine/wine64 "$@"
