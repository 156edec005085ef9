#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The metadata the library keeps on Linux, checked against a real Samba
# server in both directions:
#  (b) attributes and times set through smbclient (setmode, utimes) on a
#      share are what `kvmorvel create` stores and `list --json` shows;
#  (a) the tree `kvmorvel extract` restores into a share (versions 5 and
#      2) shows the same attributes and creation times in smbclient's
#      `allinfo`: hidden, system, archive and read-only files and
#      folders, creation times from 1965 to 2030.
#  (c) as root, Windows ACLs: an ACL set with smbcacls (a DENY, a
#      named-user grant, an inheritable folder entry) shows entry for
#      entry the same in the restored share; named-user POSIX ACL
#      entries show the same in getfacl; a descriptor granting Everyone
#      nothing, restored by an ordinary user, leaves others no bits.
# smbd runs in the foreground of this script on a loopback port, with a
# private configuration and every folder it writes in a scratch folder;
# no system file is read or written but the programs themselves. It is
# stopped by its pid whatever happens (trap). As an ordinary user the
# server runs with that user as its guest account. As root the script
# runs in a network namespace of its own, where smbd takes port 445:
# smbcacls connects to no other port.
# Usage: tools/check-interop.sh BUILD_DIR
set -euo pipefail

if [ "$(id -u)" = 0 ] && [ -z "${KVMORVEL_INTEROP_NETNS:-}" ] &&
   command -v unshare >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
  exec unshare -n env KVMORVEL_INTEROP_NETNS=1 bash "$0" "$@"
fi
ACL_CHECKS=
if [ -n "${KVMORVEL_INTEROP_NETNS:-}" ]; then
  ip link set lo up
  ACL_CHECKS=1
fi

BUILD=${1:-build}
KVMORVEL=$(cd "$BUILD" && pwd)/kvmorvel
export TZ=UTC

for program in smbd smbclient; do
  if ! command -v "$program" >/dev/null 2>&1 && [ ! -x "/usr/sbin/$program" ]; then
    echo "check-interop: SKIPPED: $program is not installed (Debian: samba smbclient)"
    exit 0
  fi
done
SMBD=$(command -v smbd || echo /usr/sbin/smbd)
# Why the ACL checks (c) cannot run here, if they cannot.
acl_skip_reason() {
  [ "$(id -u)" = 0 ] || { echo "they write security.NTACL, which needs root"; return; }
  [ -n "$ACL_CHECKS" ] || { echo "no network namespace of its own for smbd on port 445"; return; }
  local program modules
  for program in smbcacls setfacl getfacl runuser; do
    command -v "$program" >/dev/null 2>&1 ||
      { echo "$program is not installed (Debian: smbclient acl)"; return; }
  done
  modules=$("$SMBD" -b | sed -n 's/^ *MODULESDIR: //p')
  [ -e "$modules/vfs/acl_xattr.so" ] ||
    echo "smbd has no acl_xattr module (Debian: samba-vfs-modules)"
}
ACL_SKIP=$(acl_skip_reason)
if [ -n "$ACL_SKIP" ]; then
  echo "check-interop: (c) SKIPPED: $ACL_SKIP"
  ACL_CHECKS=
fi
[ -x "$KVMORVEL" ] || { echo "check-interop: $KVMORVEL is missing; build it first"; exit 2; }

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/kvmorvel-interop.XXXXXX")
SMBD_PID=
cleanup() {
  if [ -n "$SMBD_PID" ]; then
    kill "$SMBD_PID" 2>/dev/null || true
    wait "$SMBD_PID" 2>/dev/null || true
  fi
  rm -rf "$SCRATCH" "${USER_SCRATCH:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

CONF=$SCRATCH/smb.conf
SHARES=$SCRATCH/shares
mkdir -p "$SHARES/src" "$SHARES/back"
for d in private lock state cache pid log ncalrpc; do mkdir -p "$SCRATCH/$d"; done

write_conf() {
  cat >"$CONF" <<EOF
[global]
  smb ports = $1
  interfaces = lo
  bind interfaces only = yes
  private dir = $SCRATCH/private
  lock directory = $SCRATCH/lock
  state directory = $SCRATCH/state
  cache directory = $SCRATCH/cache
  pid directory = $SCRATCH/pid
  ncalrpc dir = $SCRATCH/ncalrpc
  log file = $SCRATCH/log/smbd.log
  map to guest = Bad User
  guest account = $(id -un)
  disable netbios = yes
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[src]
  path = $SHARES/src
  guest ok = yes
  read only = no
  ${ACL_CHECKS:+vfs objects = acl_xattr}
[back]
  path = $SHARES/back
  guest ok = yes
  read only = no
  ${ACL_CHECKS:+vfs objects = acl_xattr}
EOF
}

PORT=
smb() {  # smb SHARE COMMANDS
  smbclient -s "$CONF" -p "$PORT" "//127.0.0.1/$1" -N -c "$2" 2>&1
}

# Starts smbd on a free port: a port another program holds makes it exit,
# and the next one is tried. It runs in the foreground (so its pid is $!)
# in a process group of its own: when stopped, smbd signals its whole
# group, which must not take this script and its caller along.
start_server() {
  local attempt
  for attempt in 1 2 3 4 5; do
    PORT=$((20000 + (RANDOM % 20000)))
    [ -z "$ACL_CHECKS" ] || PORT=445  # the namespace's own
    write_conf "$PORT"
    "$SMBD" -F -s "$CONF" -l "$SCRATCH/log" </dev/null \
      >>"$SCRATCH/log/console" 2>&1 &
    SMBD_PID=$!
    local tries
    for tries in $(seq 1 50); do
      if smb src 'ls' >/dev/null 2>&1; then return 0; fi
      kill -0 "$SMBD_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$SMBD_PID" 2>/dev/null || true
    wait "$SMBD_PID" 2>/dev/null || true
    SMBD_PID=
  done
  echo "check-interop: smbd did not start; its log:"
  tail -20 "$SCRATCH/log/"* 2>/dev/null || true
  return 1
}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# --- the tree, made through the server -------------------------------
# name | setmode flags | creation | last access | last write
# The last access lies in the future, so that reading a file (relatime)
# leaves it as set.
ITEMS="
hidden.txt|+h|1965:03:04-05:06:07|2031:01:02-03:04:05|2001:02:03-04:05:06
system.txt|+s|1970:01:01-00:00:01|2031:01:02-03:04:06|2002:02:03-04:05:06
archive.txt|+a|1999:12:31-23:59:59|2031:01:02-03:04:07|2003:02:03-04:05:06
readonly.txt|+r|2001:09:09-01:46:40|2031:01:02-03:04:08|2004:02:03-04:05:06
hidden_readonly.txt|+hr|2030:01:01-00:00:00|2031:01:02-03:04:09|2005:02:03-04:05:06
all.txt|+rhsa|1980:06:15-12:00:00|2031:01:02-03:04:10|2006:02:03-04:05:06
plain.txt||2010:10:10-10:10:10|2031:01:02-03:04:11|2007:02:03-04:05:06
hidden_dir/inner.txt|+a|1975:05:05-05:05:05|2031:01:02-03:04:12|2008:02:03-04:05:06
hidden_dir|+h|1968:08:08-08:08:08|2031:01:02-03:04:13|2009:02:03-04:05:06
readonly_dir/inner.txt|+r|2029:12:31-23:59:58|2031:01:02-03:04:14|2010:02:03-04:05:06
readonly_dir|+r|2025:05:05-05:05:05|2031:01:02-03:04:15|2011:02:03-04:05:06
system_dir|+sa|1990:01:01-00:00:00|2031:01:02-03:04:16|2012:02:03-04:05:06
"

make_tree() {
  local commands="mkdir hidden_dir; mkdir readonly_dir; mkdir system_dir;"
  echo "some content" >"$SCRATCH/content"
  local name flags created accessed written
  while IFS='|' read -r name flags created accessed written; do
    [ -n "$name" ] || continue
    case $name in
      *_dir) ;;
      *) commands="$commands put $SCRATCH/content $name;" ;;
    esac
  done <<<"$ITEMS"
  # Files first, their folders after them (listed later), so that adding
  # a file does not move a folder's times again.
  while IFS='|' read -r name flags created accessed written; do
    [ -n "$name" ] || continue
    commands="$commands utimes $name $created $accessed $written -1;"
    [ -z "$flags" ] || commands="$commands setmode $name $flags;"
  done <<<"$ITEMS"
  smb src "$commands" >"$SCRATCH/make.log" || { cat "$SCRATCH/make.log"; return 1; }
  if grep -q NT_STATUS "$SCRATCH/make.log"; then
    cat "$SCRATCH/make.log"
    return 1
  fi
}

# allinfo of NAME on SHARE as "ATTRIBUTES CREATION ACCESS WRITE": the
# attributes in decimal, the times in seconds since 1970.
info_of() {
  local out attributes created accessed written
  out=$(smb "$1" "allinfo \"$2\"")
  attributes=$(sed -n 's/^attributes: .*(\([0-9a-f]*\))$/\1/p' <<<"$out")
  created=$(sed -n 's/^create_time:[[:space:]]*//p' <<<"$out")
  accessed=$(sed -n 's/^access_time:[[:space:]]*//p' <<<"$out")
  written=$(sed -n 's/^write_time:[[:space:]]*//p' <<<"$out")
  if [ -z "$attributes" ] || [ -z "$created" ]; then
    echo "unreadable: $out"
    return
  fi
  echo "$((16#$attributes)) $(date -u -d "$created" +%s) $(date -u -d "$accessed" +%s)" \
       "$(date -u -d "$written" +%s)"
}

# --- (c) Windows ACLs ------------------------------------------------
TEST_USER=${KVMORVEL_TEST_USER:-kvtest}
USER_SCRATCH=

# The ACL of NAME on SHARE as smbcacls shows it, SIDs as numbers.
cacls() {
  local share=$1 name=$2
  shift 2
  smbcacls -s "$CONF" "//127.0.0.1/$share" "$name" -N --numeric "$@" 2>&1
}
facl() { (cd "$(dirname "$1")" && getfacl -n --omit-header "$(basename "$1")" 2>&1); }

# src/acl: a folder with an inheritable entry, a file with a DENY and a
# named-user grant, a file whose ACL gives Everyone nothing (all three set
# through the server), and a file given named POSIX entries with setfacl.
declare -A acl_before
ACL_NAMES="acl acl/deny.txt acl/private.txt"
make_acl_tree() {
  if ! id -u "$TEST_USER" >/dev/null 2>&1; then
    useradd --system --user-group --create-home --home-dir "/var/lib/$TEST_USER" \
            --shell /usr/sbin/nologin "$TEST_USER"
  fi
  TEST_UID=$(id -u "$TEST_USER")
  smb src "mkdir acl; put $SCRATCH/content acl/deny.txt; put $SCRATCH/content acl/private.txt" \
    >/dev/null
  cacls src acl -a "ACL:S-1-22-1-$TEST_UID:ALLOWED/OI|CI/FULL" >/dev/null
  cacls src acl/deny.txt \
    -a "ACL:S-1-22-1-65534:DENIED/0x0/FULL,ACL:S-1-22-1-$TEST_UID:ALLOWED/0x0/READ" >/dev/null
  cacls src acl/private.txt -S "ACL:S-1-22-1-0:ALLOWED/0x0/FULL" >/dev/null
  # Outside acl/, whose inheritable entry would add a default ACL.
  echo "named entries" >"$SHARES/src/named.txt"
  setfacl -m "u:$TEST_UID:rwx,u:65534:r--,g:$(id -g "$TEST_USER"):r-x" "$SHARES/src/named.txt"
  local name
  for name in $ACL_NAMES; do
    acl_before[$name]=$(cacls src "$name")
    grep -q '^ACL:' <<<"${acl_before[$name]}" || fail "smbcacls shows no ACL for $name: ${acl_before[$name]}"
  done
  grep -q ":1/0x0/0x001f01ff" <<<"${acl_before[acl/deny.txt]}" || fail "no DENY set on acl/deny.txt"
  facl_before=$(facl "$SHARES/src/named.txt")
  USER_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/kvmorvel-interop-user.XXXXXX")
  chmod 755 "$USER_SCRATCH"
}

# The ACL checks of one version: the restore in the back share as root,
# then a restore by the ordinary user.
check_acls() {
  local version=$1 archive=$2 name got
  for name in $ACL_NAMES; do
    got=$(cacls back "src/$name")
    [ "$got" = "${acl_before[$name]}" ] ||
      fail "v$version restored $name: smbcacls shows
$got
the source showed
${acl_before[$name]}"
  done
  got=$(facl "$SHARES/back/src/named.txt")
  [ "$got" = "$facl_before" ] ||
    fail "v$version restored named.txt: getfacl shows
$got
the source showed
$facl_before"
  local dest=$USER_SCRATCH/v$version
  local part
  for part in "${archive%.kvm}".kvm "${archive%.kvm}"_*.kvm; do  # a version 5 archive has parts
    [ ! -e "$part" ] || install -m 644 "$part" "$USER_SCRATCH/"
  done
  mkdir "$dest"
  chown "$TEST_USER" "$dest"
  runuser -u "$TEST_USER" -- "$KVMORVEL" extract "$USER_SCRATCH/v$version.kvm" "$dest" \
    >"$USER_SCRATCH/extract.log" 2>&1 ||
    fail "v$version: extract as $TEST_USER failed: $(tail -3 "$USER_SCRATCH/extract.log")"
  local mode
  mode=$(stat -c %a "$dest/src/acl/private.txt" 2>&1 || true)
  [ "${mode: -1}" = 0 ] ||
    fail "v$version restored by $TEST_USER: acl/private.txt has mode $mode, others must have no bits"
}

# FILETIME ticks to whole seconds since 1970 (times here are whole seconds).
seconds_of() { echo $((($1 - 116444736000000000) / 10000000)); }

# The list --json line of ENTRY as "ATTRIBUTES CREATION ACCESS WRITE".
listed_info() {
  local line
  line=$(grep -F "\"name\":\"$2\"," <<<"$1" || true)
  [ -n "$line" ] || { echo "not listed"; return; }
  local a c r w
  a=$(sed 's/.*"attributes":\([0-9]*\).*/\1/' <<<"$line")
  c=$(sed 's/.*"creation_time":\([0-9]*\).*/\1/' <<<"$line")
  r=$(sed 's/.*"last_access_time":\([0-9]*\).*/\1/' <<<"$line")
  w=$(sed 's/.*"last_write_time":\([0-9]*\).*/\1/' <<<"$line")
  echo "$a $(seconds_of "$c") $(seconds_of "$r") $(seconds_of "$w")"
}

# The archive entry name of an item: src\ and the path with '\'.
entry_of() { echo "src\\\\${1//\//\\\\}"; }

start=$(date +%s%N)
start_server
echo "check-interop: smbd $("$SMBD" --version | sed 's/Version //') on 127.0.0.1:$PORT (pid $SMBD_PID)"
make_tree
[ -z "$ACL_CHECKS" ] || make_acl_tree

declare -A expected
while IFS='|' read -r name flags created accessed written; do
  [ -n "$name" ] || continue
  expected[$name]=$(info_of src "$name")
  # What was set is what the server shows on the source itself.
  want_created=$(date -u -d "${created:0:4}-${created:5:2}-${created:8:2} ${created:11}" +%s)
  read -r _ got_created _ _ <<<"${expected[$name]}"
  [ "$got_created" = "$want_created" ] ||
    fail "$name: smbclient set creation $created, allinfo shows ${expected[$name]}"
done <<<"$ITEMS"

for version in 5 2; do
  archive=$SCRATCH/v$version.kvm
  # Entries are named by the PATH as given: "src", "src\\...".
  (cd "$SHARES" && "$KVMORVEL" create -V "$version" "$archive" src) >/dev/null
  listing=$("$KVMORVEL" list --json "$archive")
  # (b): what Samba set is what the archive holds.
  while IFS='|' read -r name flags created accessed written; do
    [ -n "$name" ] || continue
    got=$(listed_info "$listing" "$(entry_of "$name")")
    [ "$got" = "${expected[$name]}" ] ||
      fail "v$version list $name: got '$got', Samba set '${expected[$name]}'"
  done <<<"$ITEMS"
  # (a) and the round trip: restored into the other share, Samba reads
  # back what it set on the source.
  rm -rf "${SHARES:?}/back/"*
  "$KVMORVEL" extract "$archive" "$SHARES/back"
  while IFS='|' read -r name flags created accessed written; do
    [ -n "$name" ] || continue
    got=$(info_of back "src/$name")
    [ "$got" = "${expected[$name]}" ] ||
      fail "v$version restored $name: allinfo '$got', source '${expected[$name]}'"
  done <<<"$ITEMS"
  "$KVMORVEL" verify "$archive" >/dev/null || fail "v$version: verify failed"
  [ -z "$ACL_CHECKS" ] || check_acls "$version" "$archive"
done

echo "--- list --json of a file made read-only through smbclient:"
grep -F "\"name\":\"src\\\\readonly.txt\"" <<<"$listing"
echo "--- smbclient allinfo of a hidden read-only file restored by the library:"
smb back 'allinfo src/hidden_readonly.txt'
if [ -n "$ACL_CHECKS" ]; then
  echo "--- smbcacls of acl/deny.txt on the source share:"
  echo "${acl_before[acl/deny.txt]}"
  echo "--- smbcacls of the same file restored by the library (version 2) into the other share:"
  cacls back src/acl/deny.txt
  echo "--- getfacl of named.txt on the source:"
  echo "$facl_before"
  echo "--- getfacl of the same file restored:"
  facl "$SHARES/back/src/named.txt"
  echo "--- acl/private.txt (Everyone granted nothing) restored by $TEST_USER:"
  stat -c '%A %U %n' "$USER_SCRATCH/v2/src/acl/private.txt" | sed "s|$USER_SCRATCH/||"
fi
items=$(grep -c '|' <<<"$ITEMS")
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
elapsed="$((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000)))"
if [ "$failures" -ne 0 ]; then
  echo "check-interop: $failures failures"
  exit 1
fi
acls=
[ -z "$ACL_CHECKS" ] || acls=", ACLs through smbcacls and getfacl"
echo "check-interop: $items items in both directions$acls, versions 5 and 2: passed (${elapsed} s)"
