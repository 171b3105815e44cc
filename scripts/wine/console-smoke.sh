#!/bin/bash
# Console-mode smoke test of the Windows service under wine64, driven from Linux:
# the executable copied into bin/ of a fresh installed tree (empty conf/, logs/, log/),
# started with /console, asked over loopback for its welcome, version, help and a few
# commands of the protocol, then ended by its process id.
#   scripts/wine/console-smoke.sh VortanVpnService.exe EXPECTED_VERSION
set -uo pipefail

executable=$1
version=$2
runner="$(cd "$(dirname "$0")" && pwd)/run.sh"
: "${VORTAN_WINEPREFIX:=$(cd "$(dirname "$executable")" && pwd)/wineprefix}"
export VORTAN_WINEPREFIX

root=$(mktemp -d /tmp/vortan-smoke-XXXXXX)
service_pid=
finish() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
  fi
  exec 3<&- 2>/dev/null
  rm -rf "$root"
}
trap finish EXIT

failures=0
fail() {
  echo "FAILED: $1"
  failures=$((failures + 1))
}

mkdir -p "$root/bin" "$root/conf" "$root/logs" "$root/log"
cp "$executable" "$root/bin/VortanVpnService.exe"
(cd "$root/bin" && exec "$runner" ./VortanVpnService.exe /console >"$root/stdout.txt" 2>&1) &
service_pid=$!

# A cold Wine start takes a while.
for _ in $(seq 1 600); do
  [ -s "$root/conf/portused.txt" ] && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
published=$(cat "$root/conf/portused.txt" 2>/dev/null)
if [[ ! $published =~ ^zel-vpn-service://(127\.[0-9]+\.[0-9]+\.[0-9]+):([0-9]+)$ ]]; then
  echo "FAILED: conf/portused.txt holds no loopback endpoint: '$published'"
  echo "--- service output"; cat "$root/stdout.txt"
  exit 1
fi
address=${BASH_REMATCH[1]}
port=${BASH_REMATCH[2]}
echo "service listens on $address:$port"

if ! exec 3<>"/dev/tcp/$address/$port"; then
  echo "FAILED: cannot connect to $address:$port"
  exit 1
fi

# One reply line, without its line feed.
reply() {
  local line=
  IFS= read -r -t 20 line <&3 || { echo "(no reply)"; return; }
  printf '%s' "$line"
}
# Sends a request and checks the whole reply.
expect_reply() {
  local request=$1 expected=$2 got
  printf '%s\n' "$request" >&3
  got=$(reply)
  [ "$got" = "$expected" ] || fail "'$request' got '$got', expected '$expected'"
}
# Sends a request and checks the start of the reply.
expect_reply_start() {
  local request=$1 expected=$2 got
  printf '%s\n' "$request" >&3
  got=$(reply)
  [ "${got:0:${#expected}}" = "$expected" ] || fail "'$request' got '${got:0:80}...', expected it to start with '$expected'"
}

welcome=$(reply)
[ "$welcome" = $'Welcome to VortanVpnService management Interface \r' ] || fail "welcome was '$welcome'"
help_start=$'List of Availlable commands \r\rhelp \r'
expect_reply "version" "IMPLEMENTATION:$version COMPATIBILITY:6.5"
expect_reply $'  version \r' "IMPLEMENTATION:$version COMPATIBILITY:6.5"
expect_reply_start "help" "$help_start"
expect_reply_start "status" "$help_start"
expect_reply_start "Version" "$help_start"
expect_reply "shutdown" "OK"
expect_reply "quit" "bye"
IFS= read -r -t 20 rest <&3 && fail "the session went on after quit: '$rest'"

# A second session on the same listener.
exec 3<&-
if exec 3<>"/dev/tcp/$address/$port"; then
  welcome=$(reply)
  [ "$welcome" = $'Welcome to VortanVpnService management Interface \r' ] || fail "second welcome was '$welcome'"
  expect_reply "quit" "bye"
else
  fail "cannot connect a second time"
fi

grep -q "starting..." "$root/logs/vortanVpnService.log" 2>/dev/null || fail "logs/vortanVpnService.log lacks 'starting...'"
if [ "$failures" -ne 0 ]; then
  echo "--- service output"; cat "$root/stdout.txt"
  exit 1
fi
echo "console smoke passed"
