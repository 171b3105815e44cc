#!/bin/bash
# The Windows installer: builds the 32-bit package (the product) and checks its tables;
# builds the same package from the 64-bit build, and a newer one, and runs them with
# Wine's msiexec in a fresh Wine prefix: install, upgrade in place, uninstall. This
# kernel runs no 32-bit code, so the x64 package stands in for the x86 one under Wine.
# Reuses build-win32 and build-win64 (made by run-windows-tests.sh), building only the
# service and the package. Ends with "N passed, N failed"; exits 1 on a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
WIN32_BUILD="${VORTAN_WIN32_BUILD_DIR:-build-win32}"
WIN64_BUILD="${VORTAN_WIN64_BUILD_DIR:-build-win64}"
JOBS="$(nproc)"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

started=$(date +%s)
step() { echo "=== $1 [at $(($(date +%s) - started)) s]"; }
fail_now() { echo "$1"; echo "0 passed, 1 failed"; exit 1; }

. scripts/stage-lib.sh

step "packages"
install_packages wixl msitools g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 ||
  fail_now "cannot install$missing"

# configure_build DIR TOOLCHAIN [CMAKE ARGS...]
configure_build() {
  local dir=$1 toolchain=$2
  shift 2
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake "$@" "$dir" >/dev/null
  else
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="toolchains/$toolchain" "$@" >/dev/null
  fi
}
# The one package file of DIR for ARCH and VERSION.
package_of() { echo "$1/VortanVpnService-$3-$2.msi"; }
# A column of a package's table, for the row whose first column is KEY.
table_value() { msiinfo export "$1" "$2" | tr -d '\r' | awk -F '\t' -v key="$3" -v column="$4" 'NR > 3 && $1 == key { print $column }'; }

step "x86 package (the product)"
configure_build "$WIN32_BUILD" mingw-w64-i686.cmake -DVORTAN_MSI_VERSION= || fail_now "cannot configure $WIN32_BUILD"
cmake --build "$WIN32_BUILD" -j "$JOBS" --target msi >/dev/null || fail_now "the x86 package does not build"
x86_package=$(ls -t "$WIN32_BUILD"/VortanVpnService-*-x86.msi 2>/dev/null | head -n 1)
[ -n "$x86_package" ] || fail_now "no x86 package in $WIN32_BUILD"
echo "$x86_package"
x86_version=$(table_value "$x86_package" Property ProductVersion 2)
# Rows of the product's tables: table, key, column, expected value. ServiceInstall:
# own process (16), automatic start (2), normal errors (1), LocalSystem (empty), the
# description; ServiceControl 163: started at install, stopped at install and uninstall,
# removed at uninstall; the settings Permanent | NeverOverwrite (144).
while IFS='|' read -r name table key column expected; do
  check "x86: $name" test "$(table_value "$x86_package" "$table" "$key" "$column")" = "$expected"
done <<'ROWS'
per machine|Property|ALLUSERS|2|1
service own process|ServiceInstall|Service|4|16
service automatic start|ServiceInstall|Service|5|2
service normal error control|ServiceInstall|Service|6|1
service as LocalSystem|ServiceInstall|Service|9|
service description|ServiceInstall|Service|13|OpenVpn Launcher Service
service started, stopped and removed|ServiceControl|ServiceControl|3|163
settings never overwritten, kept|Component|Settings|4|144
bin readable by Users|MsiLockPermissionsEx|BinFolderAcl|4|D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)
logs for SYSTEM and Administrators only|MsiLockPermissionsEx|LogsFolderAcl|4|D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)
failure actions restart|MsiServiceConfigFailureActions|ServiceRestarts|7|1[~]1[~]1
failure actions applied|InstallExecuteSequence|MsiConfigureServices|3|5850
ROWS
check "x86: 32-bit" sh -c "msiinfo suminfo '$x86_package' | grep -q '^Template: Intel;'"

step "x64 packages (for Wine): this version and a newer one"
configure_build "$WIN64_BUILD" mingw-w64-x86_64.cmake -DVORTAN_MSI_VERSION= || fail_now "cannot configure $WIN64_BUILD"
# The build's own setting is restored however the script ends.
restore_version() { cmake -DVORTAN_MSI_VERSION= "$WIN64_BUILD" >/dev/null 2>&1 || true; }
cmake --build "$WIN64_BUILD" -j "$JOBS" --target msi >/dev/null || fail_now "the x64 package does not build"
old_package=$(package_of "$WIN64_BUILD" x64 "$x86_version")
[ -f "$old_package" ] || fail_now "no $old_package"
IFS=. read -r major minor build _ <<<"$x86_version"
new_version="$major.$minor.$((${build:-0} + 1))"
trap restore_version EXIT
cmake -DVORTAN_MSI_VERSION="$new_version" "$WIN64_BUILD" >/dev/null &&
  cmake --build "$WIN64_BUILD" -j "$JOBS" --target msi >/dev/null || fail_now "the newer x64 package does not build"
restore_version
new_package=$(package_of "$WIN64_BUILD" x64 "$new_version")
[ -f "$new_package" ] || fail_now "no $new_package"
echo "$old_package, $new_package"

step "fresh Wine prefix"
export WINEPREFIX="$PWD/$WIN64_BUILD/msi-wineprefix"
export WINELOADER="$WINE" WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d LC_ALL=C.UTF-8
# Every standard descriptor on the null device: the server's first process would hand
# its stderr to background processes, and readers of that pipe would never finish.
end_wine_session() {
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
}
trap 'end_wine_session; restore_version' EXIT
end_wine_session
# About one fresh prefix in six comes out without its services: made again.
for attempt in 1 2 3; do
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  if grep -q nsiproxy "$WINEPREFIX/system.reg" 2>/dev/null; then break; fi
  echo "prefix without its services (attempt $attempt), making it again"
  [ "$attempt" -lt 3 ] || fail_now "no usable Wine prefix"
done
# A session kept open: Wine ends its services when the last ordinary process exits.
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true

program="$WINEPREFIX/drive_c/Program Files/VortanVpnService"
service_key='HKLM\System\CurrentControlSet\Services\VortanVpnService'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
wine_run() { timeout 120 "$WINE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# msiexec PACKAGE ACTION: runs one silent installation, its verbose log in C:\ of the
# prefix.
runs=0
msiexec_quiet() {
  local package log
  package=$(timeout 30 "$WINE" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r')
  runs=$((runs + 1))
  log="msiexec-$runs-${2#/}-$(basename "$1" .msi).log"
  timeout 180 "$WINE" msiexec "$2" "$package" /qn '/l*v' "C:\\$log" </dev/null >/dev/null 2>&1
}
refused() { ! msiexec_quiet "$@"; }
service_state() { wine_run sc query VortanVpnService | awk '/STATE/ { print $4 }'; }
# The program the manager starts. Wine's msi writes its path without quotes; that it is
# quoted is checked on a real Windows (README).
service_runs_installed_program() {
  wine_run reg query "$service_key" /v ImagePath | grep -qiF 'C:\Program Files\VortanVpnService\bin\VortanVpnService.exe'
}
start_type() { wine_run reg query "$service_key" /v Start | awk '$1 == "Start" { print $3 }'; }
# Asks the service for its version at the address it publishes, until it answers or
# 30 s have passed (the file may be read while it is being written).
answers_version() {
  local expected=$1 address= reply= deadline=$((SECONDS + 30))
  while [ $SECONDS -lt $deadline ]; do
    address=$(sed -n 's#^zel-vpn-service://\([0-9.]*:[0-9]*\).*#\1#p' "$program/conf/portused.txt" 2>/dev/null)
    if [ -n "$address" ]; then
      reply=$(timeout 10 bash -c '
        exec 3<>"/dev/tcp/${1%:*}/${1##*:}" || exit 1
        IFS= read -r -t 5 welcome <&3 || exit 1
        printf "version\n" >&3
        IFS= read -r -t 5 reply <&3 && printf "%s" "$reply"
        printf "quit\n" >&3' _ "$address" 2>/dev/null | tr -d '\r')
      if [[ "$reply" == IMPLEMENTATION:$expected* ]]; then
        echo "    version reply: $reply"
        return 0
      fi
    fi
    sleep 0.2
  done
  echo "    no version reply at '$address': '$reply'"
  return 1
}
installed_files() {
  local file
  for file in bin/VortanVpnService.exe conf/VortanVpnService.ini conf/servicelog.conf \
    conf/VortanClient.ovpn conf/VortanClientStunnel.ovpn conf/stunnel.conf; do
    [ -f "$program/$file" ] || { echo "    missing $file"; return 1; }
  done
  [ -d "$program/logs" ] && [ -d "$program/log" ]
}
# The Linux processes of this prefix's service (Wine names them by their Windows path).
service_processes() {
  local pid
  for pid in $(pgrep -f 'VortanVpnService\\bin\\VortanVpnService\.exe'); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}
service_process_ends() {
  local deadline=$((SECONDS + 20))
  while [ -n "$(service_processes)" ]; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
stop_service() {
  wine_run net stop VortanVpnService >/dev/null
  service_process_ends || echo "    the service's process did not end"
}
settings_and_logs_stay() { grep -qF "$edit" "$program/conf/VortanVpnService.ini" && [ -s "$program/logs/vortanVpnService.log" ]; }
templates_removed() {
  local left
  left=$(ls "$program/conf" 2>/dev/null | grep -v '^VortanVpnService.ini$' | tr '\n' ' ')
  [ -z "$left" ] || echo "    left in conf: $left"
  [ -z "$left" ] && settings_and_logs_stay
}
# What stays of the program folder: the settings and the logs.
program_removed() {
  local left
  left=$(cd "$program" && find . | LC_ALL=C sort | tr '\n' ' ')
  [ "$left" = ". ./conf ./conf/VortanVpnService.ini ./logs ./logs/vortanVpnService.log " ] && return 0
  echo "    left: $left"
  return 1
}
# The version under which a package's product is registered, or nothing.
registered_product() {
  wine_run reg query "$uninstall_key\\$(table_value "$1" Property ProductCode 2)" /v DisplayVersion |
    awk '$1 == "DisplayVersion" { print $3 }'
}

# The rows of an installed, running service: NAME VERSION-EXPECTED-IN-REPLY.
installed_and_running() {
  check "$1: files where README says" installed_files
  check "$1: service registered, automatic start" test "$(start_type)" = 0x2
  check "$1: service runs the installed program" service_runs_installed_program
  check "$1: service running" test "$(service_state)" = RUNNING
  check "$1: answers version over loopback" answers_version "$2"
}

step "install"
check "install: msiexec /i /qn succeeds" msiexec_quiet "$old_package" /i
installed_and_running install "$x86_version"

step "upgrade"
edit="; changed by the administrator $$"
printf '%s\r\n' "$edit" >>"$program/conf/VortanVpnService.ini"
# Wine's msiexec does not wait for a stopped service's process to end (it lingers for
# about 2 s here) before it replaces the program, so the old one is stopped first; an
# upgrade over the running service is checked on a real Windows (README).
stop_service
check "upgrade: msiexec /i of the newer package succeeds" msiexec_quiet "$new_package" /i
check "upgrade: edited settings kept" grep -qF "$edit" "$program/conf/VortanVpnService.ini"
check "upgrade: newer product replaces the older" test "$(registered_product "$new_package"):$(registered_product "$old_package")" = "$new_version:"
installed_and_running upgrade "$x86_version"
check "downgrade: the older package is refused" refused "$old_package" /i
check "downgrade: newer product stays, running" test "$(registered_product "$new_package"):$(service_state)" = "$new_version:RUNNING"

step "uninstall, service running"
check "uninstall: msiexec /x /qn succeeds" msiexec_quiet "$new_package" /x
# The manager deletes a service marked for deletion once its process has ended.
check "uninstall: service process ended" service_process_ends
check "uninstall: service gone" test -z "$(service_state)"
check "uninstall: service unregistered" test -z "$(start_type)"
check "uninstall: product unregistered" test -z "$(registered_product "$new_package")"
check "uninstall: templates removed, settings and logs stay" templates_removed
# Wine's msiexec neither waits for the stopped service's process to end nor defers the
# removal of a file still in use, so the program itself may stay here.
[ ! -e "$program/bin/VortanVpnService.exe" ] ||
  echo "NOTE  bin\\VortanVpnService.exe was still in use by the ending service when Wine removed files"

step "uninstall, service stopped first"
msiexec_quiet "$new_package" /i && answers_version "$x86_version" >/dev/null
stop_service
check "uninstall: msiexec /x /qn succeeds" msiexec_quiet "$new_package" /x
check "uninstall: program folder removed but settings and logs" program_removed
check "uninstall: edited settings and logs stay" settings_and_logs_stay

step "done"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
