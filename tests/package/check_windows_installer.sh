#!/usr/bin/env bash
# Runs the Windows installer silently under Wine in a prefix of its own: the staged files are
# installed, the service BusgateSvc is registered with its command line and start type, starts
# on the card driver double and sends its stream to 127.0.0.1 (read by busdump), stops; a second
# install changes the options; the silent uninstall leaves no file, service or registry entry.
#   check_windows_installer.sh [--dry-run] INSTALLER STAGE BUSDUMP ARCH WINDOWS_BUILD
# ARCH (i686: a 32-bit prefix, x86_64: a 64-bit one) is the installer's architecture and that of
# WINDOWS_BUILD, which holds the helpers run in the prefix (svcconfig.exe, the driver double).
# STAGE is the staged tree the installer was made from. --dry-run prints every Wine and Windows
# program the check would start ("run: PROGRAM ARGS...", tests/scripts/check_dry_run.sh) and
# starts none.
set -uo pipefail
dry_run=0
if [ "${1:-}" = --dry-run ]; then
  dry_run=1
  shift
fi
installer=$(realpath -m "$1") stage=$2 busdump=$3 arch=$4 windows_build=$(realpath -m "$5")
# shellcheck source=tests/package/checks.sh
source "$(dirname "$0")/checks.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/wine.sh
source "$root/scripts/lib/wine.sh"
WINE_DRY_RUN=$dry_run
svcconfig=$windows_build/tests/package/svcconfig.exe

work=$(mktemp -d /tmp/busgate-wininst-XXXXXX)
wine_setup "$arch" "$work/prefix" || exit 2
cleanup() {
  wine_server_stop
  [ -n "${dump_pid:-}" ] && kill "$dump_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# The driver double goes into this prefix as card 1, from the same Windows build.
install_double() {
  local dry=()
  [ "$dry_run" = 1 ] && dry=(--dry-run)
  (cd "$root" && DRIVERDOUBLE_ARCH=$arch scripts/driverdouble "${dry[@]}" install "$windows_build")
}

if [ "$dry_run" = 1 ]; then
  wine_prefix_prepare
  wine_server_start
  wine_run "$installer" /S "/OPTIONS=-a 127.0.0.1" '/D=C:\busgate'
  wine_run "$svcconfig" BusgateSvc
  wine_run sc query BusgateSvc
  wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\busgate'
  install_double
  start_program "$(realpath "$busdump")" --bind 127.0.0.1 -p 47000 -c 3 -t 30
  wine_run 'C:\busgate\uninstall.exe' /S
  exit 0
fi

drive_c=$WINEPREFIX/drive_c
run() { wine_run "$@" 2>/dev/null | tr -d '\r'; }
until_true() {  # seconds command...: polls the command until it succeeds or time is up
  local deadline=$((SECONDS + $1))
  shift
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.25
  done
  return 1
}
service_state() { run sc query BusgateSvc | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p'; }
in_state() { [ "$(service_state)" = "$1" ]; }
wait_state() { until_true "$2" in_state "$1"; }  # state seconds
# "sc qc" where Wine's sc has it, else the same query through the service manager's API.
service_config() {
  local out
  out=$(run sc qc BusgateSvc)
  if ! contains "$out" BINARY_PATH_NAME; then out=$(run "$svcconfig" BusgateSvc); fi
  printf '%s\n' "$out"
}

# A service created right after the prefix is made is refused until the server restarts (the
# preparation ends it); a persistent server then keeps Wine's own programs running between the
# commands below.
wine_prefix_prepare
wine_server_start
check "Wine made a prefix" test -d "$drive_c/windows"
check "svcconfig.exe is built in $windows_build" test -f "$svcconfig"
cp "$installer" "$drive_c/busgate-setup.exe"

port=$((47000 + $$ % 1000))
run 'C:\busgate-setup.exe' /S "/OPTIONS=-a 127.0.0.1 -p $port" '/D=C:\busgate'
staged=$(cd "$stage" && find . -type f | sort)
missing=""
while read -r file; do
  [ -f "$drive_c/busgate/$file" ] || missing="$missing $file"
done <<<"$staged"
check "every staged file is installed ($(wc -l <<<"$staged") files; missing:$missing)" test -z "$missing"
check "the installer left an uninstaller" test -f "$drive_c/busgate/uninstall.exe"
config=$(service_config)
check "the service runs the installed busgated.exe -d with the given options: $config" \
  contains "$config" "BINARY_PATH_NAME   : \"C:\\busgate\\bin\\busgated.exe\" -d -a 127.0.0.1 -p $port"
check "the service starts on demand" matches "$config" 'START_TYPE +: 3 +DEMAND_START'
check "the service runs in a process of its own" matches "$config" 'TYPE +: 10'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\busgate'
check "Windows lists the installation with its version" \
  matches "$(run reg query "$uninstall_key" /v DisplayVersion)" 'DisplayVersion +REG_SZ +[0-9]+\.[0-9]+\.[0-9]+'

# The service on the card driver double (scripts/driverdouble installs it into this prefix as
# card 1), sending to 127.0.0.1 only (checked on its command line).
if ! contains "$config" "-d -a 127.0.0.1 -p $port"; then
  failed=$((failed + 1))
  echo "FAIL: the service's command line does not send to 127.0.0.1; not started"
elif ! install_double >"$work/double.log" 2>&1; then
  failed=$((failed + 1))
  echo "FAIL: the driver double could not be installed in the prefix:"
  cat "$work/double.log"
else
  "$busdump" --bind 127.0.0.1 -p "$port" -c 3 -t 30 >"$work/stream.txt" 2>&1 &
  dump_pid=$!
  sleep 0.5
  run sc start BusgateSvc >/dev/null
  check "the service reaches RUNNING" wait_state 4 30
  wait "$dump_pid"
  dump_pid=
  stream=$(cat "$work/stream.txt")
  check "busdump receives the service's datagrams on 127.0.0.1: $stream" matches "$stream" '^\[(#[0-9]+ )?[0-9]+:[0-9]+\] (event|lifesign)'
  run sc stop BusgateSvc >/dev/null
  check "the service stops" wait_state 1 30
  check "the service ends with exit code 0" \
    matches "$(run sc query BusgateSvc)" 'WIN32_EXIT_CODE +: +0 '
fi

# Installing again replaces the service with new options and start type.
run 'C:\busgate-setup.exe' /S "/OPTIONS=-a 127.0.0.1 -p $((port + 1)) -R 1000" /START=auto '/D=C:\busgate'
config=$(service_config)
check "a second install changes the options" contains "$config" "-d -a 127.0.0.1 -p $((port + 1)) -R 1000"
check "a second install with /START=auto makes the service start with Windows" \
  matches "$config" 'START_TYPE +: 2 +AUTO_START'

# The silent uninstall copies itself away and returns at once: wait for the folder to go.
run 'C:\busgate\uninstall.exe' /S
check "the uninstall removed the installation folder" until_true 60 test ! -e "$drive_c/busgate"
until_true 10 test -z "$(pgrep -f 'Au_\.exe')"
wine_run "$svcconfig" BusgateSvc >/dev/null 2>&1
check "the uninstall removed the service" test $? -eq 1
absent_key() { ! wine_run reg query "$1" >/dev/null 2>&1; }
check "the uninstall removed the registry entry" absent_key "$uninstall_key"
check "the uninstall left no service key" absent_key 'HKLM\System\CurrentControlSet\Services\BusgateSvc'

report "windows installer"
