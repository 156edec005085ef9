#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The unit suite run by an ordinary user (make check-user), beside the
# run as root: file modes, owners and access times are checked by the
# kernel for such a user, never for root.
#
# Run as root, it makes the user KVMORVEL_TEST_USER (default kvtest) when
# it is missing: a system account with its own group, its own home and
# no login. The user needs to read the source and build folders (the
# replay test reads fuzz/corpus; see open_way_to for a checkout under a
# private folder) and to write CTest's records in
# BUILD/Testing and the install manifest in BUILD; the tests themselves
# write under /tmp only. Then ctest
# runs as that user through runuser, with HOME set to the user's home.
# Run by anyone else, there is nothing more to do: `make check-unit` was
# already an ordinary user's run.
# Usage: tools/check-user.sh BUILD_DIR [JOBS]
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
JOBS=${2:-2}
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
TEST_USER=${KVMORVEL_TEST_USER:-kvtest}

if [ "$(id -u)" != 0 ]; then
  echo "check-user: run by $(id -un), not root: check-unit was this run"
  exit 0
fi
if ! id -u "$TEST_USER" >/dev/null 2>&1; then
  useradd --system --user-group --create-home \
          --home-dir "/var/lib/$TEST_USER" --shell /usr/sbin/nologin \
          "$TEST_USER"
fi
[ "$(id -u "$TEST_USER")" != 0 ] || {
  echo "check-user: $TEST_USER is root"; exit 2; }
HOME_DIR=$(getent passwd "$TEST_USER" | cut -d: -f6)
as_user() { runuser -u "$TEST_USER" -- "$@"; }
if [ -z "$HOME_DIR" ] || ! as_user test -w "$HOME_DIR"; then
  echo "check-user: $TEST_USER has no home it can write ($HOME_DIR)"
  exit 2
fi
# A checkout under a private folder (a CI machine's /root, say): the
# folders on the way get the search bit for others for the length of the
# run and their own modes back after it; the project's own tree is made
# readable to others, as a checkout with the usual umask already is.
RESTORE_MODES=()
restore_modes() {
  local entry
  for entry in "${RESTORE_MODES[@]}"; do
    chmod "${entry%% *}" "${entry#* }"
  done
}
trap restore_modes EXIT
open_way_to() {
  local path=$1 way=/ part
  local IFS=/
  for part in $(dirname "$path"); do
    [ -n "$part" ] || continue
    way="${way%/}/$part"
    if ! as_user test -x "$way"; then
      RESTORE_MODES+=("$(stat -c %a "$way") $way")
      echo "check-user: o+x on $way for the run"
      chmod o+x "$way"
    fi
  done
}
for folder in "$SOURCE" "$BUILD"; do
  open_way_to "$folder"
  as_user test -r "$folder" -a -x "$folder" || chmod -R o+rX "$folder"
done
for folder in "$BUILD" "$SOURCE/fuzz/corpus"; do
  if ! as_user test -r "$folder" -a -x "$folder"; then
    echo "check-user: $TEST_USER cannot read $folder"
    exit 2
  fi
done

mkdir -p "$BUILD/Testing"
chown -R "$TEST_USER" "$BUILD/Testing"
# The install test's `cmake --install` records what it installed in the
# build folder, whatever the prefix.
touch "$BUILD/install_manifest.txt"
chown "$TEST_USER" "$BUILD/install_manifest.txt"
cd "$BUILD"
echo "check-user: the unit suite as $TEST_USER (uid $(id -u "$TEST_USER"))"
as_user env HOME="$HOME_DIR" USER="$TEST_USER" LOGNAME="$TEST_USER" \
  ctest --output-on-failure -j "$JOBS"
