#!/bin/bash
# The Debian package under a real systemd: boots systemd as PID 1 of private PID and
# mount namespaces, on an overlay of the host's root whose changes live in memory, so
# that the package's installation, upgrade and purge never reach the host's /etc, /opt
# or dpkg database. The service runs in a network namespace of the run's own (a unit
# drop-in) with a real OpenVPN: for the stop, crash and upgrade it tries a server that
# never answers (a tunnel that is up for the service, without traffic), and a real
# server in a second namespace carries a tunnel to CONNECTED.
# Prints one line per check and a closing "N passed, N failed"; exits 0 when none
# failed, 77 when the kernel refuses what the stage needs.
# Environment: VORTAN_SYSTEMD_BUILD_DIR, a build directory to package from (default
# build-systemd, configured and built here; a directory named is packaged as it is).
set -uo pipefail
cd "$(dirname "$0")/.."
TREE=$PWD
BUILD="${VORTAN_SYSTEMD_BUILD_DIR:-build-systemd}"
case "$BUILD" in /*) ;; *) BUILD="$TREE/$BUILD" ;; esac
UNIT=VortanVpnService.service
PREFIX=/opt/vortanvpnservice
PACKAGE=vortanvpnservice

say() { echo "systemd stage: $*"; }
skip() { say "SKIPPED: $*"; echo "0 passed, 0 failed (skipped)"; exit 77; }
. "$TREE/scripts/stage-lib.sh"
# Waits up to $1 seconds for the command to succeed.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

[ "$(id -u)" = 0 ] || skip "needs root"
./scripts/install-deps.sh || exit 1
for tool in unshare nsenter chroot ip cpack dpkg-deb openssl; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"
[ -x /usr/sbin/openvpn ] || skip "openvpn is not installed"

# --- two packages of the tree: as built, and the same with a higher version --------
if [ -z "${VORTAN_SYSTEMD_BUILD_DIR:-}" ]; then
  cmake -S "$TREE" -B "$BUILD" -DVORTAN_TESTS=OFF ${VORTAN_CMAKE_ARGS:-} >/dev/null || exit 1
  cmake --build "$BUILD" -j "$(nproc)" >/dev/null || exit 1
fi
WORK=$(mktemp -d /tmp/vortan-systemd-XXXXXX)
NETNS=vsd$$
SERVER_NETNS=vss$$
SERVER_PID=
SYSTEMD_PID=
UNSHARE_PID=
cleanup() {
  [ -z "$SYSTEMD_PID" ] && [ -n "$UNSHARE_PID" ] &&
    SYSTEMD_PID=$(cut -d' ' -f1 "/proc/$UNSHARE_PID/task/$UNSHARE_PID/children" 2>/dev/null)
  # PID 1 of the namespace takes every process of it along; the mount namespace, its
  # overlay and its memory go with the last of them.
  [ -n "$SYSTEMD_PID" ] && kill -KILL "$SYSTEMD_PID" 2>/dev/null
  [ -n "$UNSHARE_PID" ] && wait "$UNSHARE_PID" 2>/dev/null
  [ -n "$SERVER_PID" ] && kill -TERM "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  ip netns del "$NETNS" 2>/dev/null
  ip netns del "$SERVER_NETNS" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/packages" "$WORK/root" "$WORK/layers"
for version in current upgrade; do
  {
    echo "include(\"$BUILD/CPackConfig.cmake\")"
    echo 'set(CPACK_CMAKE_GENERATOR "Ninja")'
    [ "$version" = upgrade ] && echo 'set(CPACK_DEBIAN_PACKAGE_VERSION "${CPACK_PACKAGE_VERSION}+stage1")'
  } >"$WORK/$version.cmake"
  cpack -G DEB -B "$WORK/out-$version" --config "$WORK/$version.cmake" >"$WORK/cpack-$version.log" 2>&1 ||
    { cat "$WORK/cpack-$version.log"; exit 1; }
  cp "$WORK"/out-$version/*.deb "$WORK/packages/$version.deb"
done

# --- the network namespace the unit joins (made before the boot: later ones are not seen)
ip netns add "$NETNS" || skip "the kernel refuses network namespaces"
ip -n "$NETNS" link set lo up
# 192.0.2.1, the server that never answers, is behind a veth pair at a hardware address
# nobody has: OpenVPN's packets vanish there, and it waits quietly for an answer
# instead of failing at once for want of a route.
{
  ip -n "$NETNS" link add stage0 type veth peer name stage1 &&
    ip -n "$NETNS" link set stage0 up && ip -n "$NETNS" link set stage1 up &&
    ip -n "$NETNS" route add 192.0.2.0/24 dev stage0 &&
    ip -n "$NETNS" neigh add 192.0.2.1 lladdr 02:00:00:00:00:01 dev stage0 nud permanent
} || skip "the kernel refuses a veth pair"
# A real OpenVPN server in a namespace of its own, one veth link away from the unit's.
ip netns add "$SERVER_NETNS" &&
  ip link add vstage-c netns "$NETNS" type veth peer name vstage-s netns "$SERVER_NETNS" &&
  ip -n "$NETNS" addr add 198.51.100.2/24 dev vstage-c && ip -n "$NETNS" link set vstage-c up &&
  ip -n "$SERVER_NETNS" addr add 198.51.100.1/24 dev vstage-s && ip -n "$SERVER_NETNS" link set vstage-s up &&
  ip -n "$SERVER_NETNS" link set lo up || skip "the kernel refuses the server's namespace"
mkdir -p "$WORK/pki"
(
  cd "$WORK/pki" || exit 1
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=serverAuth\n' >server.ext
  printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=clientAuth\n' >client.ext
  openssl ecparam -name prime256v1 -genkey -noout -out ca.key &&
    openssl req -new -x509 -key ca.key -out ca.crt -days 2 -subj /CN=vortan-stage-ca || exit 1
  for role in server client; do
    openssl ecparam -name prime256v1 -genkey -noout -out $role.key &&
      openssl req -new -key $role.key -out $role.csr -subj /CN=vortan-stage-$role &&
      openssl x509 -req -in $role.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out $role.crt \
        -extfile $role.ext || exit 1
  done
) >"$WORK/pki.log" 2>&1 || { cat "$WORK/pki.log"; exit 1; }
cat >"$WORK/pki/server.conf" <<SERVER
proto udp
local 198.51.100.1
port 1194
dev tap-vstage
dev-type tap
server 10.8.0.0 255.255.255.0
ca $WORK/pki/ca.crt
cert $WORK/pki/server.crt
key $WORK/pki/server.key
dh none
keepalive 2 10
verb 3
SERVER
ip netns exec "$SERVER_NETNS" /usr/sbin/openvpn --config "$WORK/pki/server.conf" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
cp "$WORK/pki/ca.crt" "$WORK/packages/ca.crt"
cp "$WORK/pki/client.crt" "$WORK/packages/client.crt"
cp "$WORK/pki/client.key" "$WORK/packages/client.key"

# --- boot ---------------------------------------------------------------------------
cat >"$WORK/boot.sh" <<BOOT
set -e
M=$WORK/root
mount -t tmpfs tmpfs $WORK/layers
mkdir $WORK/layers/upper $WORK/layers/work
mount -t overlay overlay -o lowerdir=/,upperdir=$WORK/layers/upper,workdir=$WORK/layers/work \$M
mount -t proc proc \$M/proc
mount --rbind /sys \$M/sys
mount --rbind /dev \$M/dev
for d in tmp var/tmp run; do mount -t tmpfs tmpfs \$M/\$d; done
mkdir -p \$M/run/netns \$M/run/systemd/system \$M/mnt/stage
mount --rbind /run/netns \$M/run/netns
mount --bind $WORK/packages \$M/mnt/stage
# Units that would change the host's kernel settings or its /dev are masked.
for u in systemd-sysctl systemd-modules-load systemd-remount-fs systemd-tmpfiles-setup-dev systemd-udevd systemd-binfmt; do
  ln -s /dev/null \$M/run/systemd/system/\$u.service
done
printf '[Unit]\nDescription=The stage\nRequires=basic.target\nAfter=basic.target\n' >\$M/run/systemd/system/vortan-stage.target
exec chroot \$M /lib/systemd/systemd --system --unit=vortan-stage.target
BOOT
unshare --fork --pid --mount --propagation private -- /bin/sh "$WORK/boot.sh" >"$WORK/boot.log" 2>&1 &
UNSHARE_PID=$!
forked() { [ -n "$(cat "/proc/$UNSHARE_PID/task/$UNSHARE_PID/children" 2>/dev/null)" ]; }
within 5 forked || { cat "$WORK/boot.log"; skip "the kernel refuses the PID and mount namespaces"; }
SYSTEMD_PID=$(cut -d' ' -f1 "/proc/$UNSHARE_PID/task/$UNSHARE_PID/children")
inside() { nsenter -t "$SYSTEMD_PID" -m -p -r -w "$@"; }
booted() { case "$(inside systemctl is-system-running 2>/dev/null)" in running | degraded) return 0 ;; esac; return 1; }
within 30 booted || { cat "$WORK/boot.log"; inside systemctl --failed; skip "systemd did not boot in the namespace"; }
say "systemd booted as PID $SYSTEMD_PID"


SERVICE_LOG=/var/log/vortan-stage
client() { nsenter -t "$SYSTEMD_PID" -m -p -r -w --net="/run/netns/$NETNS" "$@"; }
unit_active() { [ "$(inside systemctl is-active "$UNIT")" = active ]; }
main_pid() { inside systemctl show -p MainPID --value "$UNIT"; }
# "PID START" of the recorded OpenVPN; empty when none.
recorded_openvpn() { inside awk '/openvpn$/ { print $1, $2; exit }' "$PREFIX/run/children.txt" 2>/dev/null; }
# True while the process of "PID START" runs (not a zombie).
runs() {
  local pid=${1% *} start=${1#* }
  inside awk -v start="$start" '{ sub(/.*\) /, ""); split($0, f, " "); exit !(f[1] != "Z" && f[20] == start) }' \
    "/proc/$pid/stat" 2>/dev/null
}
gone() { ! runs "$1"; }
# A session that starts a tunnel and prints its notifications into $SERVICE_LOG/$1.
start_tunnel() {
  client sh -c "exec $PREFIX/bin/vortanctl start 192.0.2.1 1194 /root/stage/x_ Vortan-Dashlet udp adaptive \
    >$SERVICE_LOG/$1 2>&1" &
  within 10 has_openvpn
}
has_openvpn() { [ -n "$(recorded_openvpn)" ]; }
# Runs a command inside; its output goes to the stage's log, shown when it fails.
quiet() {
  inside "$@" >"$WORK/last.log" 2>&1 && return 0
  cat "$WORK/last.log"
  return 1
}

# Root's client files, for the tunnels to the server that never answers.
inside sh -c "mkdir -p /root/stage $SERVICE_LOG &&
  for f in ca.crt client.crt client.key; do cp /mnt/stage/\$f /root/stage/x_\$f; done"
# The unit joins the run's network namespace.
inside sh -c "mkdir -p /etc/systemd/system/$UNIT.d &&
  printf '[Service]\nNetworkNamespacePath=/run/netns/$NETNS\n' >/etc/systemd/system/$UNIT.d/stage.conf"

# --- 1. installation ------------------------------------------------------------------
check "dpkg -i installs the package" quiet dpkg -i /mnt/stage/current.deb
check "the group exists" quiet getent group vortanvpn
check "the settings name the group" inside grep -qiE '^tunnelgroup *= *vortanvpn' "$PREFIX/conf/VortanVpnService.ini"
check "the unit is enabled" test "$(inside systemctl is-enabled "$UNIT")" = enabled
check "the unit is active within 5 s" within 5 unit_active
status=$(inside systemctl show -p StatusText --value "$UNIT")
endpoint=${status#Management listener on }
check "the status line names the listener" test "$status" != "$endpoint" -a -n "$endpoint"
check "conf/portused.txt names the same listener" \
  test "$(inside cat "$PREFIX/conf/portused.txt")" = "zel-vpn-service://$endpoint"

# --- 2. systemctl stop with a tunnel up --------------------------------------------------
check "a tunnel starts (OpenVPN runs)" start_tunnel stop.log
openvpn=$(recorded_openvpn)
since=$(date +%s)
inside systemctl stop "$UNIT"
inside journalctl -u "$UNIT" --since "@$since" -o cat --no-pager >"$WORK/stop.log"
check "stop runs the stop dialogue" grep -q "message CONTROL sent" "$WORK/stop.log"
check "OpenVPN is gone once the unit is inactive" gone "$openvpn"
check "the service ended OpenVPN itself (no kill by systemd)" bash -c "! grep -q 'Killing process' $WORK/stop.log"
check "the client is told the tunnel ends (EXITING)" within 5 inside grep -q "EXITING" "$SERVICE_LOG/stop.log"

# --- 3. a crash with a tunnel up ----------------------------------------------------------
inside systemctl start "$UNIT"
within 5 unit_active
start_tunnel crash.log
openvpn=$(recorded_openvpn)
crashed=$(main_pid)
inside rm -f "$PREFIX/log/VortanVpnService.dump"
inside kill -SEGV "$crashed"
check "SIGSEGV writes the dump" within 5 inside test -s "$PREFIX/log/VortanVpnService.dump"
check "no OpenVPN of the crashed service survives" within 2 gone "$openvpn"
restarted() { unit_active && [ "$(main_pid)" != "$crashed" ] && [ "$(main_pid)" != 0 ]; }
check "the unit is active again within 10 s" within 10 restarted
check "a new start works after the crash" start_tunnel after-crash.log
check "  and answers OK" within 5 inside grep -q "^OK" "$SERVICE_LOG/after-crash.log"

# --- 4. upgrade in place with that tunnel up -----------------------------------------------
openvpn=$(recorded_openvpn)
old_main=$(main_pid)
inside sh -c "echo '; kept by upgrades: edited by the administrator' >>$PREFIX/conf/VortanVpnService.ini"
check "dpkg -i of a higher version upgrades" quiet dpkg -i /mnt/stage/upgrade.deb
check "  to that version" test "$(inside dpkg-query -W -f '${Version}' "$PACKAGE")" != "$(dpkg-deb -f "$WORK/packages/current.deb" Version)"
check "  and the unit is active afterwards" within 10 unit_active
check "  with a new process" test "$(main_pid)" != "$old_main"
check "  no process of the old version is left" inside sh -c "! kill -0 $old_main 2>/dev/null"
check "  the tunnel's OpenVPN ended" gone "$openvpn"
check "  the client was told (EXITING)" within 5 inside grep -q "EXITING" "$SERVICE_LOG/after-crash.log"
check "  the edited settings file is kept" inside grep -q "edited by the administrator" "$PREFIX/conf/VortanVpnService.ini"

# --- 5. a real tunnel under the unit's sandbox, for a member of the group ---------------------
for user in stagemember stageother; do
  inside useradd -m "$user"
  inside sh -c "for f in ca.crt client.crt client.key; do cp /mnt/stage/\$f /home/$user/x_\$f; done;
    chown $user: /home/$user/x_*"
done
inside usermod -aG vortanvpn stagemember
as_user() { local user=$1; shift; client setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }
real_start() { echo "start 198.51.100.1 1194 /home/$1/x_ Vortan-Dashlet udp adaptive"; }
# True when the command's output holds the text.
prints() {
  local text=$1
  shift
  "$@" >"$WORK/last.log" 2>&1
  grep -q -- "$text" "$WORK/last.log" && return 0
  tail -5 "$WORK/last.log"
  return 1
}
check "a non-member is refused with the group's reply" \
  prints "Only members of the local group vortanvpn may use this command" as_user stageother "$PREFIX/bin/vortanctl" $(real_start stageother)
as_user stagemember sh -c "exec $PREFIX/bin/vortanctl $(real_start stagemember) >/tmp/stage-member.log 2>&1" &
check "a member's tunnel reaches CONNECTED under the unit's sandbox" \
  within 30 inside grep -qs ",CONNECTED,SUCCESS" /tmp/stage-member.log || tail -5 "$WORK/server.log"
check "  and the member's shutdown answers OK" prints "OK" as_user stagemember "$PREFIX/bin/vortanctl" shutdown

# --- 7. the journal's priorities ------------------------------------------------------------
# A request in HTTP gives a WARNING, a route request short of its words an ERROR.
client "$PREFIX/bin/vortanctl" GET / HTTP/1.1 >/dev/null 2>&1
client "$PREFIX/bin/vortanctl" route add 10.99.0.0 >/dev/null 2>&1
journal=$(inside journalctl -u "$UNIT" -o json --output-fields=PRIORITY,MESSAGE --no-pager)
# Every line of level $1 carries priority $2, and there is one: "[DEBUG]" in the
# configured layout, " DEBUG [" in the library's own (lines logged before the
# configuration).
priority_of() {
  local all right
  all=$(grep -c -e "\\[$1\\]" -e " $1 \\[" <<<"$journal")
  right=$(grep "\"PRIORITY\":\"$2\"" <<<"$journal" | grep -c -e "\\[$1\\]" -e " $1 \\[")
  [ "$all" -gt 0 ] && [ "$all" = "$right" ]
}
check "journal: DEBUG lines carry priority 7" priority_of DEBUG 7
check "journal: INFO lines carry priority 6" priority_of INFO 6
for level in WARNING:4 ERROR:3; do
  if grep -q "\[${level%:*}\]" <<<"$journal"; then
    check "journal: ${level%:*} lines carry priority ${level#*:}" priority_of "${level%:*}" "${level#*:}"
  else
    say "no ${level%:*} line was logged: its priority is not checked"
  fi
done

# --- 6. purge ------------------------------------------------------------------------------------
inside sh -c "echo stale >$PREFIX/run/auth.txt"
# A route of the administrator's own in the unit's namespace.
ip -n "$NETNS" route add 203.0.113.0/24 via 198.51.100.1
check "dpkg --purge removes the package" quiet dpkg --purge "$PACKAGE"
check "  the unit file is gone" inside test ! -e "/etc/systemd/system/$UNIT"
check "  the unit is not active" bash -c '! [ "$1" = active ]' _ "$(inside systemctl is-active "$UNIT")"
check "  the installed tree and run/ are gone" inside test ! -e "$PREFIX"
check "  the administrator's route is untouched" prints "203.0.113.0/24 via 198.51.100.1" ip -n "$NETNS" route show
check "  no process of the service is left" \
  inside sh -c "! ls -l /proc/[0-9]*/exe 2>/dev/null | grep -q -e $PREFIX -e /usr/sbin/openvpn"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
